#include "ChildProcess.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <utility>

extern char** environ;

namespace zelvo::testbus {

Pipe makePipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        throw std::system_error(errno, std::generic_category(), "pipe2");
    }
    return Pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

int exitStatusOf(int status) {
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    if (WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return -1;
}

int reap(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return exitStatusOf(status);
}

bool waitForExitKeepingPid(pid_t pid, std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    for (;;) {
        siginfo_t info{};
        if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
            info.si_pid == pid) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::string readLine(int fd, std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    std::string read;
    while (read.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            throw std::runtime_error("no full line within " + std::to_string(bound.count()) +
                                     " ms");
        }
        pollfd readable{fd, POLLIN, 0};
        if (::poll(&readable, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) {
            throw std::system_error(errno, std::generic_category(), "poll");
        }
        char buffer[512];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == 0) {
            throw std::runtime_error("the writer closed before a full line");
        }
        if (n > 0) {
            read.append(buffer, static_cast<std::size_t>(n));
        }
    }
    return read.substr(0, read.find('\n'));
}

std::vector<std::string> killedWithParent(std::vector<std::string> argv) {
    argv.insert(argv.begin(), {"setpriv", "--pdeathsig", "KILL", "--"});
    return argv;
}

SpawnSetup::SpawnSetup() {
    ::posix_spawnattr_init(&attributes_);
    ::posix_spawn_file_actions_init(&actions_);
}

SpawnSetup::~SpawnSetup() {
    ::posix_spawn_file_actions_destroy(&actions_);
    ::posix_spawnattr_destroy(&attributes_);
}

void SpawnSetup::cleanSignals(bool ownProcessGroup) {
    sigset_t none;
    sigemptyset(&none);
    sigset_t all;
    sigfillset(&all);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (ownProcessGroup) {
        flags |= POSIX_SPAWN_SETPGROUP;
        ::posix_spawnattr_setpgroup(&attributes_, 0);
    }
    ::posix_spawnattr_setsigmask(&attributes_, &none);
    ::posix_spawnattr_setsigdefault(&attributes_, &all);
    ::posix_spawnattr_setflags(&attributes_, flags);
}

void SpawnSetup::dupTo(int from, int to) {
    ::posix_spawn_file_actions_adddup2(&actions_, from, to);
}

void SpawnSetup::open(int to, const std::filesystem::path& path, int flags) {
    ::posix_spawn_file_actions_addopen(&actions_, to, path.c_str(), flags, 0644);
}

pid_t SpawnSetup::spawn(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const auto& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    pid_t pid = -1;
    const int error = ::posix_spawnp(&pid, args[0], &actions_, &attributes_, args.data(), environ);
    if (error != 0) {
        throw std::system_error(error, std::generic_category(), "posix_spawnp " + argv[0]);
    }
    return pid;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::filesystem::path& log,
                           int standardOutput) {
    SpawnSetup setup;
    setup.cleanSignals(true);
    setup.open(STDIN_FILENO, "/dev/null", O_RDONLY);
    setup.open(STDERR_FILENO, log, O_WRONLY | O_CREAT | O_APPEND);
    if (standardOutput >= 0) {
        setup.dupTo(standardOutput, STDOUT_FILENO);
    } else {
        setup.dupTo(STDERR_FILENO, STDOUT_FILENO);
    }
    pid_ = setup.spawn(killedWithParent(argv));
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept : pid_(std::exchange(other.pid_, -1)) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        stop();
        pid_ = std::exchange(other.pid_, -1);
    }
    return *this;
}

bool ChildProcess::hasExited() const {
    return pid_ > 0 && waitForExitKeepingPid(pid_, std::chrono::milliseconds(0));
}

void ChildProcess::signal(int signal) const {
    if (pid_ > 0) {
        ::kill(pid_, signal);
    }
}

int ChildProcess::stop(std::chrono::milliseconds grace) {
    if (pid_ <= 0) {
        return -1;
    }
    ::kill(-pid_, SIGTERM);
    waitForExitKeepingPid(pid_, grace);
    // The group id stays reserved while the leader is unreaped, so this cannot hit a stranger.
    ::kill(-pid_, SIGKILL);
    return reap(std::exchange(pid_, -1));
}

} // namespace zelvo::testbus
