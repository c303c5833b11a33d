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
    void watchDescriptors();
    void harvestLocked();
    void rearm(std::uint64_t id, int fd);

    std::string label;
    // The watched descriptors. Its ready list is taken only under the mutex (harvestLocked), so
    // an event is queued by whichever thread looks first: the watcher thread, which sleeps on
    // `outer` until it has something, or a submitter or the worker, which look before they queue.
    UniqueFd events;
    // The watcher thread's sleep: `events` (readable while it holds a ready descriptor) and `wake`.
    UniqueFd outer;
    UniqueFd wake;

    std::mutex mutex;
    std::condition_variable workReady;
    std::condition_variable callbackDone;
    std::deque<Item> items;
    std::unordered_map<std::uint64_t, Watch> watches;
    std::unordered_map<int, std::uint64_t> watchIdByFd;
    std::uint64_t nextWatchId = 1;
    std::uint64_t runningWatchId = 0;
    bool stopping = false;

    std::thread worker;
    std::thread watcher;
};

void SerialQueue::Impl::rearm(std::uint64_t id, int fd) {
    epoll_event event{};
    event.events = EPOLLIN | EPOLLONESHOT;
    event.data.u64 = id;
    if (::epoll_ctl(events.get(), EPOLL_CTL_MOD, fd, &event) != 0) {
        failOnWorker("re-arming a watched descriptor failed", errno);
    }
}

void SerialQueue::Impl::harvestLocked() {
    if (watches.empty() || stopping) {
        return;
    }
    std::array<epoll_event, 16> ready{};
    int count = 0;
    do {
        count = ::epoll_wait(events.get(), ready.data(), static_cast<int>(ready.size()), 0);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            failOnWorker("epoll_wait failed", errno);
        }
        for (int i = 0; i < count; ++i) {
            const std::uint64_t id = ready[static_cast<std::size_t>(i)].data.u64;
            // One-shot: the descriptor stays out of the ready list until its callback has run.
            if (watches.contains(id)) {
                items.push_back(Item{{}, id});
            }
        }
    } while (count == static_cast<int>(ready.size()) || count < 0);
}

void SerialQueue::Impl::watchDescriptors() {
    std::array<epoll_event, 2> woken{};
    for (;;) {
        const int count =
            ::epoll_wait(outer.get(), woken.data(), static_cast<int>(woken.size()), -1);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            failOnWorker("epoll_wait failed", errno);
        }
        bool queued = false;
        {
            std::lock_guard lock(mutex);
            if (stopping) {
                return;
            }
            const std::size_t before = items.size();
            harvestLocked();
            queued = items.size() != before;
        }
        if (queued) {
            workReady.notify_one();
        }
    }
}

void SerialQueue::Impl::run() {
    currentQueue = this;
    for (;;) {
        Item item;
        std::shared_ptr<const std::function<void()>> callback;
        {
            std::unique_lock lock(mutex);
            harvestLocked();
            workReady.wait(lock, [this] { return stopping || !items.empty(); });
            if (stopping) {
                return;
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
    const auto makeEpoll = [](UniqueFd& fd) {
        fd.reset(::epoll_create1(EPOLL_CLOEXEC));
        if (!fd) {
            throw std::system_error(errno, std::generic_category(), "epoll_create1");
        }
    };
    makeEpoll(impl_->events);
    makeEpoll(impl_->outer);
    impl_->wake.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!impl_->wake) {
        throw std::system_error(errno, std::generic_category(), "eventfd");
    }
    for (const int fd : {impl_->events.get(), impl_->wake.get()}) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        if (::epoll_ctl(impl_->outer.get(), EPOLL_CTL_ADD, fd, &event) != 0) {
            throw std::system_error(errno, std::generic_category(), "epoll_ctl");
        }
    }
    impl_->worker = std::thread([impl = impl_.get()] { impl->run(); });
    try {
        impl_->watcher = std::thread([impl = impl_.get()] { impl->watchDescriptors(); });
    } catch (...) {
        {
            std::lock_guard lock(impl_->mutex);
            impl_->stopping = true;
        }
        impl_->workReady.notify_all();
        impl_->worker.join();
        throw;
    }
}

SerialQueue::~SerialQueue() {
    std::deque<Impl::Item> dropped;
    {
        std::lock_guard lock(impl_->mutex);
        impl_->stopping = true;
        dropped.swap(impl_->items);
    }
    impl_->workReady.notify_all();
    // The eventfd stays readable, so the watcher sees it however often it looks.
    const std::uint64_t one = 1;
    (void)!::write(impl_->wake.get(), &one, sizeof one);
    // Destroyed outside the lock: a dropped item's captures may call back into the queue.
    dropped.clear();
    impl_->watcher.join();
    impl_->worker.join();
}

void SerialQueue::async(std::function<void()> work) {
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->stopping) {
            return; // work is destroyed after the lock is released
        }
        // An event that fired before this call goes ahead of it, even when the watcher thread
        // has not been scheduled yet to queue it.
        impl_->harvestLocked();
        impl_->items.push_back(Impl::Item{std::move(work), 0});
    }
    // Notified after the lock is released, so that the woken worker does not find it still held.
    impl_->workReady.notify_one();
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
    if (::epoll_ctl(impl_->events.get(), EPOLL_CTL_ADD, fd, &event) != 0) {
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
    ::epoll_ctl(impl_->events.get(), EPOLL_CTL_DEL, fd, nullptr);
    if (!isCurrent()) {
        impl_->callbackDone.wait(lock, [&] { return impl_->runningWatchId != id; });
    }
}

} // namespace zelvo::dispatch
