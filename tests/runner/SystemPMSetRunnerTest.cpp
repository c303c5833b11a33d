#include "SystemPMSetRunner.h"

#include "PMSet.h"
#include "PmsetStandin.h"
#include "PowerHelperError.h"

#include <chrono>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <future>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace zelvo {
namespace {

using pmsetstandin::Folder;
using Clock = std::chrono::steady_clock;

// "returns:" + the text, or "fails:" + the payload of a commandFailed error.
std::string outcomeOf(SystemPMSetRunner& runner, const PMSetCommand& command) {
    try {
        return "returns:" + runner.run(command);
    } catch (const PowerHelperError& error) {
        EXPECT_EQ(error.kind(), PowerHelperError::Case::commandFailed);
        return "fails:" + error.payload();
    }
}

bool eventually(const std::function<bool()>& condition,
                std::chrono::seconds bound = std::chrono::seconds(10)) {
    const auto end = Clock::now() + bound;
    while (!condition()) {
        if (Clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::vector<std::string> directoryEntries(const char* path) {
    std::vector<std::string> names;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(path), ::closedir);
    while (dir != nullptr) {
        const dirent* entry = ::readdir(dir.get());
        if (entry == nullptr) {
            break;
        }
        if (entry->d_name[0] != '.') {
            names.emplace_back(entry->d_name);
        }
    }
    return names;
}

// The state letter and parent pid of a process, from /proc/PID/stat ("" if there is none).
std::pair<char, long> stateAndParent(const std::string& pid) {
    const std::string stat = pmsetstandin::readFileText("/proc/" + pid + "/stat");
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 4 > stat.size()) {
        return {0, 0};
    }
    return {stat[close + 2], std::stol(stat.substr(close + 4))};
}

// This process's children, zombies included.
std::vector<std::string> children() {
    std::vector<std::string> found;
    for (const std::string& name : directoryEntries("/proc")) {
        if (name.find_first_not_of("0123456789") == std::string::npos &&
            stateAndParent(name).second == ::getpid()) {
            found.push_back(name);
        }
    }
    return found;
}

bool endedOrZombie(const std::string& pid) {
    const char state = stateAndParent(pid).first;
    return state == 0 || state == 'Z';
}

std::size_t openDescriptors() {
    return directoryEntries("/proc/self/fd").size() - 1;
}

// The signal state the daemon runs with: termination signals ignored and blocked.
class DaemonLikeSignals {
public:
    DaemonLikeSignals() {
        for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGPIPE, SIGUSR1}) {
            struct sigaction ignore {};
            ignore.sa_handler = SIG_IGN;
            sigaction(sig, &ignore, &saved_[sig]);
        }
        sigset_t block;
        sigemptyset(&block);
        for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGUSR2}) {
            sigaddset(&block, sig);
        }
        pthread_sigmask(SIG_BLOCK, &block, &savedMask_);
    }
    ~DaemonLikeSignals() {
        pthread_sigmask(SIG_SETMASK, &savedMask_, nullptr);
        for (auto& [sig, action] : saved_) {
            sigaction(sig, &action, nullptr);
        }
    }

private:
    std::map<int, struct sigaction> saved_;
    sigset_t savedMask_;
};

class ASystemPMSetRunner : public testing::Test {
protected:
    Folder folder;
    SystemPMSetRunner runner{folder.executable()};
};

TEST_F(ASystemPMSetRunner, StartsTheProgramWithTheCommandsArguments) {
    runner.run(PMSetCommand::setSleepDisabled(true));
    EXPECT_EQ(PMSetParser::sleepDisabled(runner.run(PMSetCommand::read())), 1);
    runner.run(PMSetCommand::setSleepDisabled(false));
    EXPECT_EQ(PMSetParser::sleepDisabled(runner.run(PMSetCommand::read())), 0);

    std::vector<std::vector<std::string>> arguments;
    for (const pmsetstandin::Call& call : folder.calls()) {
        EXPECT_EQ(call.program, folder.executable());
        arguments.push_back(call.arguments);
    }
    const std::vector<std::vector<std::string>> expected = {
        {"-a", "disablesleep", "1"}, {"-g"}, {"-a", "disablesleep", "0"}, {"-g"}};
    EXPECT_EQ(arguments, expected);
}

