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

// The count of expirations since the last read: however many ticks fell due, one run.
bool drainTimer(int fd) {
    std::uint64_t expirations = 0;
    ssize_t got = 0;
    do {
        got = ::read(fd, &expirations, sizeof expirations);
    } while (got < 0 && errno == EINTR);
    // Anything else is EAGAIN: re-scheduled between the event and the read.
    return got == static_cast<ssize_t>(sizeof expirations) && expirations != 0;
}

UniqueFd openTimerFd() {
    UniqueFd fd(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));
    if (!fd) {
        throw std::system_error(errno, std::generic_category(), "timerfd_create");
    }
    return fd;
}

} // namespace

TimerSource::TimerSource(SerialQueue& queue) : source_(queue, openTimerFd(), drainTimer) {}

void TimerSource::schedule(double firstDelaySeconds, double intervalSeconds,
                           std::int64_t /*leewayNanoseconds*/) {
    if (!std::isfinite(firstDelaySeconds)) {
        throw std::invalid_argument("TimerSource::schedule: the first delay is not finite");
    }
    if (!std::isfinite(intervalSeconds) || intervalSeconds < 0) {
        throw std::invalid_argument(
            "TimerSource::schedule: the interval is negative or not finite");
    }
    itimerspec timing{};
    timing.it_interval = toTimespec(intervalSeconds);
    // A zero it_value would disarm the timer; "now" is the next nanosecond.
    timing.it_value = toTimespec(firstDelaySeconds > 0 ? firstDelaySeconds : 0.0);
    if (timing.it_value.tv_sec == 0 && timing.it_value.tv_nsec == 0) {
        timing.it_value.tv_nsec = 1;
    }
    if (::timerfd_settime(source_.fd(), 0, &timing, nullptr) != 0) {
        throw std::system_error(errno, std::generic_category(), "timerfd_settime");
    }
}

} // namespace zelvo::dispatch
