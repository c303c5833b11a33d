#pragma once

#include "UniqueFd.h"

#include <cstdint>
#include <functional>
#include <memory>

namespace zelvo::dispatch {

class SerialQueue;

// A repeating timer on the monotonic clock (a timerfd, so wall-clock jumps do not move it) whose
// handler runs on a serial queue, once per readable event: ticks that fall due while the queue is
// busy are merged into one run. Must not outlive its queue.
//
// Destruction may happen on any thread. Off the queue, the destructor waits for a handler run that
// is in progress (so the destroying thread must hold nothing that handler waits for) and drops a
// tick that is queued but not yet run. On the queue, including from within its own handler, it
// returns at once. Either way no handler run starts once it has returned.
class TimerSource {
public:
    // Unscheduled: no tick until schedule. Throws std::system_error when the timerfd cannot be had.
    explicit TimerSource(SerialQueue& queue);
    ~TimerSource();

    TimerSource(const TimerSource&) = delete;
    TimerSource& operator=(const TimerSource&) = delete;

    // First tick firstDelaySeconds from now (at once when not positive), then every
    // intervalSeconds (no repeat when 0). The timer fires at its deadlines, so any leeway is
    // honoured by firing with none; leewayNanoseconds is accepted and not used. Re-scheduling
    // replaces the previous schedule and forgets ticks not yet delivered. From any thread. Throws
    // std::invalid_argument for a non-finite delay or a negative or non-finite interval.
    void schedule(double firstDelaySeconds, double intervalSeconds, std::int64_t leewayNanoseconds);
    // Call before resume, or on the queue.
    void setEventHandler(std::function<void()> handler);
    // Starts delivering ticks; later calls do nothing. Throws std::system_error from watch.
    void resume();

private:
    void onReadable();

    SerialQueue& queue_;
    UniqueFd fd_;
    // Shared so that a run keeps its handler alive should the handler destroy this source.
    std::shared_ptr<const std::function<void()>> handler_;
    bool resumed_ = false;
};

} // namespace zelvo::dispatch
