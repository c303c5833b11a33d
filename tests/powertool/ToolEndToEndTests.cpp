#include "InhibitorLock.h"
#include "LogindWorld.h"
#include "PrivateBus.h"
#include "ToolProcess.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace zelvo::powertool {
namespace {

using logindworld::Inhibitor;
using logindworld::LogindWorld;
using logindworld::LogindWorldOptions;
using testbus::CommandResult;
using testing::eventually;
using testing::ParentRun;
using testing::ToolParent;
using testing::toolPath;

const std::string readsZero = "SleepDisabled 0\n";
const std::string readsOne = "SleepDisabled 1\n";
const std::vector<std::string> set1 = {"-a", "disablesleep", "1"};
const std::vector<std::string> set0 = {"-a", "disablesleep", "0"};
const std::vector<std::string> get = {"-g"};

// Runs as uid 0 with no capability at all and no new privileges, in a user namespace that maps root
// to root: what the shipped unit leaves the daemon and so the tool.
const std::vector<std::string> sandboxed = {"unshare",         "--user",
                                            "--map-user=0",    "--map-group=0",
                                            "setpriv",         "--bounding-set=-all",
                                            "--inh-caps=-all", "--no-new-privs"};
const std::vector<std::string> asNobody = {"setpriv", "--reuid=65534", "--regid=65534",
                                           "--clear-groups"};

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Runs `command` as a child of this process: the process that ran the tool. The tool returns only
// once both of its output pipes are closed, so a holder that kept either shows as a time-out.
CommandResult run(const std::vector<std::string>& command) {
    return testbus::runCommand(command, 10.0);
}

// Whether somebody has bound the control socket named after `owner`: the name is free again once
// its holder has ended.
bool controlSocketBound(pid_t owner) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const std::string name = "zelvo-pmset/" + std::to_string(owner);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    const bool bound =
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 && errno == EADDRINUSE;
    ::close(fd);
    return bound;
}

std::string statusField(pid_t pid, const std::string& field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(field + ":", 0) == 0) {
            return line.substr(line.find_first_not_of(" \t", field.size() + 1));
        }
    }
    return {};
}

class TheTool : public ::testing::Test {
protected:
    void SetUp() override { start({}); }

    // Ends the holder of this process, if a test left one, while its logind is still there.
    void TearDown() override {
        if (world) {
            (void)tool(set0);
        }
    }

    void start(LogindWorldOptions options) {
        if (const auto reason = LogindWorld::unavailableReason(options)) {
            GTEST_SKIP() << *reason;
        }
        world.emplace(std::move(options));
    }

    // The tool as a child of this process: this process is the one that ran it.
    CommandResult tool(const std::vector<std::string>& arguments,
                       const std::vector<std::string>& prefix = {}) {
        return run(prefix + std::vector<std::string>{toolPath} + arguments);
    }

    std::vector<Inhibitor> ourRows() const {
        std::vector<Inhibitor> rows = world->listInhibitors();
        std::erase_if(rows, [](const Inhibitor& row) { return row.who != OurLock::who; });
        return rows;
    }

    std::optional<LogindWorld> world;
};

void expectSucceeds(const CommandResult& outcome, const std::string& out = "") {
    EXPECT_EQ(outcome.exitStatus, 0) << outcome.standardError;
    EXPECT_EQ(outcome.standardOutput, out);
    EXPECT_EQ(outcome.standardError, "");
}

void expectFails(const CommandResult& outcome, const std::string& message) {
    EXPECT_EQ(outcome.exitStatus, 1);
    EXPECT_EQ(outcome.standardOutput, "");
    EXPECT_EQ(outcome.standardError, "zelvo-pmset: " + message + "\n");
}

// --- Against the real logind ---

TEST_F(TheTool, TakesKeepsAndDropsTheLockAsLogindListsIt) {
    expectSucceeds(tool(get), readsZero);

    expectSucceeds(tool(set1));
    const auto rows = ourRows();
    ASSERT_EQ(rows.size(), 1u);
    const Inhibitor& lock = rows[0];
    EXPECT_TRUE(lock.what == "handle-lid-switch:sleep" || lock.what == "sleep:handle-lid-switch")
        << lock.what;
    EXPECT_EQ(lock.why, OurLock::why);
    EXPECT_EQ(lock.mode, "block");
    EXPECT_EQ(lock.uid, 0u);
    EXPECT_NE(lock.pid, static_cast<std::uint32_t>(::getpid()));
    EXPECT_EQ(statusField(static_cast<pid_t>(lock.pid), "Name"), "zelvo-pmset");
    expectSucceeds(tool(get), readsOne);

    expectSucceeds(tool(set1));
    EXPECT_EQ(ourRows(), rows) << "a second set finds the holder";
    expectSucceeds(tool(get), readsOne);

    expectSucceeds(tool(set0));
    EXPECT_TRUE(ourRows().empty()) << "released means no longer listed";
    expectSucceeds(tool(get), readsZero);
    EXPECT_FALSE(controlSocketBound(::getpid())) << "the name is free once the release returns";
    expectSucceeds(tool(set0));

    expectSucceeds(tool(set1)); // at once: the released holder may still be ending
    expectSucceeds(tool(get), readsOne);
    expectSucceeds(tool(set0));
}

