#include "SignalSource.h"

#include "DispatchTestSupport.h"
#include "Process.h"
#include "SerialQueue.h"

#include <csignal>
#include <ctime>
#include <gtest/gtest.h>
#include <unistd.h>

namespace zelvo::dispatch {
namespace {

using namespace test;

bool isPending(int signalNumber) {
    sigset_t pending;
    sigpending(&pending);
    return sigismember(&pending, signalNumber) == 1;
}

void sendToProcess(int signalNumber) {
    ASSERT_EQ(::kill(::getpid(), signalNumber), 0);
}

void restoreDefault(int signalNumber) {
    // Takes a leftover pending instance first; SIG_DFL with the signal blocked ends nothing.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signalNumber);
    const timespec none{0, 0};
    while (sigtimedwait(&set, nullptr, &none) == signalNumber) {
    }
    std::signal(signalNumber, SIG_DFL);
}

// main blocks SIGTERM and SIGINT before any thread exists, as the daemon does.
class ASignalSource : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override { restoreDefault(GetParam()); }
    void TearDown() override { restoreDefault(GetParam()); }
};

TEST_P(ASignalSource, ReadsABlockedIgnoredSignalOnTheQueueOncePerDelivery) {
    const int signalNumber = GetParam();
    ignoreSignal(signalNumber);
    sendToProcess(signalNumber);
    // Linux does not discard a blocked signal whose disposition is SIG_IGN: it waits.
    EXPECT_TRUE(isPending(signalNumber));

    SerialQueue queue("test.signal");
    std::atomic<int> runs{0};
    std::atomic<bool> offQueue{false};
    SignalSource source(signalNumber, queue);
    EXPECT_EQ(source.signalNumber(), signalNumber);
    source.setEventHandler([&] {
        if (!queue.isCurrent()) {
            offQueue = true;
        }
        ++runs;
    });
    source.resume();

    ASSERT_TRUE(eventually([&] { return runs.load() == 1; }));
    EXPECT_FALSE(isPending(signalNumber));
    sendToProcess(signalNumber);
    ASSERT_TRUE(eventually([&] { return runs.load() == 2; }));
    ASSERT_TRUE(drained(queue));
    EXPECT_EQ(runs, 2);
    EXPECT_FALSE(offQueue);
}

TEST_P(ASignalSource, StillGetsASignalThatWasPendingWhenItWasIgnored) {
    const int signalNumber = GetParam();
    // The hazard: setting SIG_IGN by itself throws a pending signal away.
    sendToProcess(signalNumber);
    ASSERT_TRUE(isPending(signalNumber));
    std::signal(signalNumber, SIG_IGN);
    ASSERT_FALSE(isPending(signalNumber));
    std::signal(signalNumber, SIG_DFL);

    sendToProcess(signalNumber);
    ASSERT_TRUE(isPending(signalNumber));
    ignoreSignal(signalNumber);
    EXPECT_TRUE(isPending(signalNumber));

    SerialQueue queue("test.signal-pending");
    std::atomic<int> runs{0};
    SignalSource source(signalNumber, queue);
    source.setEventHandler([&] { ++runs; });
    source.resume();
    ASSERT_TRUE(eventually([&] { return runs.load() == 1; }));
    ASSERT_TRUE(drained(queue));
    EXPECT_EQ(runs, 1);
}

INSTANTIATE_TEST_SUITE_P(TerminationSignals, ASignalSource, ::testing::Values(SIGTERM, SIGINT),
                         [](const auto& info) {
                             return info.param == SIGTERM ? "SIGTERM" : "SIGINT";
                         });

} // namespace
} // namespace zelvo::dispatch
