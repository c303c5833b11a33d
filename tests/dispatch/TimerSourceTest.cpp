#include "TimerSource.h"

#include "DispatchTestSupport.h"
#include "SerialQueue.h"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace zelvo::dispatch {
namespace {

using namespace test;
using Clock = std::chrono::steady_clock;

TEST(ATimerSource, TicksOnTheQueueSerialisedWithWorkItems) {
    SerialQueue queue("test.timer");
    OverlapDetector overlap;
    std::atomic<int> ticks{0};
    std::atomic<bool> offQueue{false};
    TimerSource timer(queue);
    timer.schedule(0.01, 0.01, 0);
    timer.setEventHandler([&] {
        auto inside = overlap.enter();
        if (!queue.isCurrent()) {
            offQueue = true;
        }
        std::this_thread::sleep_for(1ms);
        ++ticks;
    });
    timer.resume();

    std::atomic<bool> stop{false};
    std::thread submitter([&] {
        while (!stop) {
            queue.async([&] {
                auto inside = overlap.enter();
                std::this_thread::sleep_for(1ms);
            });
            std::this_thread::sleep_for(2ms);
        }
    });
    EXPECT_TRUE(eventually([&] { return ticks.load() >= 10; }));
    stop = true;
    submitter.join();
    ASSERT_TRUE(drained(queue));

    EXPECT_FALSE(overlap.overlapped());
    EXPECT_FALSE(offQueue);
}

TEST(ATimerSource, MergesTicksThatFellDueWhileTheQueueWasBusyIntoOneRun) {
    SerialQueue queue("test.timer-merge");
    std::mutex mutex;
    std::vector<Clock::time_point> runs;
    TimerSource timer(queue);
    timer.schedule(0.1, 0.1, 0);
    timer.setEventHandler([&] {
        std::lock_guard lock(mutex);
        runs.push_back(Clock::now());
    });
    timer.resume();
    auto runCount = [&] {
        std::lock_guard lock(mutex);
        return runs.size();
    };
    ASSERT_TRUE(eventually([&] { return runCount() >= 1; }));

    Clock::time_point blockStart;
    Clock::time_point blockEnd;
    Gate blocked;
    queue.async([&] {
        blockStart = Clock::now();
        std::this_thread::sleep_for(1500ms); // about 15 ticks fall due meanwhile
        blockEnd = Clock::now();
        blocked.open();
    });
    ASSERT_TRUE(blocked.wait());
    ASSERT_TRUE(eventually([&] {
        std::lock_guard lock(mutex);
        return !runs.empty() && runs.back() > blockEnd + 300ms;
    }));

    std::lock_guard lock(mutex);
    int inWindow = 0; // from the start of the block to shortly after its end
    int after = 0;
    for (const auto& at : runs) {
        if (at >= blockStart && at < blockEnd + 150ms) {
            ++inWindow;
        }
        if (at >= blockEnd) {
            ++after;
        }
    }
    // One merged run at the end of the block, plus at most the one or two ticks that are really
    // due in the 150 ms after it; one run per tick would give about fifteen.
    EXPECT_LE(inWindow, 4);
    EXPECT_GE(after, 1);
}

TEST(ATimerSource, DestroyedOffTheQueueWaitsForARunningHandlerAndNoneRunsAfter) {
    SerialQueue queue("test.timer-destroy-running");
    Gate handlerEntered;
    Gate handlerMayFinish;
    std::atomic<bool> handlerFinished{false};
    std::atomic<int> runs{0};
    auto timer = std::make_unique<TimerSource>(queue);
    timer->schedule(0.01, 0.01, 0);
    timer->setEventHandler([&] {
        if (++runs == 1) {
            handlerEntered.open();
            handlerMayFinish.wait();
            std::this_thread::sleep_for(20ms);
            handlerFinished = true;
        }
    });
    timer->resume();
    ASSERT_TRUE(handlerEntered.wait());

    std::atomic<bool> finishedWhenDestroyed{false};
    std::thread destroyer([&] {
        timer.reset();
        finishedWhenDestroyed = handlerFinished.load();
    });
    std::this_thread::sleep_for(50ms); // lets the destroyer reach the wait, if it waits at all
    handlerMayFinish.open();
    destroyer.join();

    EXPECT_TRUE(finishedWhenDestroyed);
    const int runsAtDestruction = runs;
    std::this_thread::sleep_for(50ms); // five more ticks would have been due
    ASSERT_TRUE(drained(queue));
    EXPECT_EQ(runs, runsAtDestruction);
}

TEST(ATimerSource, DestroyedWhileATickIsQueuedDropsTheTick) {
    SerialQueue queue("test.timer-destroy-queued");
    std::atomic<int> runs{0};
    auto timer = std::make_unique<TimerSource>(queue);
    timer->setEventHandler([&] { ++runs; });
    timer->resume();

    // The tick falls due during the first item, after the second was submitted: it is queued
    // behind the second item, which holds the queue until the timer is gone.
    Gate secondSubmitted;
    Gate secondRunning;
    Gate timerGone;
    queue.async([&] {
        secondSubmitted.wait();
        timer->schedule(0.01, 0, 0);
        std::this_thread::sleep_for(100ms);
    });
    queue.async([&] {
        secondRunning.open();
        timerGone.wait();
    });
    secondSubmitted.open();
    ASSERT_TRUE(secondRunning.wait());
    timer.reset();
    timerGone.open();
    ASSERT_TRUE(drained(queue));
    EXPECT_EQ(runs, 0);
}

TEST(ATimerSource, DestroyedFromItsOwnHandlerNeverRunsAgain) {
    SerialQueue queue("test.timer-destroy-self");
    std::atomic<int> runs{0};
    auto timer = std::make_unique<TimerSource>(queue);
    timer->schedule(0.01, 0.001, 0);
    timer->setEventHandler([&] {
        ++runs;
        timer.reset();
    });
    timer->resume();
    ASSERT_TRUE(eventually([&] { return runs.load() == 1; }));
    std::this_thread::sleep_for(20ms); // many more ticks would have been due
    ASSERT_TRUE(drained(queue));
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(timer, nullptr);
}

TEST(ATimerSource, WithNoIntervalTicksOnceAndWithNoDelayTicksAtOnce) {
    SerialQueue queue("test.timer-once");
    std::atomic<int> runs{0};
    TimerSource timer(queue);
    timer.schedule(0, 0, 0);
    timer.setEventHandler([&] { ++runs; });
    timer.resume();
    ASSERT_TRUE(eventually([&] { return runs.load() == 1; }));
    std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(drained(queue));
    EXPECT_EQ(runs, 1);
}

TEST(ATimerSource, RefusesAScheduleWithoutAFiniteDelayOrAValidInterval) {
    SerialQueue queue("test.timer-invalid");
    TimerSource timer(queue);
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    constexpr double inf = std::numeric_limits<double>::infinity();
    const std::vector<std::pair<double, double>> invalid = {
        {nan, 1}, {inf, 1}, {1, -1}, {1, nan}, {1, inf}};
    for (const auto& [first, interval] : invalid) {
        EXPECT_THROW(timer.schedule(first, interval, 0), std::invalid_argument)
            << first << ", " << interval;
    }
}

} // namespace
} // namespace zelvo::dispatch
