#include "SerialQueue.h"

#include "UniqueFd.h"
#include "WriteAll.h"

#include <array>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <exception>
#include <mutex>
#include <string_view>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <unordered_map>

namespace zelvo::dispatch {

namespace {

// epoll data of the wake-up eventfd; watches get ids from 1 up.
constexpr std::uint64_t wakeId = 0;

// The queue whose worker runs on this thread, if any.
thread_local const void* currentQueue = nullptr;

void writeErrorLine(std::string_view text) {
    std::string line(text);
    line += '\n';
    (void)writeAll(STDERR_FILENO, line);
}

[[noreturn]] void failOnWorker(std::string_view what, int error) {
    // Only a corrupted queue gets here (bad descriptor, bad pointer); going on would spin or hang.
    writeErrorLine(std::string("dispatch: ") + std::string(what) + ": " +
                   std::generic_category().message(error));
    std::abort();
}

void runCatching(const std::function<void()>& work) {
    try {
        work();
    } catch (const std::exception& error) {
        writeErrorLine(std::string("dispatch: work item threw: ") + error.what());
    } catch (...) {
        writeErrorLine("dispatch: work item threw: unknown exception");
    }
}

} // namespace

struct SerialQueue::Impl {
    struct Item {
        std::function<void()> work;
        std::uint64_t watchId = 0; // non-zero: the readable event of that watch
    };
    struct Watch {
        int fd;
        std::shared_ptr<const std::function<void()>> callback;
    };

    explicit Impl(std::string name) : label(std::move(name)) {}

    void run();
    void rearm(std::uint64_t id, int fd);

    std::string label;
    UniqueFd epoll;
    UniqueFd wake;

    std::mutex mutex;
    std::condition_variable callbackDone;
    std::deque<Item> items;
    std::unordered_map<std::uint64_t, Watch> watches;
    std::unordered_map<int, std::uint64_t> watchIdByFd;
    std::uint64_t nextWatchId = 1;
    std::uint64_t runningWatchId = 0;
    bool wakePending = false;
    bool stopping = false;

    std::thread worker;
};

void SerialQueue::Impl::rearm(std::uint64_t id, int fd) {
    epoll_event event{};
    event.events = EPOLLIN | EPOLLONESHOT;
    event.data.u64 = id;
    if (::epoll_ctl(epoll.get(), EPOLL_CTL_MOD, fd, &event) != 0) {
        failOnWorker("re-arming a watched descriptor failed", errno);
    }
}

void SerialQueue::Impl::run() {
    currentQueue = this;
    std::array<epoll_event, 16> events{};
    for (;;) {
        bool idle = false;
        {
            std::lock_guard lock(mutex);
            if (stopping) {
                return;
            }
            idle = items.empty();
        }
        // Between items the descriptors are only peeked at (timeout 0), so that an event that
        // came while an item ran is queued behind what is already waiting.
        const int count = ::epoll_wait(epoll.get(), events.data(), static_cast<int>(events.size()),
                                       idle ? -1 : 0);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            failOnWorker("epoll_wait failed", errno);
        }

        Item item;
        std::shared_ptr<const std::function<void()>> callback;
        {
            std::lock_guard lock(mutex);
            for (int i = 0; i < count; ++i) {
                const std::uint64_t id = events[static_cast<std::size_t>(i)].data.u64;
                if (id == wakeId) {
                    std::uint64_t ignored = 0;
                    (void)!::read(wake.get(), &ignored, sizeof ignored);
                    wakePending = false;
                } else if (watches.contains(id)) {
                    items.push_back(Item{{}, id});
                }
            }
            if (stopping || items.empty()) {
                continue;
            }
            item = std::move(items.front());
            items.pop_front();
            if (item.watchId != 0) {
                const auto found = watches.find(item.watchId);
                if (found == watches.end()) {
                    continue; // unwatched after the event was queued
                }
                callback = found->second.callback;
                runningWatchId = item.watchId;
            }
        }

        if (item.watchId == 0) {
            runCatching(item.work);
            continue;
        }
        runCatching(*callback);
        {
            std::lock_guard lock(mutex);
            runningWatchId = 0;
            const auto found = watches.find(item.watchId);
            if (found != watches.end()) {
                rearm(item.watchId, found->second.fd);
            }
        }
        callbackDone.notify_all();
    }
}

