#pragma once

#include "SerialQueue.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

namespace zelvo::dispatch::test {

using namespace std::chrono_literals;

// Generous: the suite also runs under ThreadSanitizer on a loaded machine.
inline constexpr auto patience = 20s;

// Polls until pred holds or the bound passes; returns whether it held.
template <class Predicate>
bool eventually(Predicate pred, std::chrono::milliseconds bound = patience) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// True once everything submitted to the queue before the call has run.
inline bool drained(SerialQueue& queue) {
    auto done = std::make_shared<std::promise<void>>();
    auto future = done->get_future();
    queue.async([done] { done->set_value(); });
    return future.wait_for(patience) == std::future_status::ready;
}

// A door that work can wait at until the test opens it.
class Gate {
public:
    // Notifies under the lock: a waiter may destroy the gate as soon as it sees it open.
    void open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    // Returns false when the bound passed with the gate still shut.
    bool wait() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, patience, [this] { return open_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
};

// Records whether two pieces of work were ever inside at the same time.
class OverlapDetector {
public:
    class Scope {
    public:
        explicit Scope(OverlapDetector& detector) : detector_(detector) {
            if (detector_.inside_.fetch_add(1) != 0) {
                detector_.overlapped_ = true;
            }
        }
        ~Scope() { detector_.inside_.fetch_sub(1); }
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        OverlapDetector& detector_;
    };

    [[nodiscard]] Scope enter() { return Scope(*this); }
    [[nodiscard]] bool overlapped() const { return overlapped_; }

private:
    std::atomic<int> inside_{0};
    std::atomic<bool> overlapped_{false};
};

// The hidden mode of the test binary in which it is its own helper child (see ProcessTest.cpp).
inline constexpr const char* exitHelperSwitch = "--exit-from-queue-helper";
[[noreturn]] void runExitHelper(int status);

} // namespace zelvo::dispatch::test
