#pragma once

#include <functional>
#include <memory>
#include <string>

namespace zelvo::dispatch {

// One worker thread that runs work items one at a time, in submission order. Timer and signal
// sources deliver their events on it too, serialised with the work items.
class SerialQueue {
public:
    explicit SerialQueue(std::string label);
    // Lets the running item finish, drops the items still queued, and joins the worker.
    ~SerialQueue();

    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    // Submits work from any thread; it runs after everything submitted before it.
    void async(std::function<void()> work);

    [[nodiscard]] const std::string& label() const noexcept;
    // True on the queue's worker thread.
    [[nodiscard]] bool isCurrent() const noexcept;

    // For the sources: runs onReadable as a work item whenever fd becomes readable, until unwatch.
    // onReadable must consume what made fd readable. unwatch from any thread; after it returns the
    // callback is not running and never runs again (unless called from within the callback).
    void watch(int fd, std::function<void()> onReadable);
    void unwatch(int fd);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace zelvo::dispatch
