#include "TestBus.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace zelvo::test {

TestBus::TestBus() {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe2 failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    char* argv[] = {const_cast<char*>("dbus-daemon"), const_cast<char*>("--session"),
                    const_cast<char*>("--nofork"), const_cast<char*>("--print-address"), nullptr};
    const int error = ::posix_spawnp(&pid_, argv[0], &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (error != 0) {
        ::close(pipeFds[0]);
        throw std::runtime_error("cannot start dbus-daemon");
    }
    // The daemon prints its address once it listens; wait for the whole line.
    char buffer[512];
    while (address_.find('\n') == std::string::npos) {
        pollfd fd{pipeFds[0], POLLIN, 0};
        if (::poll(&fd, 1, 10'000) <= 0) {
            break;
        }
        const auto got = ::read(pipeFds[0], buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        address_.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(pipeFds[0]);
    if (const auto end = address_.find('\n'); end != std::string::npos) {
        address_.resize(end);
        return;
    }
    stop();
    throw std::runtime_error("dbus-daemon printed no address");
}

TestBus::~TestBus() {
    stop();
}

void TestBus::stop() noexcept {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
    }
}

} // namespace zelvo::test
