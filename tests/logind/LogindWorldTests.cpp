#include "ChildProcess.h"
#include "LogindWorld.h"
#include "UniqueFd.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <systemd/sd-bus.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace zelvo::logindworld {

void PrintTo(const Inhibitor& row, std::ostream* out) {
    *out << "(" << row.what << ", " << row.who << ", " << row.why << ", " << row.mode << ", "
         << row.uid << ", " << row.pid << ")";
}

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr const char* lockWhat = "sleep:handle-lid-switch";

// Polls until condition holds, for at most 20 seconds; false when it never did.
bool eventually(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// A holder of a block lock on the lid and sleep: systemd-inhibit, which keeps the lock's
// descriptor while its command runs.
testbus::ChildProcess holdLock(const LogindWorld& world) {
    return testbus::ChildProcess({"systemd-inhibit", "--what=handle-lid-switch:sleep",
                                  "--mode=block", "--who=world-test", "--why=keeping awake",
                                  "sleep", "infinity"},
                                 world.directory() / "holder.log");
}

Inhibitor heldBy(pid_t pid) {
    return Inhibitor{
        lockWhat, "world-test", "keeping awake", "block", 0, static_cast<std::uint32_t>(pid)};
}

#define SKIP_WITHOUT_WORLD(options)                                                                \
    if (const auto reason = LogindWorld::unavailableReason(options)) {                             \
        GTEST_SKIP() << "No logind world here: " << *reason;                                       \
    }

TEST(ARealLogind, ListsABlockLockWithItsHolderAndDropsItWhenTheHolderIsKilled) {
    SKIP_WITHOUT_WORLD(LogindWorldOptions{});
    LogindWorld world;
    EXPECT_THAT(world.listInhibitors(), IsEmpty());
    auto holder = holdLock(world);

    ASSERT_TRUE(eventually([&] { return !world.listInhibitors().empty(); }));
    EXPECT_THAT(world.listInhibitors(), ElementsAre(heldBy(holder.pid())));
    EXPECT_EQ(world.blockInhibited(), lockWhat);

    holder.signal(SIGKILL);
    EXPECT_TRUE(eventually([&] { return world.listInhibitors().empty(); }));
    EXPECT_EQ(world.blockInhibited(), "");
}

TEST(ARealLogind, KeepsALockAcrossARestart) {
    SKIP_WITHOUT_WORLD(LogindWorldOptions{});
    LogindWorld world;
    auto holder = holdLock(world);
    ASSERT_TRUE(eventually([&] { return !world.listInhibitors().empty(); }));

    world.restartLogin1();
    EXPECT_THAT(world.listInhibitors(), ElementsAre(heldBy(holder.pid())));
    EXPECT_EQ(world.blockInhibited(), lockWhat);
}

TEST(ARealLogind, StartsTheSuspendTargetWhenRootAsksToSuspend) {
    SKIP_WITHOUT_WORLD(LogindWorldOptions{});
    LogindWorld world;
    EXPECT_EQ(world.suspendAs("root"), "");
    EXPECT_TRUE(eventually([&] { return !world.startedUnits().empty(); }));
    EXPECT_THAT(world.startedUnits(), ElementsAre("suspend.target"));
}

TEST(ARealLogindWithPolkit, LetsAUserSuspendUnlessRootHoldsABlockLock) {
    const LogindWorldOptions options{.polkit = true};
    SKIP_WITHOUT_WORLD(options);
    const auto user = LogindWorld::ensureSuspendingUser();
    LogindWorld world(options);
    EXPECT_EQ(world.suspendAs(user), "");

    auto holder = holdLock(world);
    ASSERT_TRUE(eventually([&] { return !world.listInhibitors().empty(); }));
    EXPECT_EQ(world.suspendAs(user), "Interactive authentication required.");
    // Root's lock does not stand against root.
    EXPECT_EQ(world.suspendAs("root"), "");
    EXPECT_THAT(world.startedUnits(), ElementsAre("suspend.target", "suspend.target"));
}

struct InhibitOutcome {
    UniqueFd lock;
    std::string errorName, errorMessage;
};

// This process asks login1 for the lock, as the power tool does, and keeps its descriptor.
InhibitOutcome inhibit(const LogindWorld& world) {
    sd_bus* bus = nullptr;
    EXPECT_GE(sd_bus_new(&bus), 0);
    sd_bus_set_address(bus, world.busAddress().c_str());
    sd_bus_set_bus_client(bus, 1);
    EXPECT_GE(sd_bus_start(bus), 0);
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    InhibitOutcome outcome;
    if (sd_bus_call_method(bus, "org.freedesktop.login1", "/org/freedesktop/login1",
                           "org.freedesktop.login1.Manager", "Inhibit", &error, &reply, "ssss",
                           "handle-lid-switch:sleep", "world-test", "keeping awake", "block") < 0) {
        outcome.errorName = error.name ? error.name : "";
        outcome.errorMessage = error.message ? error.message : "";
    } else {
        int fd = -1;
        EXPECT_GE(sd_bus_message_read(reply, "h", &fd), 0);
        outcome.lock = UniqueFd(::fcntl(fd, F_DUPFD_CLOEXEC, 3));
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    sd_bus_flush_close_unref(bus);
    return outcome;
}

enum class ListedPid { caller, ended, standIn };

// How the stand-in lists this process's live lock under a scenario.
struct ScenarioCase {
    std::string scenario;
    std::string what = lockWhat, who = "world-test", why = "keeping awake", mode = "block";
    std::uint32_t uid = 0;
    ListedPid pid = ListedPid::caller;
    std::string blockInhibited = lockWhat;
    bool lingers = false;
};

void PrintTo(const ScenarioCase& scenario, std::ostream* out) {
    *out << scenario.scenario;
}

class TheStandInScenario : public ::testing::TestWithParam<ScenarioCase> {};

TEST_P(TheStandInScenario, ListsTheLiveLockAsItSays) {
    const auto& expected = GetParam();
    const LogindWorldOptions options{.standIn = expected.scenario};
    SKIP_WITHOUT_WORLD(options);
    LogindWorld world(options);
    auto outcome = inhibit(world);
    ASSERT_TRUE(outcome.lock.valid()) << outcome.errorName << ": " << outcome.errorMessage;

    const auto rows = world.listInhibitors();
    ASSERT_EQ(rows.size(), 1u);
    const auto& row = rows.front();
    EXPECT_EQ(row.what, expected.what);
    EXPECT_EQ(row.who, expected.who);
    EXPECT_EQ(row.why, expected.why);
    EXPECT_EQ(row.mode, expected.mode);
    EXPECT_EQ(row.uid, expected.uid);
    switch (expected.pid) {
    case ListedPid::caller:
        EXPECT_EQ(row.pid, static_cast<std::uint32_t>(::getpid()));
        break;
    case ListedPid::ended:
        EXPECT_NE(::kill(static_cast<pid_t>(row.pid), 0), 0) << row.pid << " is alive";
        break;
    case ListedPid::standIn:
        EXPECT_EQ(row.pid, static_cast<std::uint32_t>(world.login1Pid()));
        break;
    }
    EXPECT_EQ(world.blockInhibited(), expected.blockInhibited);

    outcome.lock.reset();
    if (expected.lingers) {
        // Once the stand-in has seen the close (the lock drops out of an exact listing), a
        // lingering listing still shows it.
        world.setStandInScenario("exact");
        EXPECT_TRUE(eventually([&] { return world.listInhibitors().empty(); }));
        world.setStandInScenario(expected.scenario);
        EXPECT_EQ(world.listInhibitors().size(), 1u);
    } else {
        EXPECT_TRUE(eventually([&] { return world.listInhibitors().empty(); }));
        EXPECT_EQ(world.blockInhibited(), "");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Listings, TheStandInScenario,
    ::testing::Values(ScenarioCase{.scenario = "exact"},
                      ScenarioCase{.scenario = "wrong-who", .who = "someone-else"},
                      ScenarioCase{.scenario = "wrong-uid", .uid = 65534},
                      ScenarioCase{.scenario = "delay", .mode = "delay", .blockInhibited = ""},
                      ScenarioCase{.scenario = "lid-only",
                                   .what = "handle-lid-switch",
                                   .blockInhibited = "handle-lid-switch"},
                      ScenarioCase{
                          .scenario = "sleep-only", .what = "sleep", .blockInhibited = "sleep"},
                      ScenarioCase{.scenario = "dead-pid", .pid = ListedPid::ended},
                      ScenarioCase{.scenario = "someone-else",
                                   .who = "someone-else",
                                   .why = "another program's lock",
                                   .pid = ListedPid::standIn},
                      ScenarioCase{.scenario = "linger", .lingers = true}),
    [](const auto& info) {
        std::string name;
        for (char c : info.param.scenario) {
            if (c != '-') {
                name += c;
            }
        }
        return name;
    });

TEST(TheRefusingStandIn, DeniesTheLockAndListsNothing) {
    const LogindWorldOptions options{.standIn = "refuse"};
    SKIP_WITHOUT_WORLD(options);
    LogindWorld world(options);
    const auto outcome = inhibit(world);
    EXPECT_FALSE(outcome.lock.valid());
    EXPECT_EQ(outcome.errorName, "org.freedesktop.DBus.Error.AccessDenied");
    EXPECT_EQ(outcome.errorMessage, "Permission denied");
    EXPECT_THAT(world.listInhibitors(), IsEmpty());
    EXPECT_EQ(world.blockInhibited(), "");
}

} // namespace
} // namespace zelvo::logindworld
