#pragma once

#include "UniqueFd.h"

#include <functional>
#include <memory>

namespace zelvo::dispatch {

class SerialQueue;

// What the timer and signal sources share: a descriptor watched on a serial queue whose events
// run one handler each, serialised with the queue's work items. Must not outlive its queue.
//
// Destruction may happen on any thread. Off the queue, the destructor waits for a handler run that
// is in progress (so the destroying thread must hold nothing that handler waits for) and drops an
// event that is queued but not yet run. On the queue, including from within its own handler, it
// returns at once. Either way no handler run starts once it has returned.
class EventSource {
public:
    // Reads what made fd readable; true when that was an event for the handler.
    using Drain = bool (*)(int fd);

    EventSource(SerialQueue& queue, UniqueFd fd, Drain drain) noexcept;
    ~EventSource();

    EventSource(const EventSource&) = delete;
    EventSource& operator=(const EventSource&) = delete;

    // Call before resume, or on the queue.
    void setEventHandler(std::function<void()> handler);
    // Starts delivering; later calls do nothing. Throws std::system_error from watch.
    void resume();

    [[nodiscard]] int fd() const noexcept { return fd_.get(); }

private:
    void onReadable();

    SerialQueue& queue_;
    UniqueFd fd_;
    Drain drain_;
    // Shared so that a run keeps its handler alive should the handler destroy this source.
    std::shared_ptr<const std::function<void()>> handler_;
    bool resumed_ = false;
};

} // namespace zelvo::dispatch
