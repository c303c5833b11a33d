// The daemon as a whole: real processes on a real private bus, the pmset stand-in, real files and
// real signals.

#include "DaemonHarness.h"
#include "PowerHelperClient.h"

#include <algorithm>
#include <csignal>
#include <cstring>
#include <ctime>
#include <gmock/gmock.h>
#include <numeric>
#include <regex>
#include <thread>

namespace zelvo::daemontest {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using namespace std::chrono_literals;

constexpr const char* notHeldDocument = R"({"heldByHelper":false})";
const std::regex
    heldDocument(R"(\{"heldByHelper":true,"leaseUntil":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ"\})");

std::string heldUntil(std::chrono::system_clock::time_point when) {
    const std::time_t t = std::chrono::system_clock::to_time_t(when);
    std::tm utc{};
    ::gmtime_r(&t, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return std::string(R"({"heldByHelper":true,"leaseUntil":")") + text + "\"}";
}

TEST_F(DaemonTest, StartsOnDemandAndHoldsRenewsAndReleases) {
    startBus(/*activation=*/true);
    ASSERT_FALSE(nameOwned());
    PowerHelperClient helper;

    const HelperStatus first = helper.status();
    EXPECT_EQ(first.helperVersion(), "1.1.0");
    EXPECT_FALSE(first.heldByHelper());
    EXPECT_EQ(first.systemSleepDisabled(), 0);
    EXPECT_EQ(first.leaseSecondsRemaining(), 0);
    EXPECT_EQ(first.errorMessage(), std::nullopt);
    EXPECT_TRUE(nameOwned());

    helper.hold(30);
    EXPECT_EQ(pmset.sleepDisabled(), 1);
    EXPECT_TRUE(std::regex_match(stateBytes(), heldDocument)) << stateBytes();
    EXPECT_THAT(pmsetRuns(), ElementsAre("-g", "-g", "-a disablesleep 1", "-g"));

    helper.hold(20); // a renewal while the setting reads 1: one read, one save
    EXPECT_THAT(pmsetRuns(), ElementsAre("-g", "-g", "-a disablesleep 1", "-g", "-g"));
    const HelperStatus held = helper.status();
    EXPECT_TRUE(held.heldByHelper());
    EXPECT_EQ(held.systemSleepDisabled(), 1);
    EXPECT_GE(held.leaseSecondsRemaining(), 18);
    EXPECT_LE(held.leaseSecondsRemaining(), 20);

    helper.release();
    EXPECT_EQ(pmset.sleepDisabled(), 0);
    EXPECT_EQ(stateBytes(), notHeldDocument);
    EXPECT_EQ(daemonErrors(), "");
}

TEST_F(DaemonTest, SpeaksTheBusContract) {
    startBus();
    startDaemon();
    const std::vector<std::string> helper{"call", "com.zelvo.Zelvo.power", "/com/zelvo/Zelvo/power",
                                          "com.zelvo.Zelvo.power.Helper"};
    auto call = [&](std::vector<std::string> rest) {
        std::vector<std::string> arguments = helper;
        arguments.insert(arguments.end(), rest.begin(), rest.end());
        return busctl(arguments);
    };

    EXPECT_EQ(call({"HoldLidSleepDisabled", "x", "5"}).standardOutput, "bas true 0\n");
    const auto status = call({"Status"}).standardOutput;
    EXPECT_THAT(status, HasSubstr("sa{sv} \"ZelvoPowerHelperStatus\" 4 "));
    EXPECT_THAT(status, HasSubstr("\"helperVersion\" s \"1.1.0\""));
    EXPECT_THAT(status, HasSubstr("\"heldByHelper\" b true"));
    EXPECT_THAT(status, HasSubstr("\"systemSleepDisabled\" x 1"));
    EXPECT_THAT(status, HasSubstr("\"leaseSecondsRemaining\" x "));
    EXPECT_THAT(status, Not(HasSubstr("errorMessage")));
    EXPECT_EQ(call({"Release"}).standardOutput, "bas true 0\n");

    // A call with the wrong argument types is answered with an error, and serving goes on.
    const auto malformed = call({"HoldLidSleepDisabled", "s", "soon"});
    EXPECT_NE(malformed.exitStatus, 0);
    EXPECT_EQ(call({"Release"}).standardOutput, "bas true 0\n");

    // A failing request answers with the description and logs exactly one line.
    pmset.setControl("set no-change\n");
    EXPECT_EQ(call({"HoldLidSleepDisabled", "x", "5"}).standardOutput,
              "bas false 1 \"pmset failed: SleepDisabled did not become 1\"\n");
    EXPECT_EQ(daemonErrors(), "ZelvoPowerHelper: Hold failed: pmset failed: SleepDisabled did not "
                              "become 1\n");
}

TEST_F(DaemonTest, TicksPutBackALeaseThatRanOut) {
    startBus();
    startDaemon();
    ASSERT_EQ(client({"hold", "1"}).exitStatus, 0);
    EXPECT_EQ(pmset.sleepDisabled(), 1);
    EXPECT_TRUE(eventually([&] { return pmset.sleepDisabled() == 0; }, 10s));
    EXPECT_TRUE(eventually([&] { return stateBytes() == notHeldDocument; }, 5s));
    EXPECT_TRUE(daemonRunning());
}

class TerminationTest : public DaemonTest, public ::testing::WithParamInterface<int> {};

TEST_P(TerminationTest, PutsTheSettingBackAndExitsZero) {
    startBus();
    startDaemon();
    ASSERT_EQ(client({"hold", "30"}).exitStatus, 0);
    ASSERT_EQ(pmset.sleepDisabled(), 1);
    signalDaemon(GetParam());
    EXPECT_EQ(waitForExit(), 0);
    EXPECT_EQ(pmset.sleepDisabled(), 0);
    EXPECT_EQ(stateBytes(), notHeldDocument);
    EXPECT_EQ(daemonErrors(), "");
}

TEST_P(TerminationTest, ComesBeforeARequestSentAfterItWhileAnotherRequestRuns) {
    startBus();
    startDaemon();
    pmset.setControl("get sleep 3000\n");
    std::thread slowStatus([&] { (void)client({"status"}); });
    ASSERT_TRUE(eventually([&] { return pmsetRuns().size() == 1; }));
    signalDaemon(GetParam());
    const auto hold = client({"hold", "30"});
    slowStatus.join();
    EXPECT_EQ(waitForExit(), 0);
    EXPECT_NE(hold.exitStatus, 0) << hold.standardOutput;
    EXPECT_THAT(pmsetRuns(), ElementsAre("-g"));
    EXPECT_EQ(pmset.sleepDisabled(), 0);
    EXPECT_EQ(daemonErrors(), "");
}

TEST_P(TerminationTest, ExitsOneWhenThePutBackFails) {
    startBus();
    startDaemon();
    ASSERT_EQ(client({"hold", "30"}).exitStatus, 0);
    pmset.setControl("get exit 1 device busy\n");
    signalDaemon(GetParam());
    EXPECT_EQ(waitForExit(), 1);
    EXPECT_EQ(daemonErrors(),
              "ZelvoPowerHelper: Termination restore failed: pmset failed: exit 1: device busy\n");
    EXPECT_EQ(pmset.sleepDisabled(), 1);
    EXPECT_TRUE(std::regex_match(stateBytes(), heldDocument));
}

// Every signal whose default action would end the daemon with the setting raised.
INSTANTIATE_TEST_SUITE_P(EndingSignals, TerminationTest,
                         ::testing::Values(SIGTERM, SIGINT, SIGHUP, SIGQUIT), [](const auto& info) {
                             return std::string("SIG") + sigabbrev_np(info.param);
                         });

TEST_F(DaemonTest, GoesOnHoldingWhenSentSigpipe) {
    startBus();
    startDaemon();
    ASSERT_EQ(client({"hold", "30"}).exitStatus, 0);
    signalDaemon(SIGPIPE);
    PowerHelperClient helper;
    EXPECT_TRUE(helper.status().heldByHelper());
    EXPECT_TRUE(daemonRunning());
    EXPECT_EQ(pmset.sleepDisabled(), 1);
}

TEST_F(DaemonTest, PutsBackAHoldStoredWithAnEndFarAheadWithinOneLease) {
    writeState(R"({"heldByHelper":true,"leaseUntil":"9999-12-31T23:59:59Z"})");
    pmset.setSleepDisabled(1);
    startBus();
    startDaemon();
    PowerHelperClient helper;
    const HelperStatus status = helper.status();
    EXPECT_TRUE(status.heldByHelper());
    EXPECT_LE(status.leaseSecondsRemaining(), 60);
    // No renewal comes, so the setting goes back once the bounded lease has run out.
    EXPECT_TRUE(eventually([&] { return pmset.sleepDisabled() == 0; }, 120s));
    EXPECT_TRUE(eventually([&] { return stateBytes() == notHeldDocument; }, 5s));
    EXPECT_EQ(daemonErrors(), "");
}

struct SecondStart {
    const char* name;
    bool ownStateDirectory;
    std::string failure;
};

// A daemon started by hand while the bus-started one serves a hold.
class SecondInstanceTest : public DaemonTest, public ::testing::WithParamInterface<SecondStart> {};

TEST_P(SecondInstanceTest, EndsWithOneLineAndLeavesTheRunningOnesHoldAlone) {
    startBus(/*activation=*/true);
    ASSERT_EQ(client({"hold", "30"}).exitStatus, 0);
    const std::string held = stateBytes();
    ASSERT_TRUE(std::regex_match(held, heldDocument)) << held;
    const auto runsBefore = pmsetRuns().size();
    std::string failure = GetParam().failure;
    const auto runningStatePath = statePath;
    if (GetParam().ownStateDirectory) {
        statePath = stateDirectory.parent_path() / "Other" / "power-helper-state.json";
    } else {
        failure += stateDirectory.string();
    }

    startDaemon(std::nullopt, /*waitForName=*/false);
    statePath = runningStatePath;
    EXPECT_EQ(waitForExit(), 1);
    EXPECT_EQ(daemonErrors(), "ZelvoPowerHelper startup failed: " + failure + "\n");
    EXPECT_EQ(stateBytes(), held);
    EXPECT_EQ(pmset.sleepDisabled(), 1);
    EXPECT_EQ(pmsetRuns().size(), runsBefore);
    PowerHelperClient helper;
    EXPECT_TRUE(helper.status().heldByHelper());
}

INSTANTIATE_TEST_SUITE_P(
    Starts, SecondInstanceTest,
    ::testing::Values(SecondStart{"OnTheSameStateDirectory", false,
                                  "another instance holds the state directory "},
                      SecondStart{"OnItsOwnStateDirectory", true,
                                  "The name com.zelvo.Zelvo.power is owned by another connection"}),
    [](const auto& info) { return std::string(info.param.name); });

// Start-up with room for only so many descriptors, from too few to load the program to plenty: each
// resource that cannot be had ends the start with one line and status 1, never an abort, and a hold
// adopted before that is put back or still recorded for the next start. A daemon that does start
// may lack the descriptors for pmset later; the same holds for its end.
TEST_F(DaemonTest, EndsAStartThatLacksAnyResourceWithOneLine) {
#ifdef __SANITIZE_ADDRESS__
    // UndefinedBehaviorSanitizer, built in beside it, opens a pipe to check each object's type:
    // out of descriptors, it reports every check as a fault of the program.
    GTEST_SKIP() << "the sanitizers' own checks need descriptors";
#endif
    startBus();
    int failed = 0;
    int served = 0;
    std::vector<int> limits(21);
    std::iota(limits.begin(), limits.end(), 4);
    limits.push_back(64);
    for (const int limit : limits) {
        SCOPED_TRACE("ulimit -n " + std::to_string(limit));
        writeState(heldUntil(std::chrono::system_clock::now() + 30s));
        pmset.setSleepDisabled(1);
        launchPrefix = {"sh", "-c", "ulimit -n " + std::to_string(limit) + R"( && exec "$0" "$@")"};
        startDaemon(std::nullopt, /*waitForName=*/false);
        ASSERT_TRUE(eventually([&] { return nameOwned() || !daemonRunning(); }));
        const bool started = daemonRunning();
        if (started) {
            signalDaemon(SIGTERM);
        }
        const std::optional<int> status = waitForExit();
        const std::string errors = daemonErrors();
        // Below some limit, which depends on what the test's own parents left open, the loader
        // cannot open the program's libraries: none of the daemon's code runs then.
        if (status == 127 &&
            errors.find("error while loading shared libraries") != std::string::npos) {
            continue;
        }
        ++(started ? served : failed);
        const bool stillRecorded = std::regex_match(stateBytes(), heldDocument);
        if (!stillRecorded) {
            EXPECT_EQ(pmset.sleepDisabled(), 0);
        }
        // A restore that failed as well adds its own line and leaves the hold recorded.
        const bool restored =
            errors.find("ZelvoPowerHelper: Termination restore failed: ") == std::string::npos;
        if (!restored) {
            EXPECT_TRUE(stillRecorded);
        }
        if (started) {
            EXPECT_EQ(status, restored ? 0 : 1) << errors;
            continue;
        }
        EXPECT_EQ(status, 1);
        EXPECT_EQ(errors.rfind("ZelvoPowerHelper startup failed: ", 0), 0u) << errors;
        EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), restored ? 1 : 2) << errors;
    }
    EXPECT_GT(failed, 0);
    EXPECT_GT(served, 0);
}

