#include "Listener.h"
#include "PowerHelperConstants.h"
#include "PrivateBus.h"
#include "TestPeer.h"
#include "TransportTestSupport.h"

#include <atomic>
#include <fstream>
#include <gtest/gtest.h>
#include <poll.h>
#include <sdbus-c++/sdbus-c++.h>
#include <thread>

namespace zelvo::transport::test {
namespace {

namespace constants = PowerHelperConstants;

// A listener on the private bus of this process whose objects keep every hold's reply for the test.
struct KeptListener {
    KeptListener() {
        listener.setConnectionCodeSigningRequirement(std::string(constants::clientRequirement));
        listener.setDelegate(delegate);
        listener.resume();
    }

    LaterThread later;
    std::shared_ptr<ScriptedDelegate> delegate = std::make_shared<ScriptedDelegate>(
        ScriptedDelegate::Script{.object = {.answering = Answering::kept}}, later);
    Listener listener{std::string(constants::machServiceName)};
};

// One connection pipelines more hold calls than the backlog allows while the object keeps every
// reply: the calls beyond the backlog are refused at once without reaching the object, and once
// the kept replies are made the listener serves again.
TEST(AListenerBacklog, RefusesCallsBeyondItsBacklogWithoutTouchingTheObject) {
    constexpr std::size_t backlog = Listener::maximumPendingReplies;
    constexpr std::size_t extra = 40;
    // The bus's own bound on one connection's calls in flight would otherwise refuse them first.
    testbus::PrivateBus bus(
        {.extraConfiguration = "<limit name=\"max_replies_per_connection\">4096</limit>"});
    KeptListener served;
    auto& delegate = served.delegate;
    auto& listener = served.listener;

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

// A member's connections share one allowance, beyond which only that member is refused: root and
// other callers are still handed to the object.
TEST(AListenerBacklog, RefusesOneMembersFloodAloneAcrossItsConnections) {
    constexpr std::size_t allowance = Listener::maximumPendingRepliesPerCaller;
    const std::string member = "zelvo-power-test";
    testbus::ensureClientGroupMember(member);
    testbus::PrivateBus bus;
    KeptListener served;
    auto& delegate = served.delegate;
    auto& listener = served.listener;

    // The member stays on the bus, its requests kept, until root has been served.
    const auto rootServed = bus.directory() / "root-served";
    testbus::CommandResult memberResult;
    std::thread memberThread([&] {
        memberResult = testbus::runCommand(
            testbus::asUser(member, peerCommand({"pipeline", std::to_string(allowance + 8), "8",
                                                 rootServed.string()})),
            120);
    });
    EXPECT_TRUE(eventually([&] { return delegate->calls().size() == allowance; }, 60s));

    // Root is not held to a caller's allowance, nor kept out by the member's flood.
    auto connection = sdbus::createSystemBusConnection();
    auto proxy = sdbus::createProxy(*connection, std::string(constants::machServiceName),
                                    std::string(constants::objectPath));
    for (std::size_t i = 0; i < allowance + 8; ++i) {
        proxy->callMethodAsync("HoldLidSleepDisabled")
            .onInterface(std::string(constants::interfaceName))
            .withTimeout(60s)
            .withArguments(std::int64_t{5})
            .uponReplyInvoke([](const sdbus::Error*, bool, std::vector<std::string>) {});
    }
    EXPECT_TRUE(eventually(
        [&] {
            while (connection->processPendingRequest()) {
            }
            return delegate->calls().size() == 2 * allowance + 8;
        },
        60s));
    EXPECT_EQ(listener.pendingReplyCount(), 2 * allowance + 8);
    std::ofstream{rootServed};
    memberThread.join();

    // Nine refusals: the member's flood beyond its allowance and its second connection's call.
    EXPECT_EQ(memberResult.exitStatus, 0) << memberResult.standardError;
    EXPECT_EQ(memberResult.standardOutput,
              "answered 0 refused 9: org.freedesktop.DBus.Error.LimitsExceeded ZelvoPowerHelper "
              "is busy: " +
                  std::to_string(allowance) + " requests of this caller are waiting\n");
}

} // namespace
} // namespace zelvo::transport::test
