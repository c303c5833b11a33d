#include "KeepAwakeRenewal.h"
#include "PowerHelperConstants.h"
#include "PrivateBus.h"
#include "ScriptedHelper.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <iterator>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace zelvo::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;
using Args = std::vector<std::string>;
namespace fs = std::filesystem;

const std::string hold60 = "HoldLidSleepDisabled 60";

// A real child process with its output streams sent to files; killed and reaped if the test
// leaves it running.
class Process {
public:
    Process(const Args& argv, const Args& environment, const std::string& outPath,
            const std::string& errPath) {
        std::vector<char*> args;
        for (const auto& arg : argv) {
            args.push_back(const_cast<char*>(arg.c_str()));
        }
        args.push_back(nullptr);
        std::vector<char*> env;
        for (const auto& entry : environment) {
            env.push_back(const_cast<char*>(entry.c_str()));
        }
        env.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int error =
            ::posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), env.data());
        posix_spawn_file_actions_destroy(&actions);
        if (error != 0) {
            throw std::runtime_error("cannot start " + argv[0]);
        }
        pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    ~Process() {
        if (pid_ > 0) {
            signal(SIGKILL);
            reap();
        }
        ::close(pidfd_);
    }

    [[nodiscard]] pid_t pid() const noexcept { return pid_; }
    void signal(int signalNumber) const {
        ::syscall(SYS_pidfd_send_signal, pidfd_, signalNumber, nullptr, 0);
    }

    // The exit status, or 128 + the signal; a process still running after a generous bound is
    // killed and the test fails.
    int wait() {
        pollfd fd{pidfd_, POLLIN, 0};
        if (::poll(&fd, 1, 20'000) != 1) {
            ADD_FAILURE() << "process " << pid_ << " did not end";
            signal(SIGKILL);
        }
        return reap();
    }

private:
    int reap() {
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
        return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
    }

    pid_t pid_ = -1;
    int pidfd_ = -1;
};

struct ToolResult {
    int status;
    std::string out;
    std::string err;
};

std::string readFile(const fs::path& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), {}};
}

// The tool run against a scripted helper on a private bus standing in for the system bus.
class TheTool : public ::testing::Test {
protected:
    TheTool() {
        char pattern[] = "/tmp/zelvo-client-XXXXXX";
        dir = ::mkdtemp(pattern);
    }
    ~TheTool() override { fs::remove_all(dir); }

    std::unique_ptr<Process> start(const Args& args, const Args& extraEnvironment = {}) {
        Args argv{ZELVO_POWER_TOOL};
        argv.insert(argv.end(), args.begin(), args.end());
        Args environment;
        for (char** entry = environ; *entry != nullptr; ++entry) {
            if (!std::string_view(*entry).starts_with("DBUS_SYSTEM_BUS_ADDRESS=")) {
                environment.emplace_back(*entry);
            }
        }
        environment.push_back("DBUS_SYSTEM_BUS_ADDRESS=" + bus.address());
        environment.insert(environment.end(), extraEnvironment.begin(), extraEnvironment.end());
        return std::make_unique<Process>(argv, environment, dir / "out", dir / "err");
    }

    ToolResult finish(Process& process) {
        const int status = process.wait();
        return {status, readFile(dir / "out"), readFile(dir / "err")};
    }

    ToolResult run(const Args& args) { return finish(*start(args)); }

    fs::path dir;
    testbus::PrivateBus bus;
    std::optional<ScriptedHelper> helper{std::in_place, bus.address()};
};