TEST_F(TheTool, HoldsAgainAtOnceAfterARelease) {
    // A released holder may still be on its way out when the next hold starts: the name must be
    // free by the time the release returns, or the hold finds a holder without a lock.
    for (int pair = 0; pair < 50; ++pair) {
        expectSucceeds(tool(set1));
        expectSucceeds(tool(set0));
        ASSERT_FALSE(controlSocketBound(::getpid())) << "after release " << pair;
    }
}

TEST_F(TheTool, LeavesTheHolderNothingOfTheToolsButItsOwnDescriptors) {
    expectSucceeds(tool(set1)); // returns only once both of the tool's pipes are closed
    const auto rows = ourRows();
    ASSERT_EQ(rows.size(), 1u);
    const auto holder = static_cast<pid_t>(rows[0].pid);
    const std::filesystem::path proc = "/proc/" + std::to_string(holder);

    std::ifstream stat(proc / "stat");
    std::string pid, name, state, parent, group, session;
    stat >> pid >> name >> state >> parent >> group >> session;
    EXPECT_EQ(session, std::to_string(holder)) << "a session of its own";
    EXPECT_EQ(group, std::to_string(holder));

    std::vector<std::string> own;
    for (const auto& entry : std::filesystem::directory_iterator(proc / "fd")) {
        const int fd = std::stoi(entry.path().filename().string());
        const std::string target = std::filesystem::read_symlink(entry.path()).string();
        if (fd <= 2) {
            EXPECT_EQ(target, "/dev/null") << fd;
        } else {
            own.push_back(target.substr(0, target.find_first_of("[0123456789")));
        }
    }
    std::sort(own.begin(), own.end());
    // The lock, the control socket, the pidfd of this process and the signalfd for SIGTERM.
    EXPECT_EQ(own, (std::vector<std::string>{"/run/systemd/inhibit/",
                                             "anon_inode:", "anon_inode:", "socket:"}));
}

TEST_F(TheTool, KeepsTheLockAcrossARestartOfLogind) {
    expectSucceeds(tool(set1));
    world->restartLogin1();
    expectSucceeds(tool(get), readsOne);
    expectSucceeds(tool(set0));
    expectSucceeds(tool(get), readsZero);
}

TEST_F(TheTool, ReportsALogindThatCannotBeAsked) {
    world->stopLogin1();
    const std::string absent = "The name org.freedesktop.login1 was not provided by any .service "
                               "files";
    expectFails(tool(get), "cannot list logind's inhibitor locks: " + absent);
    expectFails(tool(set1), "cannot take logind's inhibitor lock: " + absent);
    EXPECT_FALSE(controlSocketBound(::getpid())) << "no holder stays behind";
    expectSucceeds(tool(set0)); // nothing held: already 0
}

TEST_F(TheTool, EndsTheLockWhenTheProcessThatRanItEndsOrTheHolderIsEnded) {
    struct Case {
        const char* name;
        bool killParent;
        int signal;
    };
    const Case cases[] = {
        {"the parent killed", true, SIGKILL},
        {"the holder killed", false, SIGKILL},
        {"the holder terminated", false, SIGTERM},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ToolParent parent(toolPath);
        ASSERT_EQ(parent.run("-a disablesleep 1").status, 0);
        const auto rows = ourRows();
        ASSERT_EQ(rows.size(), 1u);
        const pid_t owner = parent.pid();
        if (c.killParent) {
            parent.kill();
        } else {
            ::kill(static_cast<pid_t>(rows[0].pid), c.signal);
        }
        EXPECT_TRUE(eventually([&] { return ourRows().empty(); }));
        EXPECT_TRUE(eventually([&] { return !controlSocketBound(owner); }));
        if (!c.killParent) {
            const ParentRun reread = parent.run("-g");
            EXPECT_EQ(reread.out, readsZero);
            EXPECT_EQ(parent.run("-a disablesleep 1").status, 0) << "a new holder can start";
            EXPECT_EQ(parent.run("-g").out, readsOne);
            EXPECT_EQ(parent.run("-a disablesleep 0").status, 0);
        }
    }
}

TEST_F(TheTool, IsGrantedTheLockUnderTheUnitsSandbox) {
    expectSucceeds(tool(set1, sandboxed));
    const auto rows = ourRows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].uid, 0u);
    const auto holder = static_cast<pid_t>(rows[0].pid);
    EXPECT_EQ(statusField(holder, "CapEff"), "0000000000000000");
    EXPECT_EQ(statusField(holder, "CapBnd"), "0000000000000000");
    EXPECT_EQ(statusField(holder, "NoNewPrivs"), "1");
    expectSucceeds(tool(get, sandboxed), readsOne);
    expectSucceeds(tool(set0, sandboxed));
    EXPECT_TRUE(ourRows().empty());
}

