// The daemon for real on Linux: started on demand by a private system bus, driven by the
// command-line client, changing the setting through the built power tool against the real
// systemd-logind. What logind lists, and what it decides for a user who asks to suspend, is the
// outcome that counts.

#include "Eventually.h"
#include "LogindWorld.h"
#include "PrivateBus.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace zelvo::daemontest {
namespace {

namespace fs = std::filesystem;
using logindworld::Inhibitor;
using logindworld::LogindWorld;
using logindworld::LogindWorldOptions;
using ::testing::HasSubstr;

constexpr const char* ourWho = "Zelvo power helper";
const std::string notHeld = R"({"heldByHelper":false})";

using testbus::eventually;

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class ADaemonOnARealLogind : public ::testing::Test {
protected:
    void SetUp() override {
        const LogindWorldOptions needs{.polkit = true};
        if (const auto reason = LogindWorld::unavailableReason(needs)) {
            GTEST_SKIP() << "No logind world here: " << *reason;
        }
        std::string name = (fs::temp_directory_path() / "zelvo-logind-daemon-XXXXXX").string();
        ASSERT_NE(::mkdtemp(name.data()), nullptr);
        work_ = name;
        statePath_ = work_ / "state" / "power-helper-state.json";
        fs::create_directories(work_ / "services");
        std::ofstream(work_ / "services" / "com.zelvo.Zelvo.power.service")
            << "[D-BUS Service]\nName=com.zelvo.Zelvo.power\nExec=\"" << ZELVO_TESTBED_PATH
            << "\" --pmset \"" << ZELVO_PMSET_PATH << "\" --state \"" << statePath_.string()
            << "\"\nUser=root\n";
        suspender_ = LogindWorld::ensureSuspendingUser();
        startWorld({.polkit = true});
    }

    // A new world in place of the last, its bus starting the daemon on demand, and no record.
    void startWorld(LogindWorldOptions options) {
        world_.reset();
        fs::remove_all(statePath_.parent_path());
        options.serviceDirectory = work_ / "services";
        world_ = std::make_unique<LogindWorld>(std::move(options));
    }

    void TearDown() override {
        world_.reset(); // ends the bus and what it started, the daemon among them
        if (!work_.empty()) {
            std::error_code ignored;
            fs::remove_all(work_, ignored);
        }
    }

    testbus::CommandResult client(std::vector<std::string> arguments) const {
        arguments.insert(arguments.begin(), ZELVO_CLIENT_PATH);
        return testbus::runCommand(arguments);
    }

    // The client's status, as JSON text.
    std::string status() const { return client({"status", "--json"}).standardOutput; }

    // Our lock as logind lists it, if it does.
    std::optional<Inhibitor> ourLock() const {
        for (const auto& row : world_->listInhibitors()) {
            if (row.who == ourWho) {
                return row;
            }
        }
        return std::nullopt;
    }

    // The process that owns the helper's name, or nothing.
    std::optional<pid_t> daemonPid() const {
        const auto result = testbus::runCommand(
            {"busctl", "--address=" + world_->busAddress(), "call", "org.freedesktop.DBus",
             "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetConnectionUnixProcessID", "s",
             "com.zelvo.Zelvo.power"});
        if (result.exitStatus != 0 || result.standardOutput.rfind("u ", 0) != 0) {
            return std::nullopt;
        }
        return static_cast<pid_t>(std::stol(result.standardOutput.substr(2)));
    }

    // Signals the daemon and waits until it has left the bus, so that the next call starts a new
    // one rather than reaching one on its way out.
    void signalDaemonAndWaitUntilGone(int signalNumber) const {
        const auto pid = daemonPid();
        ASSERT_TRUE(pid);
        ASSERT_EQ(::kill(*pid, signalNumber), 0);
        ASSERT_TRUE(eventually([&] { return daemonPid() != pid; }));
    }

    bool lockGone() const { return !ourLock(); }
    std::string stateBytes() const { return readFile(statePath_); }

    void hold(const std::string& seconds) const {
        const auto result = client({"hold", seconds});
        ASSERT_EQ(result.exitStatus, 0) << result.standardError;
    }

    std::unique_ptr<LogindWorld> world_;
    std::string suspender_;

private:
    fs::path work_;
    fs::path statePath_;
};

TEST_F(ADaemonOnARealLogind, HoldsRenewsAndReleasesTheLockThatRefusesASuspend) {
    EXPECT_EQ(world_->suspendAs(suspender_), "");
    hold("60");

    const auto lock = ourLock();
    ASSERT_TRUE(lock) << "logind lists no lock of ours";
    EXPECT_EQ(lock->what, "sleep:handle-lid-switch");
    EXPECT_EQ(lock->mode, "block");
    EXPECT_EQ(lock->uid, 0U);
    EXPECT_THAT(status(), HasSubstr(R"("heldByHelper":true,"systemSleepDisabled":1)"));
    EXPECT_THAT(stateBytes(), HasSubstr(R"("heldByHelper":true)"));
    EXPECT_NE(world_->suspendAs(suspender_), "") << "a suspend went through while held";

    // A renewal keeps the same lock: the holder found again, not a second one.
    hold("60");
    EXPECT_EQ(ourLock(), lock);
    ASSERT_EQ(world_->listInhibitors().size(), 1U);

    ASSERT_EQ(client({"release"}).exitStatus, 0);
    EXPECT_TRUE(lockGone());
    EXPECT_THAT(status(), HasSubstr(R"("heldByHelper":false,"systemSleepDisabled":0)"));
    EXPECT_EQ(stateBytes(), notHeld);
    EXPECT_EQ(world_->suspendAs(suspender_), "");
}

TEST_F(ADaemonOnARealLogind, KeepsTheLockAcrossARestartOfLogind) {
    hold("60");
    const auto lock = ourLock();
    ASSERT_TRUE(lock);

    world_->restartLogin1();
    EXPECT_EQ(ourLock(), lock);
    EXPECT_THAT(status(), HasSubstr(R"("systemSleepDisabled":1)"));
    EXPECT_NE(world_->suspendAs(suspender_), "");

    ASSERT_EQ(client({"release"}).exitStatus, 0);
    EXPECT_TRUE(lockGone());
}

// However a hold ends, the lock goes with it and a user's suspend goes through again.
TEST_F(ADaemonOnARealLogind, BringsSuspendBackHoweverTheHoldEnds) {
    struct Ending {
        const char* name;
        const char* lease;
        std::function<void()> end;
    };
    const std::vector<Ending> endings = {
        {"release", "60", [this] { ASSERT_EQ(client({"release"}).exitStatus, 0); }},
        {"lease run out", "1", [] {}},
        {"SIGTERM", "60", [this] { signalDaemonAndWaitUntilGone(SIGTERM); }},
        {"SIGKILL of the daemon", "60", [this] { signalDaemonAndWaitUntilGone(SIGKILL); }},
        {"SIGKILL of the holder alone", "60",
         [this] {
             const auto lock = ourLock();
             ASSERT_TRUE(lock);
             ASSERT_EQ(::kill(static_cast<pid_t>(lock->pid), SIGKILL), 0);
         }},
    };
    for (const auto& ending : endings) {
        SCOPED_TRACE(ending.name);
        hold(ending.lease);
        if (std::string(ending.lease) != "1") { // a 1 s lease may be gone before a look
            ASSERT_TRUE(ourLock());
            ASSERT_NE(world_->suspendAs(suspender_), "");
        }

        ending.end();
        EXPECT_TRUE(eventually([&] { return lockGone(); }));
        EXPECT_EQ(world_->suspendAs(suspender_), "");
        // The truth, whoever answers: a daemon that lost its lock reads 0, and one started anew
        // after a crash finds the record and puts it right once its lease has run out.
        EXPECT_THAT(status(), HasSubstr(R"("systemSleepDisabled":0)"));
        ASSERT_EQ(client({"release"}).exitStatus, 0);
        EXPECT_EQ(stateBytes(), notHeld);
    }
}

TEST_F(ADaemonOnARealLogind, ClearsTheRecordOfAKilledDaemonAtItsNextStart) {
    hold("1");
    const auto pid = daemonPid();
    ASSERT_TRUE(pid);
    ASSERT_EQ(::kill(*pid, SIGKILL), 0);
    EXPECT_TRUE(eventually([&] { return lockGone(); }));
    EXPECT_THAT(stateBytes(), HasSubstr(R"("heldByHelper":true)"));

    // The lease has run out by now or soon: the next daemon, started by this call, puts it back.
    EXPECT_TRUE(eventually([&] {
        return status().find(R"("heldByHelper":false,"systemSleepDisabled":0)") !=
               std::string::npos;
    }));
    EXPECT_EQ(stateBytes(), notHeld);
    EXPECT_NE(daemonPid(), pid);
}

TEST_F(ADaemonOnARealLogind, KeepsTheMachineAwakeWhileACommandRunsAndNoLonger) {
    const auto result = client({"keep-awake", "--", "busctl", "--address=" + world_->busAddress(),
                                "call", "org.freedesktop.login1", "/org/freedesktop/login1",
                                "org.freedesktop.login1.Manager", "ListInhibitors"});
    ASSERT_EQ(result.exitStatus, 0) << result.standardError;
    EXPECT_THAT(result.standardOutput,
                HasSubstr(R"("sleep:handle-lid-switch" "Zelvo power helper")"));
    EXPECT_THAT(result.standardOutput, HasSubstr(R"("block" 0)"));
    EXPECT_TRUE(lockGone());
    EXPECT_EQ(world_->suspendAs(suspender_), "");
}

// What logind refused reaches the client as the daemon's failure, word for word.
TEST_F(ADaemonOnARealLogind, PassesWhatLogindRefusedOnToTheClient) {
    struct Case {
        const char* name;
        LogindWorldOptions world;
        bool stopLogin1;
        std::vector<std::string> command;
        std::string failure;
    };
    const std::vector<Case> cases = {
        {"logind absent",
         {},
         true,
         {"hold", "60"},
         "pmset failed: exit 1: zelvo-pmset: cannot list logind's inhibitor locks: "
         "The "
         "name org.freedesktop.login1 was not provided by any .service files"},
        {"Inhibit refused",
         {.standIn = "refuse"},
         false,
         {"hold", "60"},
         "pmset failed: exit 1: zelvo-pmset: cannot take logind's inhibitor lock: "
         "Permission denied"},
        {"still listed after release",
         {.standIn = "linger"},
         false,
         {"release"},
         "pmset failed: exit 1: zelvo-pmset: logind still lists the lock after its "
         "release"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        startWorld(c.world);
        if (c.command.front() == "release") {
            hold("60");
        }
        if (c.stopLogin1) {
            world_->stopLogin1();
        }
        const auto result = client(c.command);
        EXPECT_EQ(result.exitStatus, 1);
        EXPECT_EQ(result.standardError, "zelvo-power: " + c.failure + "\n");
    }
}

} // namespace
} // namespace zelvo::daemontest
