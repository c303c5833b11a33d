#pragma once

#include <cstdint>
#include <functional>

namespace zelvo::dispatch {

class SerialQueue;

// A repeating timer on the monotonic clock whose handler runs on a serial queue. Ticks that fall due
// while the queue is busy are merged into one run. Must not outlive its queue.
class TimerSource {
public:
    explicit TimerSource(SerialQueue& queue);
    ~TimerSource(); // cancels; no handler runs once it has returned

    TimerSource(const TimerSource&) = delete;
    TimerSource& operator=(const TimerSource&) = delete;

    // First tick firstDelaySeconds from now, then every intervalSeconds.
    void schedule(double firstDelaySeconds, double intervalSeconds, std::int64_t leewayNanoseconds);
    void setEventHandler(std::function<void()> handler);
    // Starts delivering ticks.
    void resume();

private:
    SerialQueue& queue_;
    int fd_;
    std::function<void()> handler_;
    bool resumed_ = false;
};

} // namespace zelvo::dispatch
