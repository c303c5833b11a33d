#include "Listener.h"
#include "PowerHelperConstants.h"
#include "PrivateBus.h"
#include "TransportTestSupport.h"

#include <atomic>
#include <gtest/gtest.h>
#include <poll.h>
#include <sdbus-c++/sdbus-c++.h>

namespace zelvo::transport::test {
namespace {

namespace constants = PowerHelperConstants;

// One connection pipelines more hold calls than the backlog allows while the object keeps every
// reply: the calls beyond the backlog are refused at once without reaching the object, and once
// the kept replies are made the listener serves again.
TEST(AListenerBacklog, RefusesCallsBeyondItsBacklogWithoutTouchingTheObject) {
    constexpr std::size_t backlog = Listener::maximumPendingReplies;
    constexpr std::size_t extra = 40;
    // The bus's own bound on one connection's calls in flight would otherwise refuse them first.
    testbus::PrivateBus bus(
        {.extraConfiguration = "<limit name=\"max_replies_per_connection\">4096</limit>"});
    LaterThread later;
    auto delegate = std::make_shared<ScriptedDelegate>(
        ScriptedDelegate::Script{.object = {.answering = Answering::kept}}, later);
    Listener listener{std::string(constants::machServiceName)};
    listener.setConnectionCodeSigningRequirement(std::string(constants::clientRequirement));
    listener.setDelegate(delegate);
    listener.resume();

    auto connection = sdbus::createSystemBusConnection();
    auto proxy = sdbus::createProxy(*connection, std::string(constants::machServiceName),
                                    std::string(constants::objectPath));
    std::atomic<std::size_t> succeeded{0};
    std::atomic<std::size_t> busy{0};
    std::vector<std::string> otherOutcomes;
    for (std::size_t i = 0; i < backlog + extra; ++i) {
        proxy->callMethodAsync("HoldLidSleepDisabled")
            .onInterface(std::string(constants::interfaceName))
            .withTimeout(60s)
            .withArguments(std::int64_t{5})
            .uponReplyInvoke([&](const sdbus::Error* error, bool success,
                                 std::vector<std::string>) {
                if (error == nullptr && success) {
                    ++succeeded;
                } else if (error != nullptr &&
                           error->getName() == "org.freedesktop.DBus.Error.LimitsExceeded" &&
                           error->getMessage() ==
                               "ZelvoPowerHelper is busy: " + std::to_string(backlog) +
                                   " requests are waiting") {
                    ++busy;
                } else {
                    otherOutcomes.push_back(error ? error->getName() + ": " + error->getMessage()
                                                  : "a failure reply");
                }
            });
    }
    const auto pump = [&](const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        while (!done() && std::chrono::steady_clock::now() < deadline) {
            while (connection->processPendingRequest()) {
            }
            const auto data = connection->getEventLoopPollData();
            pollfd fd{data.fd, data.events, 0};
            ::poll(&fd, 1, 20);
        }
        return done();
    };

    ASSERT_TRUE(pump([&] { return busy + otherOutcomes.size() == extra; }));
    EXPECT_TRUE(otherOutcomes.empty()) << otherOutcomes.front();
    EXPECT_EQ(delegate->calls().size(), backlog);
    EXPECT_EQ(listener.pendingReplyCount(), backlog);
    EXPECT_EQ(succeeded, 0u);

    const auto peer = connection->getUniqueName();
    delegate->objectFor(peer)->answerKept();
    ASSERT_TRUE(pump([&] { return succeeded == backlog; }));
    EXPECT_EQ(busy, extra);
    EXPECT_TRUE(eventually([&] { return listener.pendingReplyCount() == 0; }));

    // Served again: one more call reaches the object.
    const auto before = succeeded.load();
    proxy->callMethodAsync("HoldLidSleepDisabled")
        .onInterface(std::string(constants::interfaceName))
        .withTimeout(60s)
        .withArguments(std::int64_t{5})
        .uponReplyInvoke([&](const sdbus::Error* error, bool success, std::vector<std::string>) {
            if (error == nullptr && success) {
                ++succeeded;
            }
        });
    ASSERT_TRUE(pump([&] { return delegate->calls().size() == backlog + 1; }));
    delegate->objectFor(peer)->answerKept();
    EXPECT_TRUE(pump([&] { return succeeded == before + 1; }));
}

} // namespace
} // namespace zelvo::transport::test
