// zelvo-power: asks the power helper to keep the machine awake with its lid closed.
//
// Exit status: 0 success, 1 the helper answered with a failure (or a local failure), 2 usage
// error, 3 the helper cannot be reached. keep-awake with a command exits with the command's status.

#include "KeepAwakeRenewal.h"
#include "PowerHelperClient.h"
#include "PowerHelperConstants.h"
#include "UniqueFd.h"
#include "WriteAll.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <sys/timerfd.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>
#include <utility>
#include <vector>

extern char** environ;

namespace {

using namespace zelvo;
namespace Constants = PowerHelperConstants;

constexpr int exitSuccess = 0;
constexpr int exitFailure = 1;
constexpr int exitUsage = 2;
constexpr int exitUnreachable = 3;

using Args = std::vector<std::string>;

class UsageError final : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

[[noreturn]] void throwErrno(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

// One write per line, so that lines from several processes sharing the stream do not interleave.
void printError(const std::string& message) {
    (void)writeAll(STDERR_FILENO, "zelvo-power: " + message + "\n");
}

const char* const toolHelp = R"(Usage: zelvo-power COMMAND [OPTIONS]

Keeps the machine awake with its lid closed, through the power helper daemon.

Commands:
  status [--json]         show what the helper holds
  hold [SECONDS]          hold for one lease (default 60 s, the helper grants at most 60)
  release                 release the hold
  keep-awake [COMMAND...] hold while a command or process runs, renewing the lease

Run 'zelvo-power COMMAND --help' for a command's options, 'zelvo-power --version' for the
version.
Exit status: 0 success, 1 the helper reported a failure, 2 usage error,
3 the helper cannot be reached.
)";

const char* const statusHelp = R"(Usage: zelvo-power status [--json]

Shows the helper's version, whether it holds SleepDisabled, the value of SleepDisabled
(-1 when it could not be read), the seconds left on the lease and the read error, if any.

  --json   print the fields as one JSON object; errorMessage only when present
)";

const char* const holdHelp = R"(Usage: zelvo-power hold [SECONDS]

Asks the helper to hold SleepDisabled for SECONDS (a positive whole number, default 60; the
helper grants at most 60). The hold ends by itself unless it is renewed.
)";

const char* const releaseHelp = R"(Usage: zelvo-power release

Asks the helper to release its hold and put SleepDisabled back.
)";

const char* const keepAwakeHelp = R"(Usage: zelvo-power keep-awake [--] COMMAND [ARGS...]
       zelvo-power keep-awake --pid PID
       zelvo-power keep-awake

Holds SleepDisabled and renews the lease every 15 seconds until COMMAND (run as a child)
ends, process PID ends, or SIGINT, SIGTERM, SIGHUP or SIGQUIT arrives; then releases the
hold. Without a command or PID it holds until it is interrupted. A signal is passed on to COMMAND, which is
waited for. A failed renewal is reported and retried at the next interval.

Exit status: COMMAND's own (128 + the signal number if a signal ended it; 127 when it cannot
be found, 126 when it cannot be run). Without a command: 0, or as for the other commands
when the helper refuses or cannot be reached.
)";

int printHelp(const char* text) {
    std::fputs(text, stdout);
    return exitSuccess;
}

bool isHelp(const std::string& arg) {
    return arg == "--help" || arg == "-h";
}

std::int64_t parsePositive(const std::string& text, const char* what) {
    std::int64_t value = 0;
    const auto* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc{} || stop != end || value <= 0) {
        throw UsageError(std::string(what) + " must be a positive whole number, not '" + text +
                         "'");
    }
    return value;
}

void rejectExtra(const Args& args, std::size_t from) {
    if (args.size() > from) {
        throw UsageError("unexpected argument '" + args[from] + "'");
    }
}

UniqueFd openPidfd(pid_t pid) {
    const auto fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0) {
        throwErrno("pidfd_open");
    }
    return UniqueFd(fd);
}

// ---- status ----

