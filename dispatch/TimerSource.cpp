#include "TimerSource.h"

#include "SerialQueue.h"

#include <cerrno>
#include <cmath>
#include <ctime>
#include <stdexcept>
#include <sys/timerfd.h>
#include <system_error>
#include <unistd.h>

namespace zelvo::dispatch {

namespace {

timespec toTimespec(double seconds) {
    double whole = std::floor(seconds);
    auto nanoseconds = static_cast<long>(std::llround((seconds - whole) * 1e9));
    if (nanoseconds >= 1'000'000'000L) {
        whole += 1;
        nanoseconds -= 1'000'000'000L;
    }
    return timespec{static_cast<time_t>(whole), nanoseconds};
}

} // namespace

TimerSource::TimerSource(SerialQueue& queue)
    : queue_(queue), fd_(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK)) {
    if (!fd_) {
        throw std::system_error(errno, std::generic_category(), "timerfd_create");
    }
}

TimerSource::~TimerSource() {
    if (resumed_) {
        queue_.unwatch(fd_.get());
    }
}

void TimerSource::schedule(double firstDelaySeconds, double intervalSeconds,
                           std::int64_t /*leewayNanoseconds*/) {
    if (!std::isfinite(firstDelaySeconds)) {
        throw std::invalid_argument("TimerSource::schedule: the first delay is not finite");
    }
    if (!std::isfinite(intervalSeconds) || intervalSeconds < 0) {
        throw std::invalid_argument(
            "TimerSource::schedule: the interval is negative or not finite");
    }
    itimerspec spec{};
    spec.it_interval = toTimespec(intervalSeconds);
    // A zero it_value would disarm the timer; "now" is the next nanosecond.
    spec.it_value = toTimespec(firstDelaySeconds > 0 ? firstDelaySeconds : 0.0);
    if (spec.it_value.tv_sec == 0 && spec.it_value.tv_nsec == 0) {
        spec.it_value.tv_nsec = 1;
    }
    if (::timerfd_settime(fd_.get(), 0, &spec, nullptr) != 0) {
        throw std::system_error(errno, std::generic_category(), "timerfd_settime");
    }
}

void TimerSource::setEventHandler(std::function<void()> handler) {
    handler_ = std::make_shared<const std::function<void()>>(std::move(handler));
}

void TimerSource::resume() {
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

void TimerSource::onReadable() {
    // The count of expirations since the last read: however many ticks fell due, one run.
    std::uint64_t expirations = 0;
    ssize_t got = 0;
    do {
        got = ::read(fd_.get(), &expirations, sizeof expirations);
    } while (got < 0 && errno == EINTR);
    if (got != static_cast<ssize_t>(sizeof expirations) || expirations == 0) {
        return; // EAGAIN: re-scheduled between the event and the read
    }
    const auto handler = handler_;
    if (handler && *handler) {
        (*handler)();
    }
    // Nothing of this object is touched after the handler: it may have destroyed the source.
}

} // namespace zelvo::dispatch
