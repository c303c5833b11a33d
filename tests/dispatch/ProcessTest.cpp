#include "Process.h"

#include "DispatchTestSupport.h"
#include "SerialQueue.h"
#include "SignalSource.h"
#include "UniqueFd.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace zelvo::dispatch {

namespace test {

// The child: a static object, an atexit handler and a second running thread, then exitProcess
// from the queue while the main thread is parked. Either witness on standard output means that
// exitProcess ran the process's clean-up.
void runExitHelper(int status) {
    static struct Witness {
        ~Witness() { (void)!::write(STDOUT_FILENO, "destructor\n", 11); }
    } witness;
    std::atexit([] { (void)!::write(STDOUT_FILENO, "atexit\n", 7); });

    std::atomic<bool> otherRunning{false};
    std::thread([&otherRunning] {
        otherRunning = true;
        for (;;) {
            std::this_thread::sleep_for(1ms);
        }
    }).detach();
    while (!otherRunning) {
        std::this_thread::sleep_for(1ms);
    }

    static SerialQueue queue("test.exit");
    queue.async([status] { exitProcess(status); });
    dispatchMain();
}

} // namespace test

namespace {

using namespace test;

struct HelperOutcome {
    bool exited = false;
    int status = -1;
    std::string output;
};

// Runs this test binary as the exit helper and waits, within the bound, for it to end.
HelperOutcome runHelper(int status) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        throw std::system_error(errno, std::generic_category(), "pipe2");
    }
    UniqueFd readEnd(fds[0]);
    UniqueFd writeEnd(fds[1]);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDOUT_FILENO);
    std::string path = "/proc/self/exe";
    std::string mode = exitHelperSwitch;
    std::string statusText = std::to_string(status);
    std::vector<char*> argv = {path.data(), mode.data(), statusText.data(), nullptr};
    pid_t pid = -1;
    const int error = ::posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        throw std::system_error(error, std::generic_category(), "posix_spawn");
    }
    writeEnd.reset();

    HelperOutcome outcome;
    const auto deadline = std::chrono::steady_clock::now() + patience;
    int waitStatus = 0;
    for (;;) {
        pollfd ready{readEnd.get(), POLLIN, 0};
        if (::poll(&ready, 1, 10) > 0) {
            char buffer[256];
            const ssize_t got = ::read(readEnd.get(), buffer, sizeof buffer);
            if (got > 0) {
                outcome.output.append(buffer, static_cast<std::size_t>(got));
            }
        }
        if (::waitpid(pid, &waitStatus, WNOHANG) == pid) {
            break;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &waitStatus, 0);
            return outcome;
        }
    }
    char buffer[256];
    ssize_t got = 0;
    while ((got = ::read(readEnd.get(), buffer, sizeof buffer)) > 0) {
        outcome.output.append(buffer, static_cast<std::size_t>(got));
    }
    outcome.exited = WIFEXITED(waitStatus);
    outcome.status = outcome.exited ? WEXITSTATUS(waitStatus) : -1;
    return outcome;
}

TEST(ExitProcess, EndsTheProcessFromTheQueueWithItsStatusAndNoCleanUp) {
    for (const int status : {0, 7}) {
        SCOPED_TRACE(status);
        const HelperOutcome outcome = runHelper(status);
        ASSERT_TRUE(outcome.exited) << "the helper did not end by itself";
        EXPECT_EQ(outcome.status, status);
        EXPECT_EQ(outcome.output, "");
    }
}

TEST(SignalCalls, RefuseAnInvalidSignalNumber) {
    SerialQueue queue("test.invalid-signal");
    const std::vector<std::pair<const char*, std::function<void()>>> calls = {
        {"blockSignals 0", [] { blockSignals({0}); }},
        {"blockSignals 65",
         [] {
             blockSignals({SIGUSR1, 65});
         }},
        {"ignoreSignal 0", [] { ignoreSignal(0); }},
        {"ignoreSignal SIGKILL", [] { ignoreSignal(SIGKILL); }},
        {"SignalSource 65", [&queue] { SignalSource source(65, queue); }},
    };
    for (const auto& [name, call] : calls) {
        EXPECT_THROW(call(), std::system_error) << name;
    }
}

} // namespace
} // namespace zelvo::dispatch
