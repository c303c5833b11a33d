#pragma once

#include <functional>
#include <memory>
#include <string>

namespace zelvo::dispatch {

// One worker thread that runs work items one at a time, in submission order. Timer and signal
// sources deliver their events on it too, serialised with the work items: an event becomes a work
// item at the back of the queue when the worker notices it, which it checks between items.
//
// The worker sleeps in epoll, with no time-out, while there is nothing to do: an idle queue never
// wakes up. It starts with the signal mask of the thread that constructs the queue.
//
// A work item that throws is a programming error: the worker catches the exception, writes one line
// "dispatch: work item threw: <what>" to standard error and goes on with the next item. No
// exception ever leaves the worker thread.
class SerialQueue {
public:
    // Starts the worker. Throws std::system_error when the descriptors or the thread cannot be had.
    explicit SerialQueue(std::string label);
    // Lets the running item finish, drops (destroys, unrun) the items still queued, and joins the
    // worker. Must not run on the queue's own worker thread. Every source watching the queue must
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

    // For the sources: runs onReadable as a work item whenever fd becomes readable, until unwatch.
    // onReadable should consume what made fd readable; if fd is still readable when it returns, it
    // runs again as a new work item at the back of the queue. One fd is watched at most once at a
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