TEST_F(TheTool, NeverSeesOrReleasesTheLockOfAnotherParent) {
    ToolParent first(toolPath);
    ToolParent second(toolPath);
    ASSERT_EQ(first.run("-a disablesleep 1").status, 0);
    expectSucceeds(tool(get), readsZero);
    EXPECT_EQ(second.run("-g").out, readsZero);
    ASSERT_EQ(second.run("-a disablesleep 1").status, 0);
    const auto both = ourRows();
    ASSERT_EQ(both.size(), 2u);
    EXPECT_NE(both[0].pid, both[1].pid);

    const ParentRun released = second.run("-a disablesleep 0");
    EXPECT_EQ(released.status, 0) << released.out;
    EXPECT_EQ(second.run("-g").out, readsZero);
    EXPECT_EQ(first.run("-g").out, readsOne);
    EXPECT_EQ(ourRows().size(), 1u);
    expectSucceeds(tool(set0)); // nothing of this process's: changes nothing
    EXPECT_EQ(first.run("-g").out, readsOne);
    EXPECT_EQ(first.run("-a disablesleep 0").status, 0);
    EXPECT_TRUE(ourRows().empty());
}

TEST_F(TheTool, RefusesAReleaseAskedForByAnyoneButRoot) {
    expectSucceeds(tool(set1));
    expectFails(tool(set0, asNobody), "the lock holder refused the release");
    EXPECT_EQ(ourRows().size(), 1u);
    expectSucceeds(tool(get), readsOne);
}

// For the tests without a world: this process's, and so the tool's, system bus is `address`.
class ABusAddress {
public:
    explicit ABusAddress(const char* address) { ::setenv(variable, address, 1); }
    ~ABusAddress() { ::unsetenv(variable); }

private:
    static constexpr const char* variable = "DBUS_SYSTEM_BUS_ADDRESS";
};

TEST(TheToolsArguments, AnythingButTheThreeInvocationsIsAUsageError) {
    const std::vector<std::string> cases[] = {
        {}, {"-g", "-g"}, {"-a", "disablesleep"}, {"-a", "disablesleep", "2"}, {"--help"}};
    for (const auto& arguments : cases) {
        const CommandResult outcome = run(std::vector<std::string>{toolPath} + arguments);
        EXPECT_EQ(outcome.exitStatus, 2);
        EXPECT_EQ(outcome.standardOutput, "");
        EXPECT_EQ(outcome.standardError, "usage: zelvo-pmset -g | -a disablesleep 0|1\n");
    }
}

TEST(TheToolWithoutABus, FailsToReadOrSetAndHasNothingToClear) {
    const ABusAddress nowhere("unix:path=/nonexistent/bus.socket");
    for (const auto& arguments : {get, set1}) {
        const CommandResult outcome = run(std::vector<std::string>{toolPath} + arguments);
        EXPECT_EQ(outcome.exitStatus, 1);
        EXPECT_EQ(outcome.standardError,
                  "zelvo-pmset: cannot connect to the system bus: No such file or directory\n");
    }
    EXPECT_EQ(run(std::vector<std::string>{toolPath} + set0).exitStatus, 0);
}

// --- Against login1's stand-in, for listings and answers the real one cannot be made to give ---

class TheToolOnAStandIn : public TheTool {
protected:
    void SetUp() override { start({.standIn = "exact"}); }

    static constexpr const char* notOurs[] = {"wrong-who",  "wrong-uid", "delay",       "lid-only",
                                              "sleep-only", "dead-pid",  "someone-else"};
};

TEST_F(TheToolOnAStandIn, ReadsOneOnlyWhileTheListingIsExactlyOurLock) {
    expectSucceeds(tool(set1));
    expectSucceeds(tool(get), readsOne);
    for (const char* scenario : notOurs) {
        world->setStandInScenario(scenario);
        expectSucceeds(tool(get), readsZero);
        expectFails(tool(set1), "logind does not list the lock as taken");
    }
}

TEST_F(TheToolOnAStandIn, KeepsNoLockThatDoesNotReadBackAsOurs) {
    for (const char* scenario : notOurs) {
        SCOPED_TRACE(scenario);
        world->setStandInScenario(scenario);
        expectFails(tool(set1), "logind does not list the lock as taken");
        EXPECT_TRUE(eventually([&] { return world->listInhibitors().empty(); }));
        EXPECT_TRUE(eventually([&] { return !controlSocketBound(::getpid()); }));
        expectSucceeds(tool(get), readsZero);
    }
}

TEST_F(TheToolOnAStandIn, PrintsLogindsRefusal) {
    world->setStandInScenario("refuse");
    expectFails(tool(set1), "cannot take logind's inhibitor lock: Permission denied");
    EXPECT_FALSE(controlSocketBound(::getpid()));
    expectSucceeds(tool(get), readsZero);
}

TEST_F(TheToolOnAStandIn, FailsAReleaseThatLogindStillLists) {
    world->setStandInScenario("linger");
    expectSucceeds(tool(set1));
    expectFails(tool(set0), "logind still lists the lock after its release");
    EXPECT_FALSE(controlSocketBound(::getpid())) << "the holder itself has ended";
}

} // namespace
} // namespace zelvo::powertool
