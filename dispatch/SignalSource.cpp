#include "SignalSource.h"

#include "SerialQueue.h"

#include <cerrno>
#include <csignal>
#include <sys/signalfd.h>
#include <system_error>
#include <unistd.h>

namespace zelvo::dispatch {

namespace {

UniqueFd openSignalFd(int signalNumber) {
    sigset_t set;
    sigemptyset(&set);
    if (sigaddset(&set, signalNumber) != 0) {
        throw std::system_error(errno, std::generic_category(), "SignalSource: signal number");
    }
    UniqueFd fd(::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
    if (!fd) {
        throw std::system_error(errno, std::generic_category(), "signalfd");
    }
    return fd;
}

// One signal per run; another one pending keeps the descriptor readable and runs next.
bool drainSignal(int fd) {
    signalfd_siginfo info{};
    ssize_t got = 0;
    do {
        got = ::read(fd, &info, sizeof info);
    } while (got < 0 && errno == EINTR);
    // Anything else is EAGAIN: another reader took it.
    return got == static_cast<ssize_t>(sizeof info);
}

} // namespace

SignalSource::SignalSource(int signalNumber, SerialQueue& queue)
    : signalNumber_(signalNumber), source_(queue, openSignalFd(signalNumber), drainSignal) {}

} // namespace zelvo::dispatch