TEST_F(DaemonTest, ANewStartPutsBackWhatAKilledDaemonHeld) {
    startBus();
    startDaemon();
    ASSERT_EQ(client({"hold", "1"}).exitStatus, 0);
    signalDaemon(SIGKILL);
    ASSERT_EQ(waitForExit(), 128 + SIGKILL);
    ASSERT_EQ(pmset.sleepDisabled(), 1);
    ASSERT_TRUE(std::regex_match(stateBytes(), heldDocument));

    // Once the lease has ended, a new start puts the setting back before it serves.
    std::this_thread::sleep_for(1100ms);
    const auto runsBefore = pmsetRuns().size();
    startDaemon();
    EXPECT_EQ(pmset.sleepDisabled(), 0);
    EXPECT_EQ(stateBytes(), notHeldDocument);
    const auto runs = pmsetRuns();
    EXPECT_THAT(std::vector(runs.begin() + static_cast<long>(runsBefore), runs.end()),
                ElementsAre("-g", "-a disablesleep 0", "-g"));
    EXPECT_EQ(daemonErrors(), "");
}

TEST_F(DaemonTest, AFailedStartupRestoreIsRetriedByTheTicks) {
    writeState(heldUntil(std::chrono::system_clock::now() - 1h));
    pmset.setSleepDisabled(1);
    pmset.setControl("get exit 1 not ready\n");
    startBus();
    startDaemon();
    EXPECT_TRUE(eventually([&] {
        return daemonErrors().find("ZelvoPowerHelper: Lease restore failed: pmset failed: exit 1: "
                                   "not ready\n") != std::string::npos;
    }));
    EXPECT_EQ(daemonErrors().rfind("ZelvoPowerHelper startup restore failed; retrying: pmset "
                                   "failed: exit 1: not ready\n",
                                   0),
              0u)
        << daemonErrors();
    // Status meanwhile reports the failure.
    const auto status = client({"status", "--json"});
    EXPECT_THAT(status.standardOutput, HasSubstr("\"systemSleepDisabled\":-1"));
    EXPECT_THAT(status.standardOutput, HasSubstr("not ready"));

    pmset.clearControl();
    EXPECT_TRUE(eventually([&] { return pmset.sleepDisabled() == 0; }, 10s));
    EXPECT_TRUE(eventually([&] { return stateBytes() == notHeldDocument; }, 5s));
}

