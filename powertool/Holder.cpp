#include "Holder.h"

#include "ControlSocket.h"
#include "Login1.h"
#include "ToolFailure.h"
#include "ToolLimits.h"
#include "WaitReadable.h"
#include "WriteAll.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace zelvo::powertool {

namespace {

// The report's first byte; a refusal carries its text after it.
constexpr char readyMark = 'R';
constexpr char failedMark = 'E';

[[noreturn]] void failWithErrno(const char* step) {
    throw ToolFailure(std::string(step) + ": " + std::strerror(errno));
}

// Starts a session of its own in "/" (so that no file system is kept busy), moves the holder's
// own descriptors above 2 (they could be 0-2 if the tool started with those closed), puts 0-2 on
// /dev/null and closes every other descriptor. Ends the process when it cannot: a holder still
// tied to the tool would stall the runner.
void detach(int& listener, int& ownerPidfd, int& report) {
    if (::setsid() < 0 || ::chdir("/") != 0) {
        _exit(1);
    }
    for (int* fd : {&listener, &ownerPidfd, &report}) {
        *fd = ::fcntl(*fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        if (*fd < 0) {
            _exit(1);
        }
    }
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null < 0 || ::dup2(null, STDIN_FILENO) < 0 || ::dup2(null, STDOUT_FILENO) < 0 ||
        ::dup2(null, STDERR_FILENO) < 0) {
        _exit(1);
    }
    int keep[] = {listener, ownerPidfd, report};
    std::sort(std::begin(keep), std::end(keep));
    unsigned next = STDERR_FILENO + 1;
    for (const int fd : keep) {
        if (static_cast<unsigned>(fd) > next) {
            ::close_range(next, static_cast<unsigned>(fd) - 1, 0);
        }
        next = static_cast<unsigned>(fd) + 1;
    }
    ::close_range(next, ~0U, 0);
}

// Answers one connection; true when it was a release request from root: the lock is gone and
// `listener` closed.
bool answer(UniqueFd& listener, UniqueFd& lock) {
    UniqueFd connection(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!connection) {
        return false;
    }
    ucred peer{};
    socklen_t length = sizeof peer;
    const auto reply = [&](const char* text) {
        (void)::send(connection.get(), text, std::strlen(text), MSG_NOSIGNAL);
    };
    // Judged before anything is read, so that no other user can make the holder wait.
    if (::getsockopt(connection.get(), SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 ||
        peer.uid != 0) {
        reply(ControlSocket::refusedAnswer);
        return false;
    }
    // A root peer that never sends holds the holder up only this long.
    const timeval patience{0, 500'000};
    (void)::setsockopt(connection.get(), SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    std::string request;
    char buffer[64];
    while (request.size() < sizeof buffer && request.find('\n') == std::string::npos) {
        const ssize_t got = ::recv(connection.get(), buffer, sizeof buffer, 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false; // a probe that only read the holder's pid, or a silent peer
        }
        request.append(buffer, static_cast<std::size_t>(got));
    }
    if (request != ControlSocket::releaseRequest) {
        return false;
    }
    // Both go before the answer: once the tool has it, the lock is closed and the name is free
    // for the next holder, however long this process still takes to end.
    lock.reset();
    listener.reset();
    reply(ControlSocket::releasedAnswer);
    return true;
}

// Returns when the lock is to go: the owner ended, SIGTERM came, a release was granted, or the
// wait itself failed (the lock is never kept without somebody watching the owner).
void serve(UniqueFd& listener, int ownerPidfd, int signals, UniqueFd& lock) {
    pollfd entries[3] = {
        {ownerPidfd, POLLIN, 0}, {signals, POLLIN, 0}, {listener.get(), POLLIN, 0}};
    for (;;) {
        const int ready = ::poll(entries, 3, -1);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready < 0 || entries[0].revents != 0 || entries[1].revents != 0 ||
            (entries[2].revents & ~POLLIN) != 0) {
            return;
        }
        if (entries[2].revents != 0 && answer(listener, lock)) {
            return;
        }
    }
}

[[noreturn]] void runHolder(int listener, int ownerPidfd, int report) noexcept {
    detach(listener, ownerPidfd, report);
    // SIGTERM is taken through the poll; a client gone before its answer must not end the holder.
    sigset_t terminate;
    sigemptyset(&terminate);
    sigaddset(&terminate, SIGTERM);
    ::sigprocmask(SIG_BLOCK, &terminate, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    const int signals = ::signalfd(-1, &terminate, SFD_CLOEXEC);
    UniqueFd listening(listener);

    // On failure the name is given up before the report, so that the tool, once it has the
    // report, finds no holder left behind.
    const auto failWith = [&](const std::string& text) {
        listening.reset();
        (void)writeAll(report, std::string(1, failedMark) + text);
        _exit(1);
    };
    UniqueFd lock;
    try {
        // The connection closes at the end of this block: the lock lives on its descriptor only.
        Login1 login1 = Login1::connect();
        lock = login1.inhibitOurLock();
    } catch (const std::exception& error) {
        failWith(error.what());
    }
    const int flags = ::fcntl(listener, F_GETFL);
    if (signals < 0 || flags < 0 || ::fcntl(listener, F_SETFL, flags | O_NONBLOCK) != 0 ||
        ::listen(listener, 16) != 0) {
        failWith(std::string("the lock holder cannot listen on its control socket: ") +
                 std::strerror(errno));
    }
    // A tool that is gone will never learn that the lock was taken, so it is not kept.
    if (!writeAll(report, std::string(1, readyMark))) {
        _exit(1);
    }
    ::close(report);
    serve(listening, ownerPidfd, signals, lock);
    // The name first, so that nobody finds this holder once its lock is going.
    listening.reset();
    lock.reset();
    // _exit: nothing of the tool's state (its atexit handlers, a leak check) runs in the holder.
    _exit(0);
}

// Everything the holder wrote until it closed its end, or nothing when it did not within `limit`.
std::optional<std::string> readReport(int fd, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::string text;
    char buffer[512];
    for (;;) {
        if (!waitReadable(fd, deadline)) {
            return std::nullopt;
        }
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return text;
        }
        text.append(buffer, static_cast<std::size_t>(got));
    }
}

} // namespace

pid_t startHolder(UniqueFd claimed, UniqueFd ownerPidfd) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        failWithErrno("cannot start the lock holder");
    }
    UniqueFd readEnd(ends[0]);
    UniqueFd writeEnd(ends[1]);
    const pid_t holder = ::fork();
    if (holder < 0) {
        failWithErrno("cannot start the lock holder");
    }
    if (holder == 0) {
        runHolder(claimed.get(), ownerPidfd.get(), writeEnd.get());
    }
    // Only the holder may keep the write end, so that end of file means it has reported or ended.
    writeEnd.reset();
    claimed.reset();
    ownerPidfd.reset();

    const std::optional<std::string> report = readReport(readEnd.get(), ToolLimits::holderReport);
    if (!report) {
        // Still our unreaped child, so the pid cannot have been reused.
        ::kill(holder, SIGKILL);
        throw ToolFailure("the lock holder did not report within " +
                          std::to_string(ToolLimits::holderReport.count()) + " ms");
    }
    if (report->empty()) {
        throw ToolFailure("the lock holder ended before it took the lock");
    }
    if ((*report)[0] != readyMark) {
        throw ToolFailure(report->substr(1));
    }
    return holder;
}

} // namespace zelvo::powertool
