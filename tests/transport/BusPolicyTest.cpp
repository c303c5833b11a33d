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

TEST(ACallerCheck, AllowsRootAndHoldersOfTheClientGroupAmongTheConnectionsGroupsOnly) {
    constexpr std::uint32_t client = 990;
    struct Case {
        const char* name;
        CallerCredentials caller;
        std::optional<std::uint32_t> clientGroup;
        bool allowed;
    };
    const std::vector<Case> cases = {
        {"root without groups", {0, {}}, client, true},
        {"root without a client group", {0, {}}, std::nullopt, true},
        {"the group as a supplementary one", {65534, {65534, 27, client}}, client, true},
        {"the group as the only one", {1000, {client}}, client, true},
        {"other groups only", {1000, {1000, 27}}, client, false},
        {"no groups at all", {1000, {}}, client, false},
        {"no client group on the system", {1000, {client}}, std::nullopt, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(callerMayCall(c.caller, c.clientGroup), c.allowed);
    }
    EXPECT_EQ(clientGroupId(), testbus::ensureClientGroup());
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

// The bus and the listener judge the same groups: those the caller's connection holds, whatever
// the user database says about its user.
TEST_F(ACallerOutsideTheGroup, IsJudgedByTheGroupsItsConnectionHoldsAlike) {
    const std::string client = std::to_string(testbus::ensureClientGroup());
    struct Case {
        const char* name;
        bool busPolicyDecides; // else the bus lets everyone call and the listener decides
        std::vector<std::string> identity; // setpriv's options
        std::string printed;
    };
    const std::string denied = "error org.freedesktop.DBus.Error.AccessDenied\n";
    const std::vector<Case> cases = {
        {"a user given the group only for this process, listener alone",
         false,
         {"--reuid=nobody", "--regid=nogroup", "--groups=" + client},
         "reply true\n"},
        {"a user given the group only for this process, with the policy",
         true,
         {"--reuid=nobody", "--regid=nogroup", "--groups=" + client},
         "reply true\n"},
        {"a member that dropped its groups, listener alone",
         false,
         {"--reuid=" + memberName, "--regid=nogroup", "--clear-groups"},
         denied},
        {"a member that dropped its groups, with the policy",
         true,
         {"--reuid=" + memberName, "--regid=nogroup", "--clear-groups"},
         denied},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        start(true, true,
              {.extraConfiguration =
                   c.busPolicyDecides ? "" : PrivateBus::allowEveryoneToCall(serviceName)});
        std::vector<std::string> command = {"setpriv"};
        command.insert(command.end(), c.identity.begin(), c.identity.end());
        const auto peer = peerCommand({"call", "HoldLidSleepDisabled", "60"});
        command.insert(command.end(), peer.begin(), peer.end());
        const auto result = testbus::runCommand(command);
        EXPECT_EQ(result.exitStatus, 0) << result.standardError;
        EXPECT_EQ(result.standardOutput, c.printed);
        EXPECT_EQ(delegate->calls().size(), c.printed == denied ? 0u : 1u);
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
