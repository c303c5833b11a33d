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

} // namespace

SignalSource::SignalSource(int signalNumber, SerialQueue& queue)
    : signalNumber_(signalNumber), queue_(queue), fd_(openSignalFd(signalNumber)) {}

SignalSource::~SignalSource() {
    if (resumed_) {
        queue_.unwatch(fd_.get());
    }
}

void SignalSource::setEventHandler(std::function<void()> handler) {
    handler_ = std::make_shared<const std::function<void()>>(std::move(handler));
}

void SignalSource::resume() {
    if (resumed_) {
        return;
    }
    // Set first: the callback may run, and destroy this source, before watch returns.
    resumed_ = true;
    try {
        queue_.watch(fd_.get(), [this] { onReadable(); });
    } catch (...) {
        resumed_ = false;
        throw;
    }
}

void SignalSource::onReadable() {
    // One signal per run; another one pending keeps the descriptor readable and runs next.
    signalfd_siginfo info{};
    ssize_t got = 0;
    do {
        got = ::read(fd_.get(), &info, sizeof info);
    } while (got < 0 && errno == EINTR);
    if (got != static_cast<ssize_t>(sizeof info)) {
        return; // EAGAIN: another reader took it
    }
    const auto handler = handler_;
    if (handler && *handler) {
        (*handler)();
    }
    // Nothing of this object is touched after the handler: it may have destroyed the source.
}

} // namespace zelvo::dispatch