SerialQueue::SerialQueue(std::string label) : impl_(std::make_unique<Impl>(std::move(label))) {
    impl_->epoll.reset(::epoll_create1(EPOLL_CLOEXEC));
    if (!impl_->epoll) {
        throw std::system_error(errno, std::generic_category(), "epoll_create1");
    }
    impl_->wake.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!impl_->wake) {
        throw std::system_error(errno, std::generic_category(), "eventfd");
    }
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = wakeId;
    if (::epoll_ctl(impl_->epoll.get(), EPOLL_CTL_ADD, impl_->wake.get(), &event) != 0) {
        throw std::system_error(errno, std::generic_category(), "epoll_ctl");
    }
    impl_->worker = std::thread([impl = impl_.get()] { impl->run(); });
}

SerialQueue::~SerialQueue() {
    std::deque<Impl::Item> dropped;
    {
        std::lock_guard lock(impl_->mutex);
        impl_->stopping = true;
        dropped.swap(impl_->items);
        const std::uint64_t one = 1;
        (void)!::write(impl_->wake.get(), &one, sizeof one);
    }
    // Destroyed outside the lock: a dropped item's captures may call back into the queue.
    dropped.clear();
    impl_->worker.join();
}

void SerialQueue::async(std::function<void()> work) {
    bool wake = false;
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->stopping) {
            return; // work is destroyed after the lock is released
        }
        impl_->items.push_back(Impl::Item{std::move(work), 0});
        wake = !impl_->wakePending;
        impl_->wakePending = true;
    }
    // Written after the lock is released, so that the woken worker does not find it still held
    // and sleep again on it. Nothing is lost meanwhile: the worker clears wakePending only when it
    // reads this very write, and until then it runs every item it finds before it sleeps.
    if (wake) {
        const std::uint64_t one = 1;
        (void)!::write(impl_->wake.get(), &one, sizeof one);
    }
}

const std::string& SerialQueue::label() const noexcept {
    return impl_->label;
}

bool SerialQueue::isCurrent() const noexcept {
    return currentQueue == impl_.get();
}

void SerialQueue::watch(int fd, std::function<void()> onReadable) {
    auto callback = std::make_shared<const std::function<void()>>(std::move(onReadable));
    std::lock_guard lock(impl_->mutex);
    if (impl_->watchIdByFd.contains(fd)) {
        throw std::system_error(EEXIST, std::generic_category(),
                                "watch: descriptor already watched");
    }
    const std::uint64_t id = impl_->nextWatchId++;
    // One-shot: a readable descriptor is queued once and re-armed only after its callback ran, so
    // a level-triggered descriptor is not queued again and again while its event waits.
    epoll_event event{};
    event.events = EPOLLIN | EPOLLONESHOT;
    event.data.u64 = id;
    if (::epoll_ctl(impl_->epoll.get(), EPOLL_CTL_ADD, fd, &event) != 0) {
        throw std::system_error(errno, std::generic_category(), "watch: epoll_ctl");
    }
    impl_->watches.emplace(id, Impl::Watch{fd, std::move(callback)});
    impl_->watchIdByFd.emplace(fd, id);
}

void SerialQueue::unwatch(int fd) {
    std::unique_lock lock(impl_->mutex);
    const auto found = impl_->watchIdByFd.find(fd);
    if (found == impl_->watchIdByFd.end()) {
        return;
    }
    const std::uint64_t id = found->second;
    impl_->watchIdByFd.erase(found);
    impl_->watches.erase(id);
    ::epoll_ctl(impl_->epoll.get(), EPOLL_CTL_DEL, fd, nullptr);
    if (!isCurrent()) {
        impl_->callbackDone.wait(lock, [&] { return impl_->runningWatchId != id; });
    }
}

} // namespace zelvo::dispatch