TEST_F(DaemonTest, RefusesAStateFileItCannotTrust) {
    writeState(notHeldDocument, 0644);
    startBus();
    startDaemon(std::nullopt, /*waitForName=*/false);
    EXPECT_EQ(waitForExit(), 1);
    EXPECT_EQ(daemonErrors(),
              "ZelvoPowerHelper startup failed: Helper state file: state must be an "
              "owned regular 0600 file of at most 16 KB\n");
    EXPECT_FALSE(nameOwned());
    EXPECT_TRUE(pmsetRuns().empty());
}

TEST_F(DaemonTest, RefusesToRunExceptAsRoot) {
    startBus();
    startDaemon("nobody", /*waitForName=*/false);
    EXPECT_EQ(waitForExit(), 1);
    EXPECT_EQ(daemonErrors(),
              "ZelvoPowerHelper must be launched by its approved daemon service.\n");
    EXPECT_TRUE(pmsetRuns().empty());
    EXPECT_FALSE(std::filesystem::exists(stateDirectory));
}

TEST_F(DaemonTest, AdmitsTheGroupAndRefusesEveryoneElse) {
    testbus::ensureClientGroupMember("zelvo-power-test");
    startBus();
    startDaemon();
    const std::vector<std::string> release{"call", "com.zelvo.Zelvo.power",
                                           "/com/zelvo/Zelvo/power", "com.zelvo.Zelvo.power.Helper",
                                           "Release"};
    EXPECT_EQ(busctl(release, "zelvo-power-test").standardOutput, "bas true 0\n");

    const auto refused = busctl({"call", "com.zelvo.Zelvo.power", "/com/zelvo/Zelvo/power",
                                 "com.zelvo.Zelvo.power.Helper", "HoldLidSleepDisabled", "x", "5"},
                                "nobody");
    EXPECT_NE(refused.exitStatus, 0);
    EXPECT_THAT(refused.standardError, HasSubstr("ccess"));
    EXPECT_EQ(pmset.sleepDisabled(), 0);
    EXPECT_TRUE(pmsetRuns().empty());
}

