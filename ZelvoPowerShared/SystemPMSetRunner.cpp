#include "SystemPMSetRunner.h"

#include "PowerHelperError.h"
#include "Unicode.h"
#include "UniqueFd.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string_view>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

#if !defined(__GLIBC__) || !__GLIBC_PREREQ(2, 34)
#error "the runner needs posix_spawn_file_actions_addclosefrom_np (glibc 2.34 or later)"
#endif

extern char** environ;

namespace zelvo {

namespace {

using Clock = std::chrono::steady_clock;

const Clock::duration timeLimit = std::chrono::duration_cast<Clock::duration>(
    std::chrono::duration<double>(SystemPMSetRunner::timeLimitSeconds));
// How long a timed-out child and its group may take to end on SIGTERM before SIGKILL.
constexpr auto terminationGrace = std::chrono::seconds(1);
// Once the child has ended, only a descendant can still write to the pipe; more than this is a
// flood that would otherwise grow the daemon's memory until the deadline.
constexpr std::size_t maxOutputBytes = std::size_t{1} << 20;

// Through syscall(2): glibc 2.36's <sys/pidfd.h> declares these without C linkage.
int openPidfd(pid_t pid) {
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}
void sendThroughPidfd(int pidfd, int signal) {
    ::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0);
}

[[noreturn]] void throwErrno(int error, const char* what) {
    throw std::system_error(error, std::system_category(), what);
}

int millisecondsUntil(Clock::time_point deadline) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) {
        return 0;
    }
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

// True once `fd` is ready (or has hung up); false when the deadline has passed first.
bool waitReady(int fd, Clock::time_point deadline) {
    for (;;) {
        pollfd entry{fd, POLLIN, 0};
        const int n = ::poll(&entry, 1, millisecondsUntil(deadline));
        if (n > 0) {
            return true;
        }
        if (n == 0) {
            if (Clock::now() >= deadline) {
                return false;
            }
            continue;
        }
        if (errno != EINTR) {
            throwErrno(errno, "poll");
        }
    }
}

// Appends everything up to end of file; false on the deadline or when the output grows past
// maxOutputBytes.
bool readToEnd(int fd, Clock::time_point deadline, std::string& out) {
    char buffer[16384];
    for (;;) {
        if (!waitReady(fd, deadline)) {
            return false;
        }
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == 0) {
            return true;
        }
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            throwErrno(errno, "read");
        }
        out.append(buffer, static_cast<std::size_t>(n));
        if (out.size() > maxOutputBytes) {
            return false;
        }
    }
}

std::pair<UniqueFd, UniqueFd> makePipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        throwErrno(errno, "pipe2");
    }
    return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

void check(int error, const char* what) {
    if (error != 0) {
        throwErrno(error, what);
    }
}

class SpawnFileActions {
public:
    SpawnFileActions() { check(::posix_spawn_file_actions_init(&actions_), "posix_spawn"); }
    ~SpawnFileActions() { ::posix_spawn_file_actions_destroy(&actions_); }
    SpawnFileActions(const SpawnFileActions&) = delete;
    SpawnFileActions& operator=(const SpawnFileActions&) = delete;
    posix_spawn_file_actions_t* get() noexcept { return &actions_; }

private:
    posix_spawn_file_actions_t actions_;
};

class SpawnAttributes {
public:
    SpawnAttributes() { check(::posix_spawnattr_init(&attributes_), "posix_spawn"); }
    ~SpawnAttributes() { ::posix_spawnattr_destroy(&attributes_); }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    posix_spawnattr_t* get() noexcept { return &attributes_; }

private:
    posix_spawnattr_t attributes_;
};

// A launched child. While it is unreaped its pid, which is also its process group's id, cannot be
// reused, so signalling it or its group can only ever reach this child and its descendants.
class Child {
public:
    static Child launch(const std::string& executable, const std::vector<std::string>& arguments,
                        int outputFd);

    Child(Child&& other) noexcept
        : pid_(std::exchange(other.pid_, -1)), pidfd_(std::move(other.pidfd_)) {}
    Child& operator=(Child&&) = delete;
    // Only reached with an unreaped child when run() fails unexpectedly: end it at once.
    ~Child() {
        if (pid_ > 0) {
            signalGroup(SIGKILL);
            (void)tryReap();
        }
    }

    // True once the child has ended; false when the deadline has passed first.
    bool waitForExit(Clock::time_point deadline) { return waitReady(pidfd_.get(), deadline); }

    // Reaps the ended (or ending) child: its exit status, or the number of the signal that ended
    // it. Throws std::system_error when it cannot be reaped.
    int reap() {
        const int status = tryReap();
        if (status < 0) {
            throwErrno(errno, "waitpid");
        }
        return status;
    }

    // Sends the group SIGTERM now and leaves the rest to a detached thread: SIGKILL to whatever of
    // the group outlives the grace, then the reaping. `pipe` is drained meanwhile so that a writer
    // blocked on a full pipe can take the signal. Never waits out the grace itself.
    static void endInBackground(Child child, UniqueFd pipe) noexcept {
        child.signalGroup(SIGTERM);
        try {
            std::thread([child = std::move(child), pipe = std::move(pipe)]() mutable {
                child.finishAfterTermination(pipe);
            }).detach();
        } catch (...) {
            // No thread: the child's destructor has killed and reaped it instead.
        }
    }

private:
    Child(pid_t pid, UniqueFd pidfd) noexcept : pid_(pid), pidfd_(std::move(pidfd)) {}

