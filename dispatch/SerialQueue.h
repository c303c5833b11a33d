#pragma once

#include <functional>
#include <memory>
#include <string>

namespace zelvo::dispatch {

// One worker thread that runs work items one at a time, in submission order. Timer and signal
// sources deliver their events on it too, serialised with the work items: an event becomes a work
// item at the back of the queue when it fires, so it runs after the work submitted before it fired
// and before the work submitted after, however long the item running at that moment takes. A
// second thread of the queue, the watcher, waits on the sources' descriptors for this; a
// submission first queues any event that has fired and that the watcher has not queued yet.
//
// Both threads sleep, with no time-out, while there is nothing to do: an idle queue never wakes
// up. They start with the signal mask of the thread that constructs the queue.
//
class SerialQueue {
public:
    // Starts the worker and the watcher. Throws std::system_error when the descriptors or the
    // threads cannot be had.
    explicit SerialQueue(std::string label);
    // Lets the running item finish, drops (destroys, unrun) the items still queued, and joins the
    // threads. Must not run on the queue's own worker thread. Every source watching the queue must
    // be gone first.
    ~SerialQueue();

    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    // Submits work from any thread, the worker included; it runs after everything submitted before
    // it. Work submitted once the destructor has begun is dropped. Never throws except
    // std::bad_alloc.
    void async(std::function<void()> work);

    [[nodiscard]] const std::string& label() const noexcept;
    // True on the queue's worker thread.
    [[nodiscard]] bool isCurrent() const noexcept;

    // For the sources: queues onReadable as a work item whenever fd becomes readable, until
    // unwatch. onReadable should consume what made fd readable; if fd is still readable when it
    // returns, it is queued again at the back of the queue. One fd is watched at most once at a
    // time; throws std::system_error when the fd cannot be watched (already watched, not pollable).
    // unwatch from any thread, idempotent; after it returns the callback is not running and never
    // runs again (called from within the callback, it returns at once and the callback still never
    // runs again). Off the queue it may wait for a running callback: the caller must hold nothing
    // that callback waits for.
    void watch(int fd, std::function<void()> onReadable);
    void unwatch(int fd);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace zelvo::dispatch