struct StatusOptions {
    bool json = false;
};

std::optional<StatusOptions> parseStatus(const Args& args) {
    StatusOptions options;
    for (const auto& arg : args) {
        if (isHelp(arg)) {
            return std::nullopt;
        }
        if (arg != "--json") {
            throw UsageError("unexpected argument '" + arg + "'");
        }
        options.json = true;
    }
    return options;
}

void printStatus(const HelperStatus& status, bool json) {
    if (json) {
        nlohmann::ordered_json object{
            {"helperVersion", status.helperVersion()},
            {"heldByHelper", status.heldByHelper()},
            {"systemSleepDisabled", status.systemSleepDisabled()},
            {"leaseSecondsRemaining", status.leaseSecondsRemaining()},
        };
        if (status.errorMessage()) {
            object["errorMessage"] = *status.errorMessage();
        }
        // Text from the daemon need not be valid UTF-8; replace rather than fail.
        const auto text = object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        std::printf("%s\n", text.c_str());
        return;
    }
    std::printf("Helper version:   %s\n", status.helperVersion().c_str());
    std::printf("Held by helper:   %s\n", status.heldByHelper() ? "yes" : "no");
    std::printf("SleepDisabled:    %lld\n", static_cast<long long>(status.systemSleepDisabled()));
    std::printf("Lease remaining:  %lld s\n",
                static_cast<long long>(status.leaseSecondsRemaining()));
    if (status.errorMessage()) {
        std::printf("Error:            %s\n", status.errorMessage()->c_str());
    }
}

int runStatus(const Args& args) {
    const auto options = parseStatus(args);
    if (!options) {
        return printHelp(statusHelp);
    }
    PowerHelperClient client;
    printStatus(client.status(), options->json);
    return exitSuccess;
}

// ---- hold, release ----

int runHold(const Args& args) {
    if (!args.empty() && isHelp(args[0])) {
        return printHelp(holdHelp);
    }
    rejectExtra(args, 1);
    const auto seconds = args.empty() ? Constants::leaseSeconds : parsePositive(args[0], "SECONDS");
    PowerHelperClient client;
    client.hold(seconds);
    return exitSuccess;
}

int runRelease(const Args& args) {
    if (!args.empty() && isHelp(args[0])) {
        return printHelp(releaseHelp);
    }
    rejectExtra(args, 0);
    PowerHelperClient client;
    client.release();
    return exitSuccess;
}

// ---- keep-awake ----

struct KeepAwakeOptions {
    std::optional<pid_t> pid;
    Args command;
};

std::optional<KeepAwakeOptions> parseKeepAwake(const Args& args) {
    KeepAwakeOptions options;
    if (args.empty()) {
        return options;
    }
    const auto& first = args[0];
    if (isHelp(first)) {
        return std::nullopt;
    }
    if (first == "--pid") {
        if (args.size() < 2) {
            throw UsageError("--pid needs a process id");
        }
        const auto pid = parsePositive(args[1], "PID");
        if (pid > INT32_MAX) {
            throw UsageError("PID is out of range: " + args[1]);
        }
        options.pid = static_cast<pid_t>(pid);
        rejectExtra(args, 2);
        return options;
    }
    if (first == "--") {
        options.command.assign(args.begin() + 1, args.end());
    } else if (first.starts_with("-")) {
        throw UsageError("unknown option '" + first + "'");
    } else {
        options.command = args;
    }
    return options;
}