    // The child directly as well, in case it left its group.
    void signalGroup(int signal) noexcept {
        sendThroughPidfd(pidfd_.get(), signal);
        ::kill(-pid_, signal);
    }

    // As reap(), but -1 with errno set when the child cannot be reaped. Either way the child is
    // never signalled again.
    int tryReap() noexcept {
        int status = 0;
        pid_t got;
        while ((got = ::waitpid(pid_, &status, 0)) < 0 && errno == EINTR) {
        }
        const int error = errno;
        pid_ = -1;
        pidfd_.reset();
        if (got < 0) {
            errno = error;
            return -1;
        }
        return WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status);
    }

    void finishAfterTermination(UniqueFd& pipe) noexcept {
        const auto graceEnd = Clock::now() + terminationGrace;
        bool exited = false;
        bool closed = !pipe.valid();
        char scratch[16384];
        while (!(exited && closed)) {
            pollfd entries[2] = {{exited ? -1 : pidfd_.get(), POLLIN, 0},
                                 {closed ? -1 : pipe.get(), POLLIN, 0}};
            const int n = ::poll(entries, 2, millisecondsUntil(graceEnd));
            if (n < 0 && errno != EINTR) {
                break;
            }
            if (n == 0 && Clock::now() >= graceEnd) {
                break;
            }
            if (n <= 0) {
                continue;
            }
            exited = exited || entries[0].revents != 0;
            if (entries[1].revents != 0) {
                const ssize_t got = ::read(pipe.get(), scratch, sizeof scratch);
                closed = got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN);
            }
        }
        // Also reaches descendants that closed the pipe but ignore SIGTERM; the unreaped child
        // keeps the group's id from being reused until then.
        signalGroup(SIGKILL);
        (void)tryReap();
    }

    pid_t pid_;
    UniqueFd pidfd_;
};

Child Child::launch(const std::string& executable, const std::vector<std::string>& arguments,
                    int outputFd) {
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 2);
    argv.push_back(const_cast<char*>(executable.c_str()));
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);

    SpawnFileActions actions;
    check(::posix_spawn_file_actions_adddup2(actions.get(), outputFd, STDOUT_FILENO),
          "posix_spawn");
    check(::posix_spawn_file_actions_adddup2(actions.get(), outputFd, STDERR_FILENO),
          "posix_spawn");
    // Whatever the rest of the process opened without O_CLOEXEC stays out of the child.
    check(::posix_spawn_file_actions_addclosefrom_np(actions.get(), STDERR_FILENO + 1),
          "posix_spawn");

    // The daemon ignores and blocks SIGTERM and SIGINT; a child inheriting that could not be ended
    // on a time-out. Its own process group lets the time-out reach its descendants too.
    SpawnAttributes attributes;
    sigset_t all;
    sigset_t none;
    sigfillset(&all);
    sigemptyset(&none);
    check(::posix_spawnattr_setsigdefault(attributes.get(), &all), "posix_spawn");
    check(::posix_spawnattr_setsigmask(attributes.get(), &none), "posix_spawn");
    check(::posix_spawnattr_setpgroup(attributes.get(), 0), "posix_spawn");
    check(::posix_spawnattr_setflags(attributes.get(), POSIX_SPAWN_SETSIGDEF |
                                                           POSIX_SPAWN_SETSIGMASK |
                                                           POSIX_SPAWN_SETPGROUP),
          "posix_spawn");

    pid_t pid = -1;
    const int error = ::posix_spawn(&pid, executable.c_str(), actions.get(), attributes.get(),
                                    argv.data(), environ);
    if (error != 0) {
        throw std::system_error(error, std::system_category(), executable);
    }
    const int pidfd = openPidfd(pid);
    if (pidfd < 0) {
        const int openError = errno;
        ::kill(-pid, SIGKILL);
        ::kill(pid, SIGKILL);
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        throwErrno(openError, "pidfd_open");
    }
    return Child(pid, UniqueFd(pidfd));
}

} // namespace

std::string SystemPMSetRunner::run(const PMSetCommand& command) {
    auto [readEnd, writeEnd] = makePipe();
    Child child = Child::launch(executable_, command.arguments(), writeEnd.get());
    // Only the child may hold the write end, so that end of file means it and its heirs are done.
    writeEnd.reset();
    const auto deadline = Clock::now() + timeLimit;

    // The pipe is read only once the child has ended; a child whose output overfills the pipe
    // therefore never ends and times out.
    std::string bytes;
    if (!child.waitForExit(deadline) || !readToEnd(readEnd.get(), deadline, bytes)) {
        Child::endInBackground(std::move(child), std::move(readEnd));
        throw PowerHelperError::commandFailed("timed out");
    }
    const int status = child.reap();
    // pmset writes ASCII, which is valid UTF-8 as it is.
    const bool ascii = std::all_of(bytes.begin(), bytes.end(),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    std::string text = ascii ? std::move(bytes) : decodeUtf8Lossy(bytes);
    if (status == 0) {
        return text;
    }
    throw PowerHelperError::commandFailed("exit " + std::to_string(status) + ": " +
                                          std::string(trimmingWhitespacesAndNewlines(text)));
}

} // namespace zelvo