struct OutcomeCase {
    const char* name;
    std::string control;
    std::string expected;
};

void PrintTo(const OutcomeCase& c, std::ostream* out) { *out << c.name; }

const std::string replacement = "\xEF\xBF\xBD"; // U+FFFD

const OutcomeCase outcomeCases[] = {
    {"WritesOnlyToStandardError", "all write 2 only on stderr\\n\nall exit 0",
     "returns:only on stderr\n"},
    {"InterleavesBothStreams",
     "all write 1 out 1\\n\nall write 2 err 1\\n\nall write 1 out 2\\n\nall write 2 err 2\\n\n"
     "all exit 0",
     "returns:out 1\nerr 1\nout 2\nerr 2\n"},
    {"PrintsNothing", "all exit 0", "returns:"},
    {"PrintsPaddedLinesAndSucceeds", "all exit 0 \\x20 SleepDisabled 1\\n\\n",
     "returns:  SleepDisabled 1\n\n"},
    {"FailsWithPaddedText", "all exit 1 \\x20\\x20Bad thing\\n", "fails:exit 1: Bad thing"},
    {"FailsSilently", "all exit 2", "fails:exit 2: "},
    // Ideographic space, tab, VT, FF, NEL, NBSP before; line separator and U+200B (not a space)
    // inside; paragraph separator, CR LF after.
    {"FailsWithUnicodeSpacesAroundItsText",
     "all exit 3 \xE3\x80\x80\t\v\f\xC2\x85\xC2\xA0"
     "a \xE2\x80\xA8 b\xE2\x80\x8B\xE2\x80\xA9\r\\n",
     "fails:exit 3: a \xE2\x80\xA8 b\xE2\x80\x8B"},
    {"PrintsInvalidUtf8", "all exit 0 a\\xFFb\\xE2\\x82c\\xF0\\x9F\\x98",
     "returns:a" + replacement + "b" + replacement + "c" + replacement},
    {"FailsWithInvalidUtf8", "all exit 1 \\xC0\\x80x\\xED\\xA0\\x80",
     "fails:exit 1: " + replacement + replacement + "x" + replacement + replacement + replacement},
    {"DiesBySignal", "all signal " + std::to_string(SIGUSR1),
     "fails:exit " + std::to_string(SIGUSR1) + ": "},
};

class ASystemPMSetRunnerWithAChildThat : public ASystemPMSetRunner,
                                         public testing::WithParamInterface<OutcomeCase> {};

