#include "SerialQueue.h"

#include "DispatchTestSupport.h"
#include "UniqueFd.h"

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/signalfd.h>
#include <sys/timerfd.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace zelvo::dispatch {
namespace {

using namespace test;

// Sends descriptor 2 to a temporary file for its lifetime.
class StandardErrorCapture {
public:
    StandardErrorCapture() : saved_(::dup(STDERR_FILENO)), file_(std::tmpfile()) {
        ::dup2(::fileno(file_), STDERR_FILENO);
    }
    ~StandardErrorCapture() {
        ::dup2(saved_.get(), STDERR_FILENO);
        std::fclose(file_);
    }
    StandardErrorCapture(const StandardErrorCapture&) = delete;
    StandardErrorCapture& operator=(const StandardErrorCapture&) = delete;

    std::string text() const {
        std::string result;
        char buffer[256];
        ssize_t got = 0;
        off_t offset = 0;
        while ((got = ::pread(::fileno(file_), buffer, sizeof buffer, offset)) > 0) {
            result.append(buffer, static_cast<std::size_t>(got));
            offset += got;
        }
        return result;
    }

private:
    UniqueFd saved_;
    std::FILE* file_;
};

TEST(ASerialQueue, RunsEveryItemOnceInPerThreadOrderNeverTwoAtOnce) {
    constexpr int submitters = 4;
    constexpr int perSubmitter = 2000;
    SerialQueue queue("test.order");
    OverlapDetector overlap;
    std::vector<std::pair<int, int>> ran; // touched only by items: the queue is its only guard
    std::atomic<bool> offQueue{false};

    std::vector<std::thread> threads;
    for (int t = 0; t < submitters; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < perSubmitter; ++i) {
                queue.async([&, t, i] {
                    auto inside = overlap.enter();
                    if (!queue.isCurrent()) {
                        offQueue = true;
                    }
                    ran.emplace_back(t, i);
                });
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    ASSERT_TRUE(drained(queue));

    EXPECT_FALSE(overlap.overlapped());
    EXPECT_FALSE(offQueue);
    ASSERT_EQ(ran.size(), std::size_t{submitters * perSubmitter});
    std::vector<int> next(submitters, 0);
    for (const auto& [t, i] : ran) {
        ASSERT_EQ(i, next[static_cast<std::size_t>(t)]) << "submitter " << t;
        ++next[static_cast<std::size_t>(t)];
    }
}

TEST(ASerialQueue, RunsWorkSubmittedFromItsOwnItemAfterWhatWasAlreadyQueued) {
    SerialQueue queue("test.reentrant");
    Gate firstMayRun;
    Gate lastRan;
    std::vector<char> order;
    queue.async([&] {
        firstMayRun.wait();
        order.push_back('A');
        queue.async([&] {
            order.push_back('C');
            lastRan.open();
        });
    });
    queue.async([&] { order.push_back('B'); });
    firstMayRun.open();
    ASSERT_TRUE(lastRan.wait());
    EXPECT_EQ(order, (std::vector<char>{'A', 'B', 'C'}));
}

TEST(ASerialQueue, IsCurrentOnlyOnItsOwnWorker) {
    SerialQueue queue("test.current");
    SerialQueue other("test.other");
    EXPECT_EQ(queue.label(), "test.current");
    EXPECT_FALSE(queue.isCurrent());

    std::atomic<bool> onOwn{false};
    std::atomic<bool> onOther{true};
    queue.async([&] {
        onOwn = queue.isCurrent();
        onOther = other.isCurrent();
    });
    ASSERT_TRUE(drained(queue));
    EXPECT_TRUE(onOwn);
    EXPECT_FALSE(onOther);
}

TEST(ASerialQueue, WhenDestroyedFinishesTheRunningItemAndDropsTheQueuedOnes) {
    auto queue = std::make_unique<SerialQueue>("test.destroy");
    Gate running;
    Gate mayFinish;
    std::atomic<bool> firstFinished{false};
    std::atomic<int> laterRan{0};
    auto token = std::make_shared<int>(0);

    queue->async([&] {
        running.open();
        mayFinish.wait();
        firstFinished = true;
    });
    for (int i = 0; i < 10; ++i) {
        queue->async([&laterRan, token] { ++laterRan; });
    }
    ASSERT_TRUE(running.wait());

    std::thread destroyer([&] { queue.reset(); });
    // The queued items hold the token: it is free again once the destructor has dropped them,
    // while the first item is still running.
    ASSERT_TRUE(eventually([&] { return token.use_count() == 1; }));
    EXPECT_FALSE(firstFinished);
    mayFinish.open();
    destroyer.join();

    EXPECT_TRUE(firstFinished);
    EXPECT_EQ(laterRan, 0);
}

struct ThrowCase {
    const char* name;
    std::function<void()> work;
    std::string line;
};

TEST(ASerialQueue, ReportsAThrowingItemInOneLineAndGoesOn) {
    const std::vector<ThrowCase> cases = {
        {"std::exception", [] { throw std::runtime_error("disk on fire"); },
         "dispatch: work item threw: disk on fire\n"},
        {"anything else", [] { throw 42; }, "dispatch: work item threw: unknown exception\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SerialQueue queue("test.throw");
        std::atomic<bool> nextRan{false};
        {
            StandardErrorCapture capture;
            queue.async(c.work);
            queue.async([&] { nextRan = true; });
            ASSERT_TRUE(drained(queue));
            EXPECT_EQ(capture.text(), c.line);
        }
        EXPECT_TRUE(nextRan);
    }
}

class APipe : public ::testing::Test {
protected:
    void SetUp() override {
        int fds[2];
        ASSERT_EQ(::pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
        readEnd.reset(fds[0]);
        writeEnd.reset(fds[1]);
    }
    void put(const char* bytes) {
        const auto length = static_cast<ssize_t>(std::char_traits<char>::length(bytes));
        ASSERT_EQ(::write(writeEnd.get(), bytes, static_cast<std::size_t>(length)), length);
    }

    UniqueFd readEnd;
    UniqueFd writeEnd;
};

TEST_F(APipe, WatchedOnAQueueRunsItsCallbackOnTheQueueUntilDrainedThenStopsAfterUnwatch) {
    SerialQueue queue("test.watch");
    std::string seen; // touched only on the queue until unwatch returns
    std::atomic<int> runs{0};
    std::atomic<bool> offQueue{false};
    queue.watch(readEnd.get(), [&] {
        if (!queue.isCurrent()) {
            offQueue = true;
        }
        char byte = 0;
        // One byte per run: what is left keeps the descriptor readable and runs again.
        if (::read(readEnd.get(), &byte, 1) == 1) {
            seen += byte;
        }
        ++runs;
    });

    put("abc");
    ASSERT_TRUE(eventually([&] { return runs.load() >= 3; }));
    ASSERT_TRUE(drained(queue));
    EXPECT_EQ(seen, "abc");
    EXPECT_FALSE(offQueue);

    queue.unwatch(readEnd.get());
    queue.unwatch(readEnd.get()); // idempotent
    const int runsAtUnwatch = runs;
    put("d");
    ASSERT_TRUE(drained(queue));
    EXPECT_EQ(runs, runsAtUnwatch);
}

TEST_F(APipe, CannotBeWatchedTwiceAtOnce) {
    SerialQueue queue("test.watch-twice");
    queue.watch(readEnd.get(), [] {});
    EXPECT_THROW(queue.watch(readEnd.get(), [] {}), std::system_error);
    queue.unwatch(readEnd.get());
    EXPECT_NO_THROW(queue.watch(readEnd.get(), [] {}));
    queue.unwatch(readEnd.get());
}

// A descriptor to watch and what makes it readable: fire returns once it is.
struct Readable {
    UniqueFd watched;
    std::function<void()> fire;
};

struct EventCase {
    const char* name;
    std::function<Readable()> make;
};

const std::vector<EventCase> eventCases = {
    {"a pipe",
     [] {
         int fds[2];
         EXPECT_EQ(::pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
         auto writeEnd = std::make_shared<UniqueFd>(fds[1]);
         return Readable{UniqueFd(fds[0]),
                         [writeEnd] { EXPECT_EQ(::write(writeEnd->get(), "x", 1), 1); }};
     }},
    {"a timer",
     [] {
         UniqueFd fd(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));
         const int raw = fd.get();
         return Readable{std::move(fd), [raw] {
                             itimerspec soon{};
                             soon.it_value.tv_nsec = 1;
                             EXPECT_EQ(::timerfd_settime(raw, 0, &soon, nullptr), 0);
                             pollfd readable{raw, POLLIN, 0};
                             EXPECT_EQ(::poll(&readable, 1, 20'000), 1);
                         }};
     }},
    {"a signal", // SIGTERM is blocked in every thread by main
     [] {
         sigset_t set;
         sigemptyset(&set);
         sigaddset(&set, SIGTERM);
         return Readable{UniqueFd(::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK)),
                         [] { EXPECT_EQ(::kill(::getpid(), SIGTERM), 0); }};
     }},
};

TEST(ASerialQueue, QueuesAnEventWhenItFiresAheadOfWorkSubmittedLaterWhileAnItemRuns) {
    for (const auto& c : eventCases) {
        SCOPED_TRACE(c.name);
        SerialQueue queue("test.event-order");
        Readable source = c.make();
        ASSERT_TRUE(source.watched);
        std::vector<char> order; // touched only on the queue until all three ran
        std::atomic<int> ran{0};
        Gate running;
        Gate mayFinish;
        queue.watch(source.watched.get(), [&] {
            signalfd_siginfo enough{}; // the largest of what the three descriptors hold
            (void)!::read(source.watched.get(), &enough, sizeof enough);
            order.push_back('E');
            ++ran;
        });
        queue.async([&] {
            running.open();
            mayFinish.wait();
            order.push_back('A');
            ++ran;
        });
        ASSERT_TRUE(running.wait());
        source.fire();
        queue.async([&] {
            order.push_back('B');
            ++ran;
        });
        mayFinish.open();
        ASSERT_TRUE(eventually([&] { return ran.load() == 3; }));
        queue.unwatch(source.watched.get());
        EXPECT_EQ(order, (std::vector<char>{'A', 'E', 'B'}));
    }
}

} // namespace
} // namespace zelvo::dispatch