// A command run as a child with the caller's signal mask. A child still running when this is
// destroyed (only on an unexpected error) is killed and reaped, never left behind.
class Child {
public:
    Child(const Args& command, const sigset_t& childMask) {
        std::vector<char*> argv;
        for (const auto& arg : command) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setsigmask(&attributes, &childMask);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
        const int error =
            ::posix_spawnp(&pid_, argv[0], nullptr, &attributes, argv.data(), environ);
        posix_spawnattr_destroy(&attributes);
        if (error != 0) {
            throw std::system_error(error, std::generic_category(), command[0]);
        }
        // The child cannot be reaped before we wait for it, so this pidfd names it for sure.
        try {
            pidfd_ = openPidfd(pid_);
        } catch (...) {
            // The destructor does not run for a constructor that throws: end the command here,
            // so that it never runs on unwatched after "cannot run" was reported.
            ::kill(pid_, SIGKILL);
            int status = 0;
            while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
            throw;
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() {
        if (pid_ > 0) {
            signal(SIGKILL);
            static_cast<void>(wait());
        }
    }

    [[nodiscard]] int pidfd() const noexcept { return pidfd_.get(); }
    [[nodiscard]] pid_t pid() const noexcept { return pid_; }

    // Through the pidfd, so the signal cannot reach a process that reused the id.
    void signal(int signalNumber) const noexcept {
        ::syscall(SYS_pidfd_send_signal, pidfd_.get(), signalNumber, nullptr, 0);
    }

    // Reaps the child; its exit status, or 128 + the signal that ended it.
    int wait() {
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0) {
            if (errno != EINTR) {
                throwErrno("waitpid");
            }
        }
        pid_ = -1;
        return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
    }

private:
    pid_t pid_ = -1;
    UniqueFd pidfd_;
};

// What ends keep-awake: the child, a watched process, or (with neither) a signal.
class KeepAwake {
public:
    explicit KeepAwake(const KeepAwakeOptions& options) : options_(options) {
        sigemptyset(&stopSignals_);
        // Each of them would otherwise end keep-awake with the hold left to run out: a closed
        // terminal (SIGHUP) and a quit key (SIGQUIT) release like an interrupt does.
        for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
            sigaddset(&stopSignals_, signalNumber);
        }
        // Blocked from now on, these signals wait in the signalfd, even during a blocking call.
        if (::sigprocmask(SIG_BLOCK, &stopSignals_, &callerMask_) != 0) {
            throwErrno("sigprocmask");
        }
        // An inherited SIG_IGN would let the kernel reap the child before we read its status.
        std::signal(SIGCHLD, SIG_DFL);
        signals_ = UniqueFd(::signalfd(-1, &stopSignals_, SFD_CLOEXEC));
        if (signals_.get() < 0) {
            throwErrno("signalfd");
        }
        if (options_.pid) {
            try {
                watched_ = openPidfd(*options_.pid);
            } catch (const std::system_error& error) {
                throw UsageError("cannot watch process " + std::to_string(*options_.pid) + ": " +
                                 std::strerror(error.code().value()));
            }
        }
    }

    int run() {
        client_.hold(Constants::leaseSeconds);
        std::optional<Child> child;
        if (!options_.command.empty()) {
            try {
                child.emplace(options_.command, callerMask_);
            } catch (const std::system_error& error) {
                printError("cannot run " + options_.command[0] + ": " +
                           std::strerror(error.code().value()));
                releaseReporting();
                return error.code().value() == ENOENT ? 127 : 126;
            }
        }
        const auto timer = startRenewalTimer();
        const int watchedFd = child ? child->pidfd() : watched_.get();
        for (;;) {
            pollfd fds[] = {
                {signals_.get(), POLLIN, 0}, {timer.get(), POLLIN, 0}, {watchedFd, POLLIN, 0}};
            if (::poll(fds, watchedFd >= 0 ? 3 : 2, -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                throwErrno("poll");
            }
            if (watchedFd >= 0 && (fds[2].revents & (POLLIN | POLLHUP)) != 0) {
                break;
            }
            if ((fds[0].revents & POLLIN) != 0 && takeSignal(child ? &*child : nullptr)) {
                break;
            }
            if ((fds[1].revents & POLLIN) != 0) {
                renew(timer);
            }
        }
        const int status = child ? child->wait() : exitSuccess;
        if (child) {
            releaseReporting();
            return status;
        }
        client_.release();
        return exitSuccess;
    }

private:
    UniqueFd startRenewalTimer() const {
        UniqueFd timer(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC));
        if (timer.get() < 0) {
            throwErrno("timerfd_create");
        }
        const double seconds = keepAwakeRenewalSeconds(std::getenv("ZELVO_POWER_RENEWAL_SECONDS"));
        timespec interval{};
        interval.tv_sec = static_cast<time_t>(seconds);
        interval.tv_nsec = static_cast<long>((seconds - std::floor(seconds)) * 1e9);
        const itimerspec timing{interval, interval};
        if (::timerfd_settime(timer.get(), 0, &timing, nullptr) != 0) {
            throwErrno("timerfd_settime");
        }
        return timer;
    }

