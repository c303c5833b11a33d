#pragma once

#include <functional>

namespace zelvo::dispatch {

class SerialQueue;

// Delivers one signal on a serial queue, read through a signalfd. The signal must be blocked in
// every thread (blockSignals before any thread is started) and its disposition set to SIG_IGN by
// the caller through ignoreSignal; a signal that was already pending is still delivered. Must not outlive its queue.
class SignalSource {
public:
    SignalSource(int signalNumber, SerialQueue& queue);
    ~SignalSource();

    SignalSource(const SignalSource&) = delete;
    SignalSource& operator=(const SignalSource&) = delete;

    void setEventHandler(std::function<void()> handler);
    void resume();

    [[nodiscard]] int signalNumber() const noexcept { return signalNumber_; }

private:
    int signalNumber_;
    SerialQueue& queue_;
    int fd_;
    std::function<void()> handler_;
    bool resumed_ = false;
};

} // namespace zelvo::dispatch