TEST_F(TheTool, ExitsWithAStatusThatSaysWhatHappened) {
    const struct {
        const char* name;
        Args args;
        std::function<void(std::optional<ScriptedHelper>&)> script;
        int status;
        std::string err;
        std::vector<std::string> calls;
    } cases[] = {
        {"hold", {"hold"}, {}, 0, "", {hold60}},
        {"hold with seconds", {"hold", "30"}, {}, 0, "", {"HoldLidSleepDisabled 30"}},
        {"release", {"release"}, {}, 0, "", {"Release"}},
        {"failed hold",
         {"hold"},
         [](auto& h) { h->scriptHold({failure("pmset failed: timed out")}); },
         1,
         "zelvo-power: pmset failed: timed out\n",
         {hold60}},
        {"failed release",
         {"release"},
         [](auto& h) { h->scriptRelease({failure("Invalid helper state: x")}); },
         1,
         "zelvo-power: Invalid helper state: x\n",
         {"Release"}},
        {"access denied",
         {"release"},
         [](auto& h) {
             h->scriptRelease({{true, {}, "org.freedesktop.DBus.Error.AccessDenied", {}}});
         },
         3,
         "access denied",
         {"Release"}},
        {"no helper", {"status"}, [](auto& h) { h.reset(); }, 3, "not running", {}},
        {"no command", {}, {}, 2, "no command", {}},
        {"unknown command", {"sleep"}, {}, 2, "unknown command 'sleep'", {}},
        {"seconds not a number", {"hold", "1m"}, {}, 2, "SECONDS", {}},
        {"seconds zero", {"hold", "0"}, {}, 2, "SECONDS", {}},
        {"hold with two arguments", {"hold", "5", "6"}, {}, 2, "unexpected argument '6'", {}},
        {"release with an argument", {"release", "now"}, {}, 2, "unexpected argument", {}},
        {"version with an argument", {"--version", "x"}, {}, 2, "unexpected argument 'x'", {}},
        {"unknown status option", {"status", "--yaml"}, {}, 2, "'--yaml'", {}},
        {"pid without a number", {"keep-awake", "--pid"}, {}, 2, "--pid", {}},
        {"pid and a command", {"keep-awake", "--pid", "1", "true"}, {}, 2, "unexpected", {}},
        {"unknown keep-awake option", {"keep-awake", "-x"}, {}, 2, "unknown option '-x'", {}},
        {"pid of no process", {"keep-awake", "--pid", "2147483647"}, {}, 2, "cannot watch", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        helper.emplace(bus.address());
        if (c.script) {
            c.script(helper);
        }
        const auto result = run(c.args);
        EXPECT_EQ(result.status, c.status);
        EXPECT_THAT(result.err, HasSubstr(c.err));
        EXPECT_THAT(result.out, IsEmpty());
        if (helper) {
            EXPECT_EQ(helper->calls(), c.calls);
        }
    }
}

TEST_F(TheTool, SaysPlainlyWhenTheBusRefusesACallerOutsideTheGroup) {
    const auto result =
        testbus::runCommand(testbus::asUser("nobody", {ZELVO_POWER_TOOL, "status"}));
    EXPECT_EQ(result.exitStatus, 3);
    EXPECT_THAT(result.standardError, HasSubstr("access denied"));
    EXPECT_THAT(helper->calls(), IsEmpty());
}

TEST_F(TheTool, PrintsHelpForItselfAndEachCommandWithoutCallingTheHelper) {
    const Args cases[] = {{"--help"},         {"help"},          {"status", "--help"},
                          {"hold", "--help"}, {"release", "-h"}, {"keep-awake", "--help"}};
    for (const auto& args : cases) {
        SCOPED_TRACE(args.front());
        const auto result = run(args);
        EXPECT_EQ(result.status, 0);
        EXPECT_THAT(result.out, StartsWith("Usage: zelvo-power"));
        EXPECT_THAT(result.err, IsEmpty());
    }
    EXPECT_THAT(helper->calls(), IsEmpty());
}

TEST_F(TheTool, PrintsTheHelpersVersionWithoutCallingIt) {
    const auto result = run({"--version"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "zelvo-power " + std::string(PowerHelperConstants::version) + "\n");
    EXPECT_THAT(result.err, IsEmpty());
    EXPECT_THAT(helper->calls(), IsEmpty());
}

StatusAnswer statusWith(std::optional<std::string> errorMessage) {
    StatusAnswer answer;
    answer.fields = {{"helperVersion", sdbus::Variant(std::string("1.1.0"))},
                     {"heldByHelper", sdbus::Variant(true)},
                     {"systemSleepDisabled", sdbus::Variant(std::int64_t{-1})},
                     {"leaseSecondsRemaining", sdbus::Variant(std::int64_t{42})}};
    if (errorMessage) {
        answer.fields["errorMessage"] = sdbus::Variant(*errorMessage);
    }
    return answer;
}

TEST_F(TheTool, PrintsTheStatusAsText) {
    helper->scriptStatus(statusWith("pmset failed: timed out"));
    const auto result = run({"status"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "Helper version:   1.1.0\n"
                          "Held by helper:   yes\n"
                          "SleepDisabled:    -1\n"
                          "Lease remaining:  42 s\n"
                          "Error:            pmset failed: timed out\n");
}

TEST_F(TheTool, PrintsTheStatusAsOneJsonObject) {
    const struct {
        const char* name;
        std::optional<std::string> errorMessage;
        std::string json;
    } cases[] = {
        {"without an error message", std::nullopt,
         R"({"helperVersion":"1.1.0","heldByHelper":true,"systemSleepDisabled":-1,)"
         R"("leaseSecondsRemaining":42})"},
        {"with an empty error message", "",
         R"({"helperVersion":"1.1.0","heldByHelper":true,"systemSleepDisabled":-1,)"
         R"("leaseSecondsRemaining":42,"errorMessage":""})"},
        {"with characters to escape", "say \"no\"\\\n\t\x01 é",
         R"({"helperVersion":"1.1.0","heldByHelper":true,"systemSleepDisabled":-1,)"
         R"("leaseSecondsRemaining":42,"errorMessage":"say \"no\"\\\n\t\u0001 é"})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        helper->scriptStatus(statusWith(c.errorMessage));
        const auto result = run({"status", "--json"});
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out, c.json + "\n");
    }
}

TEST_F(TheTool, KeepsAwakeWhileACommandRunsAndExitsWithItsStatus) {
    const struct {
        const char* name;
        Args args;
        int status;
    } cases[] = {
        {"after --", {"keep-awake", "--", "sh", "-c", "exit 7"}, 7},
        {"without --", {"keep-awake", "sh", "-c", "exit 0"}, 0},
        {"killed by a signal", {"keep-awake", "sh", "-c", "kill -KILL $$"}, 128 + SIGKILL},
        {"not found", {"keep-awake", "/nonexistent/command"}, 127},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        helper.emplace(bus.address());
        const auto result = run(c.args);
        EXPECT_EQ(result.status, c.status);
        EXPECT_THAT(helper->calls(), ElementsAre(hold60, "Release"));
    }
}

TEST_F(TheTool, RunsNoCommandWhenTheFirstHoldFails) {
    helper->scriptHold({failure("pmset failed: timed out")});
    const auto marker = dir / "ran";
    const auto result = run({"keep-awake", "touch", marker});
    EXPECT_EQ(result.status, 1);
    EXPECT_THAT(result.err, HasSubstr("pmset failed: timed out"));
    EXPECT_FALSE(fs::exists(marker));
    EXPECT_THAT(helper->calls(), ElementsAre(hold60));
}

TEST_F(TheTool, RenewsTheHoldAndRetriesAFailedRenewalWithoutStoppingTheCommand) {
    helper->scriptHold({RequestAnswer{}, failure("pmset failed: timed out"), RequestAnswer{}});
    const auto done = dir / "done";
    auto tool = start(
        {"keep-awake", "sh", "-c", "while [ ! -e \"$0\" ]; do sleep 0.02; done; exit 4", done},
        {"ZELVO_POWER_RENEWAL_SECONDS=1"});
    ASSERT_TRUE(helper->waitForCalls(hold60, 4));
    std::ofstream{done};
    const auto result = finish(*tool);
    EXPECT_EQ(result.status, 4);
    EXPECT_THAT(result.err, HasSubstr("renewal failed"));
    EXPECT_THAT(result.err, HasSubstr("pmset failed: timed out"));
    EXPECT_EQ(helper->calls().back(), "Release");
}

// Each signal whose default action would end keep-awake with the hold left to run out.
constexpr int endingSignals[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT};

TEST_F(TheTool, PassesATerminationSignalToTheCommandAndReleasesAfterIt) {
    for (const int signalNumber : endingSignals) {
        SCOPED_TRACE(signalNumber);
        helper.emplace(bus.address());
        // The command ends by the signal it is given, and only once it has been given one.
        auto tool = start({"keep-awake", "sleep", "30"});
        ASSERT_TRUE(helper->waitForCalls(hold60, 1));
        tool->signal(signalNumber);
        const auto result = finish(*tool);
        EXPECT_EQ(result.status, 128 + signalNumber);
        EXPECT_THAT(helper->calls(), ElementsAre(hold60, "Release"));
    }
}

TEST_F(TheTool, KeepsAwakeUntilAWatchedProcessEnds) {
    Process watched({"sleep", "30"}, {"PATH=/usr/bin:/bin"}, "/dev/null", "/dev/null");
    auto tool = start({"keep-awake", "--pid", std::to_string(watched.pid())});
    ASSERT_TRUE(helper->waitForCalls(hold60, 1));
    EXPECT_THAT(helper->calls(), ElementsAre(hold60));
    watched.signal(SIGTERM);
    EXPECT_EQ(watched.wait(), 128 + SIGTERM);
    const auto result = finish(*tool);
    EXPECT_EQ(result.status, 0);
    EXPECT_THAT(helper->calls(), ElementsAre(hold60, "Release"));
}

TEST_F(TheTool, KeepsAwakeWithoutACommandUntilInterrupted) {
    for (const int signalNumber : endingSignals) {
        SCOPED_TRACE(signalNumber);
        helper.emplace(bus.address());
        auto tool = start({"keep-awake"});
        ASSERT_TRUE(helper->waitForCalls(hold60, 1));
        tool->signal(signalNumber);
        const auto result = finish(*tool);
        EXPECT_EQ(result.status, 0);
        EXPECT_THAT(helper->calls(), ElementsAre(hold60, "Release"));
    }
}

TEST(TheRenewalInterval, IsTheStandardOneOrTheSettingBoundToTheLeasesScale) {
    const struct {
        const char* setting;
        double seconds;
    } cases[] = {
        {nullptr, 15.0},   {"", 15.0},    {"abc", 15.0},  {"2x", 15.0}, {"0", 15.0},
        {"-5", 15.0},      {"nan", 15.0}, {"inf", 15.0},  {"1", 1.0},   {"2.5", 2.5},
        {"0.000001", 1.0}, {"30", 30.0},  {"3600", 30.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.setting == nullptr ? "absent" : c.setting);
        EXPECT_EQ(keepAwakeRenewalSeconds(c.setting), c.seconds);
    }
}

TEST_F(TheTool, ReportsAFailedReleaseButKeepsTheCommandsStatus) {
    helper->scriptRelease({failure("pmset failed: SleepDisabled did not return to 0")});
    const auto result = run({"keep-awake", "sh", "-c", "exit 3"});
    EXPECT_EQ(result.status, 3);
    EXPECT_THAT(result.err,
                HasSubstr("release failed: pmset failed: SleepDisabled did not return to 0"));
}

} // namespace
} // namespace zelvo::test