struct Launch {
    const char* name;
    std::vector<std::string> prefix;
};

// How the daemon may be started: as the shipped unit runs it (root with no capability at all and
// no new privileges), and by a parent that left SIGCHLD ignored, which would have the kernel reap
// every pmset child before the runner could wait for it.
class LaunchedDaemonTest : public DaemonTest, public ::testing::WithParamInterface<Launch> {};

TEST_P(LaunchedDaemonTest, HoldsReleasesAndEndsCleanly) {
    launchPrefix = GetParam().prefix;
    startBus();
    startDaemon();
    ASSERT_EQ(client({"hold", "30"}).exitStatus, 0);
    EXPECT_EQ(pmset.sleepDisabled(), 1);
    EXPECT_TRUE(std::regex_match(stateBytes(), heldDocument)) << stateBytes();
    ASSERT_EQ(client({"release"}).exitStatus, 0);
    EXPECT_EQ(pmset.sleepDisabled(), 0);
    EXPECT_EQ(stateBytes(), notHeldDocument);
    signalDaemon(SIGTERM);
    EXPECT_EQ(waitForExit(), 0);
    EXPECT_EQ(daemonErrors(), "");
}

INSTANTIATE_TEST_SUITE_P(Launches, LaunchedDaemonTest,
                         ::testing::Values(Launch{"WithoutAnyCapability",
                                                  {"setpriv", "--no-new-privs",
                                                   "--bounding-set=-all", "--inh-caps=-all"}},
                                           Launch{"WithSigchldIgnored",
                                                  {"env", "--ignore-signal=CHLD"}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(DaemonTest, ExitsByItselfWhenIdleForAMinute) {
    startBus();
    const auto started = std::chrono::steady_clock::now();
    startDaemon();
    EXPECT_EQ(waitForExit(120s), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - started, 59s);
    EXPECT_TRUE(pmsetRuns().empty());
    EXPECT_EQ(daemonErrors(), "");
}

} // namespace
} // namespace zelvo::daemontest