TEST_P(ASystemPMSetRunnerWithAChildThat, ReturnsOrFailsWithWhatTheChildPrinted) {
    folder.setControl(GetParam().control);
    EXPECT_EQ(outcomeOf(runner, PMSetCommand::read()), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, ASystemPMSetRunnerWithAChildThat, testing::ValuesIn(outcomeCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ASystemPMSetRunner, PassesOnTheLaunchErrorUnchanged) {
    const std::string notExecutable = (folder.path() / "plain-file").string();
    { std::ofstream(notExecutable) << "not a program\n"; }
    const std::pair<std::string, int> cases[] = {
        {(folder.path() / "missing").string(), ENOENT},
        {notExecutable, EACCES},
    };
    for (const auto& [path, error] : cases) {
        SystemPMSetRunner launcher(path);
        try {
            launcher.run(PMSetCommand::read());
            ADD_FAILURE() << path << " ran";
        } catch (const std::system_error& failure) {
            EXPECT_EQ(failure.code().value(), error) << path;
        }
    }
    EXPECT_TRUE(children().empty());
}

struct TimeoutCase {
    const char* name;
    const char* control;
    bool leavesGrandchild;
    bool endsBeforeTheDeadline;
};

// All at once, each in its own folder, under the daemon's signal state: the time-out must end the
// child although the daemon itself ignores and blocks SIGTERM.
TEST(ASystemPMSetRunnerWithChildrenThatOverrun, TimesOutAndEndsTheChildAndItsDescendants) {
    const TimeoutCase cases[] = {
        {"hangs", "all hang", false, false},
        {"ignores SIGTERM", "all ignore-term", false, false},
        {"floods its output", "all flood", false, false},
        {"ends but leaves a grandchild holding its output", "all grandchild", true, false},
        {"leaves a grandchild flooding its output", "all grandchild-flood", true, true},
    };
    const std::size_t descriptorsBefore = openDescriptors();
    DaemonLikeSignals signals;

    std::vector<std::unique_ptr<Folder>> folders;
    std::vector<std::future<std::pair<std::string, double>>> results;
    for (const TimeoutCase& c : cases) {
        folders.push_back(std::make_unique<Folder>());
        folders.back()->setControl(c.control);
        results.push_back(std::async(std::launch::async, [path = folders.back()->executable()] {
            SystemPMSetRunner runner(path);
            const auto start = Clock::now();
            std::string outcome = outcomeOf(runner, PMSetCommand::read());
            return std::pair(outcome, std::chrono::duration<double>(Clock::now() - start).count());
        }));
    }
    for (std::size_t i = 0; i < results.size(); ++i) {
        const auto [outcome, seconds] = results[i].get();
        EXPECT_EQ(outcome, "fails:timed out") << cases[i].name;
        if (cases[i].endsBeforeTheDeadline) {
            EXPECT_LT(seconds, 4.5) << cases[i].name;
        } else {
            EXPECT_GT(seconds, 4.5) << cases[i].name;
            EXPECT_LT(seconds, 8.0) << cases[i].name;
        }
    }

    EXPECT_TRUE(eventually([] { return children().empty(); })) << children().size() << " left";
    for (std::size_t i = 0; i < results.size(); ++i) {
        if (cases[i].leavesGrandchild) {
            std::string pid = folders[i]->file(pmsetstandin::grandchildPidFile);
            pid.erase(pid.find_last_not_of('\n') + 1);
            ASSERT_FALSE(pid.empty()) << cases[i].name;
            EXPECT_TRUE(eventually([&] { return endedOrZombie(pid); })) << cases[i].name;
        }
    }
    EXPECT_TRUE(eventually([&] { return openDescriptors() <= descriptorsBefore; }))
        << openDescriptors() << " open, " << descriptorsBefore << " before";
}

TEST_F(ASystemPMSetRunner, GivesTheChildOnlyThePipeAndDefaultSignalHandling) {
    DaemonLikeSignals signals;
    const int stray = ::open("/dev/null", O_RDONLY); // deliberately inheritable
    ASSERT_GE(stray, 0);
    folder.setControl("all record-fds\nall record-signals");
    runner.run(PMSetCommand::read());
    ::close(stray);

    std::map<int, std::string> seen;
    std::istringstream fds(folder.file(pmsetstandin::fdsFile));
    for (std::string line; std::getline(fds, line);) {
        const std::size_t space = line.find(' ');
        seen[std::stoi(line.substr(0, space))] = line.substr(space + 1);
    }
    std::vector<int> numbers;
    for (const auto& entry : seen) {
        numbers.push_back(entry.first);
    }
    std::vector<int> expected = {1, 2};
    if (::fcntl(STDIN_FILENO, F_GETFD) != -1) {
        expected.insert(expected.begin(), 0);
    }
    EXPECT_EQ(numbers, expected);
    EXPECT_EQ(seen[1].rfind("pipe:", 0), 0u) << seen[1];
    EXPECT_EQ(seen[1], seen[2]);
    EXPECT_EQ(folder.file(pmsetstandin::signalsFile), "blocked:\nignored:\n");
}

TEST_F(ASystemPMSetRunner, LeavesNoChildOrDescriptorBehindAfterManyRuns) {
    ASSERT_TRUE(eventually([] { return children().empty(); }));
    const std::size_t before = openDescriptors();
    folder.setControl("set exit 3 refused");
    SystemPMSetRunner missing((folder.path() / "missing").string());
    for (int i = 0; i < 40; ++i) {
        EXPECT_NO_THROW(runner.run(PMSetCommand::read()));
        EXPECT_EQ(outcomeOf(runner, PMSetCommand::setSleepDisabled(true)), "fails:exit 3: refused");
        EXPECT_THROW(missing.run(PMSetCommand::read()), std::system_error);
    }
    EXPECT_TRUE(children().empty());
    EXPECT_EQ(openDescriptors(), before);
    EXPECT_EQ(folder.calls().size(), 80u);
}

} // namespace
} // namespace zelvo