    // Ticks that fell due during a slow call are read together and give one renewal.
    void renew(const UniqueFd& timer) {
        std::uint64_t ticks = 0;
        if (::read(timer.get(), &ticks, sizeof ticks) != sizeof ticks) {
            return;
        }
        try {
            client_.hold(Constants::leaseSeconds);
        } catch (const std::exception& error) {
            printError(std::string("renewal failed, retrying in the next interval: ") +
                       error.what());
        }
    }

    // True when keep-awake should stop now; with a child it goes on until the child ends.
    bool takeSignal(const Child* child) {
        signalfd_siginfo info{};
        if (::read(signals_.get(), &info, sizeof info) != sizeof info) {
            return false;
        }
        if (child == nullptr) {
            return true;
        }
        // A terminal's interrupt already reached a child in our process group; sending it again
        // would look like a second interrupt to the command.
        const bool fromTerminal = info.ssi_code == SI_KERNEL;
        if (!fromTerminal || ::getpgid(child->pid()) != ::getpgrp()) {
            child->signal(static_cast<int>(info.ssi_signo));
        }
        return false;
    }

    // After a command ran, its status is what counts; a failed release is still reported.
    void releaseReporting() {
        try {
            client_.release();
        } catch (const std::exception& error) {
            printError(std::string("release failed: ") + error.what());
        }
    }

    const KeepAwakeOptions& options_;
    sigset_t stopSignals_{};
    sigset_t callerMask_{};
    UniqueFd signals_;
    UniqueFd watched_;
    PowerHelperClient client_;
};

int runKeepAwake(const Args& args) {
    const auto options = parseKeepAwake(args);
    if (!options) {
        return printHelp(keepAwakeHelp);
    }
    KeepAwake keepAwake(*options);
    return keepAwake.run();
}

int run(const Args& args) {
    if (args.empty()) {
        throw UsageError("no command given");
    }
    const auto& command = args[0];
    const Args rest(args.begin() + 1, args.end());
    if (isHelp(command) || command == "help") {
        return printHelp(toolHelp);
    }
    if (command == "--version") {
        rejectExtra(rest, 0);
        std::printf("zelvo-power %s\n", std::string(Constants::version).c_str());
        return exitSuccess;
    }
    if (command == "status") {
        return runStatus(rest);
    }
    if (command == "hold") {
        return runHold(rest);
    }
    if (command == "release") {
        return runRelease(rest);
    }
    if (command == "keep-awake") {
        return runKeepAwake(rest);
    }
    throw UsageError("unknown command '" + command + "'");
}

} // namespace

int main(int argc, char** argv) {
    int status = exitFailure;
    try {
        status = run(Args(argv + 1, argv + argc));
    } catch (const UsageError& error) {
        printError(error.what());
        printError("run 'zelvo-power --help' for usage");
        status = exitUsage;
    } catch (const HelperRequestFailed& error) {
        printError(error.what());
        status = exitFailure;
    } catch (const HelperUnreachable& error) {
        printError(error.what());
        status = exitUnreachable;
    } catch (const std::exception& error) {
        printError(error.what());
        status = exitFailure;
    }
    if (std::fflush(stdout) != 0) {
        printError(std::string("cannot write the output: ") + std::strerror(errno));
        return exitFailure;
    }
    return status;
}
