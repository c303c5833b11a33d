#include "CallerPolicy.h"
#include "Listener.h"
#include "PowerHelperConstants.h"
#include "PrivateBus.h"
#include "TestPeer.h"
#include "TransportTestSupport.h"

#include <gtest/gtest.h>
#include <pwd.h>

namespace zelvo::transport::test {
namespace {

namespace constants = PowerHelperConstants;
using testbus::PrivateBus;
using testbus::PrivateBusOptions;

const std::string serviceName(constants::machServiceName);
// A system user the tests make and put in the client group.
const std::string memberName = "zelvo-power-test";

uid_t uidOf(const std::string& name) {
    const passwd* entry = ::getpwnam(name.c_str());
    return entry == nullptr ? static_cast<uid_t>(-1) : entry->pw_uid;
}

// Runs the test binary as a bus peer as that user ("root" runs it unchanged) and returns its line.
std::string peerAs(const std::string& user, std::vector<std::string> arguments) {
    auto command = peerCommand(std::move(arguments));
    if (user != "root") {
        command = testbus::asUser(user, std::move(command));
    }
    const auto result = testbus::runCommand(command);
    EXPECT_EQ(result.exitStatus, 0) << result.standardError;
    return result.standardOutput;
}

TEST(ACallerCheck, AllowsRootAndTheMembersOfTheClientGroupOnly) {
    const uid_t member = testbus::ensureClientGroupMember(memberName);
    EXPECT_TRUE(userMayCall(0));
    EXPECT_TRUE(userMayCall(member));
    EXPECT_FALSE(userMayCall(uidOf("nobody")));
    EXPECT_FALSE(userMayCall(uidOf("daemon")));
    EXPECT_FALSE(userMayCall(3'999'999'999u)); // no such user
}

class ACallerOutsideTheGroup : public testing::Test {
protected:
    void SetUp() override { testbus::ensureClientGroupMember(memberName); }

    void start(bool listenerWide, bool perConnection, PrivateBusOptions options) {
        listener.reset();
        bus.reset();
        bus = std::make_unique<PrivateBus>(std::move(options));
        delegate = std::make_shared<ScriptedDelegate>(
            ScriptedDelegate::Script{.connectionRequirement = perConnection}, later);
        listener = std::make_unique<Listener>(serviceName);
        if (listenerWide) {
            listener->setConnectionCodeSigningRequirement(
                std::string(constants::clientRequirement));
        }
        listener->setDelegate(delegate);
        listener->resume();
    }

    std::unique_ptr<PrivateBus> bus;
    LaterThread later;
    std::shared_ptr<ScriptedDelegate> delegate;
    std::unique_ptr<Listener> listener;
};

// The bus lets everyone through here, so the refusals are the listener's own.
TEST_F(ACallerOutsideTheGroup, IsRefusedByTheListenerAtEitherLevelBeforeAnyWork) {
    struct Case {
        const char* name;
        bool listenerWide;
        bool perConnection;
        std::size_t offersToNobody;
    };
    const std::vector<Case> cases = {
        {"listener-wide", true, false, 0},
        {"per connection", false, true, 1},
        {"both", true, true, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        start(c.listenerWide, c.perConnection,
              {.extraConfiguration = PrivateBus::allowEveryoneToCall(serviceName)});

        for (const char* member : {"HoldLidSleepDisabled", "Release", "Status"}) {
            std::vector<std::string> call = {"call", member};
            if (std::string_view(member) == "HoldLidSleepDisabled") {
                call.push_back("60");
            }
            EXPECT_EQ(peerAs("nobody", call), "error org.freedesktop.DBus.Error.AccessDenied\n");
        }
        EXPECT_EQ(delegate->offers().size(), 3 * c.offersToNobody);
        EXPECT_TRUE(delegate->calls().empty());

        EXPECT_EQ(peerAs(memberName, {"call", "HoldLidSleepDisabled", "60"}), "reply true\n");
        EXPECT_EQ(peerAs("root", {"call", "Release"}), "reply true\n");
        EXPECT_EQ(delegate->calls(), (std::vector<std::string>{"hold 60", "release"}));
    }
}

// Without the listener's own checks, the shipped policy alone decides who reaches the helper.
TEST_F(ACallerOutsideTheGroup, IsRefusedByTheShippedBusPolicy) {
    start(false, false, {});

    EXPECT_EQ(peerAs("nobody", {"call", "HoldLidSleepDisabled", "60"}),
              "error org.freedesktop.DBus.Error.AccessDenied\n");
    EXPECT_EQ(peerAs("nobody", {"call", "Status"}),
              "error org.freedesktop.DBus.Error.AccessDenied\n");
    EXPECT_TRUE(delegate->offers().empty());

    EXPECT_EQ(peerAs(memberName, {"call", "HoldLidSleepDisabled", "60"}), "reply true\n");
    EXPECT_EQ(peerAs(memberName, {"call", "Status"}),
              "reply ZelvoPowerHelperStatus heldByHelper=b helperVersion=s "
              "leaseSecondsRemaining=x systemSleepDisabled=x\n");
    EXPECT_EQ(peerAs("root", {"call", "Release"}), "reply true\n");
    EXPECT_EQ(delegate->calls(), (std::vector<std::string>{"hold 60", "status", "release"}));
}

TEST(TheShippedBusPolicy, LetsOnlyRootOwnTheHelpersName) {
    testbus::ensureClientGroupMember(memberName);
    PrivateBus bus;
    EXPECT_EQ(peerAs("nobody", {"own", serviceName}),
              "error org.freedesktop.DBus.Error.AccessDenied\n");
    EXPECT_EQ(peerAs(memberName, {"own", serviceName}),
              "error org.freedesktop.DBus.Error.AccessDenied\n");
    EXPECT_EQ(peerAs("root", {"own", serviceName}), "owned\n");
}

} // namespace
} // namespace zelvo::transport::test
