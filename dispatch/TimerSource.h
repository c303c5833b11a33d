#pragma once

#include "EventSource.h"

#include <cstdint>
#include <functional>
#include <utility>

namespace zelvo::dispatch {

class SerialQueue;

// A repeating timer on the monotonic clock (a timerfd, so wall-clock jumps do not move it) whose
// handler runs on a serial queue, once per readable event: ticks that fall due while the queue is
// busy are merged into one run. Must not outlive its queue.
//
// Destruction follows the rule of EventSource: from any thread, waiting off the queue for a handler
// run in progress; no handler run starts once the destructor has returned.
class TimerSource {
public:
    // Unscheduled: no tick until schedule. Throws std::system_error when the timerfd cannot be had.
    explicit TimerSource(SerialQueue& queue);

    TimerSource(const TimerSource&) = delete;
    TimerSource& operator=(const TimerSource&) = delete;

    // First tick firstDelaySeconds from now (at once when not positive), then every
    // intervalSeconds (no repeat when 0). The timer fires at its deadlines, so any leeway is
    // honoured by firing with none; leewayNanoseconds is accepted and not used. Re-scheduling
    // replaces the previous schedule and forgets ticks not yet delivered. From any thread. Throws
    // std::invalid_argument for a non-finite delay or a negative or non-finite interval.
    void schedule(double firstDelaySeconds, double intervalSeconds, std::int64_t leewayNanoseconds);
    // Call before resume, or on the queue.
    void setEventHandler(std::function<void()> handler) {
        source_.setEventHandler(std::move(handler));
    }
    // Starts delivering ticks; later calls do nothing. Throws std::system_error from watch.
    void resume() { source_.resume(); }

private:
    EventSource source_;
};

} // namespace zelvo::dispatch
