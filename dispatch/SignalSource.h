#pragma once

#include "EventSource.h"

#include <functional>
#include <utility>

namespace zelvo::dispatch {

class SerialQueue;

// Delivers one signal on a serial queue, read through a signalfd: one handler run per signal read.
// The signal must be blocked in every thread (blockSignals before any thread is started) and its
// disposition set to SIG_IGN by the caller through ignoreSignal; a signal that was already pending
// is still delivered. A signal sent to the process (kill) is read; one sent to some other thread
// (raise, pthread_kill) stays pending there, unseen by the queue's worker. Several deliveries of
// one signal that come before the first is read are merged by the kernel into one. Must not outlive
// its queue.
//
// Destruction follows the rule of EventSource: from any thread, waiting off the queue for a handler
// run in progress; no handler run starts once the destructor has returned.
class SignalSource {
public:
    // Throws std::system_error for an invalid signal number or when the signalfd cannot be had.
    SignalSource(int signalNumber, SerialQueue& queue);

    SignalSource(const SignalSource&) = delete;
    SignalSource& operator=(const SignalSource&) = delete;

    // Call before resume, or on the queue.
    void setEventHandler(std::function<void()> handler) {
        source_.setEventHandler(std::move(handler));
    }
    // Starts delivering; later calls do nothing. Throws std::system_error from watch.
    void resume() { source_.resume(); }

    [[nodiscard]] int signalNumber() const noexcept { return signalNumber_; }

private:
    int signalNumber_;
    EventSource source_;
};

} // namespace zelvo::dispatch
