#include "PowerHelperClient.h"

#include "PrivateBus.h"
#include "ScriptedHelper.h"

#include <cstdlib>
#include <functional>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace zelvo::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using namespace std::chrono_literals;

// Each test gets its own system-type bus with the scripted helper on it.
class APowerHelperClient : public ::testing::Test {
protected:
    testbus::PrivateBus bus;
    std::optional<ScriptedHelper> helper{std::in_place, bus.address()};
};

// what() of the exception E thrown by call, or a failure when another (or none) is thrown.
template <typename E>
std::string messageOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const E& error) {
        return error.what();
    }
    ADD_FAILURE() << "expected exception not thrown";
    return {};
}

TEST_F(APowerHelperClient, SendsEachRequestAndReturnsOnSuccess) {
    PowerHelperClient client;
    client.hold(42);
    client.release();
    EXPECT_THAT(helper->calls(), ElementsAre("HoldLidSleepDisabled 42", "Release"));
}

TEST_F(APowerHelperClient, ThrowsTheHelpersDescriptionWhenARequestFails) {
    helper->scriptHold({failure("pmset failed: timed out")});
    helper->scriptRelease({failure("Helper state file: state exceeds 16 KB")});
    PowerHelperClient client;
    EXPECT_EQ(messageOf<HelperRequestFailed>([&] { client.hold(60); }), "pmset failed: timed out");
    EXPECT_EQ(messageOf<HelperRequestFailed>([&] { client.release(); }),
              "Helper state file: state exceeds 16 KB");
}

TEST_F(APowerHelperClient, RefusesARequestReplyOutOfContract) {
    const struct {
        const char* name;
        RequestAnswer answer;
    } cases[] = {
        {"success with a description", {true, std::vector<std::string>{"text"}, {}, {}}},
        {"two descriptions", {false, std::vector<std::string>{"a", "b"}, {}, {}}},
        {"an unknown method", {true, {}, "org.freedesktop.DBus.Error.UnknownMethod", {}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        helper->scriptHold({c.answer});
        PowerHelperClient client;
        EXPECT_THAT(messageOf<HelperUnreachable>([&] { client.hold(60); }),
                    HasSubstr("out of contract"));
    }
}

// sdbus-c++ reads past the end of a reply without throwing; a reply without the error array must
// not pass for a success, nor a status reply without its fields for a record.
TEST_F(APowerHelperClient, RefusesAReplyWithTooFewArguments) {
    helper.emplace(bus.address(), "b", "s");
    helper->scriptRelease({{true, std::nullopt, {}, {}}});
    PowerHelperClient client;
    EXPECT_THAT(messageOf<HelperUnreachable>([&] { client.release(); }),
                HasSubstr("out of contract"));
    EXPECT_THAT(messageOf<HelperUnreachable>([&] { static_cast<void>(client.status()); }),
                HasSubstr("out of contract"));
}

TEST_F(APowerHelperClient, ReportsAFailureWithoutDescriptionAsAFailure) {
    helper->scriptRelease({{false, std::vector<std::string>{}, {}, {}}});
    PowerHelperClient client;
    EXPECT_THAT(messageOf<HelperRequestFailed>([&] { client.release(); }),
                HasSubstr("without a description"));
}

TEST_F(APowerHelperClient, SaysPlainlyWhenAccessIsDenied) {
    helper->scriptHold({{true, {}, "org.freedesktop.DBus.Error.AccessDenied", {}}});
    PowerHelperClient client;
    EXPECT_THAT(messageOf<HelperUnreachable>([&] { client.hold(60); }), HasSubstr("access denied"));
}

TEST_F(APowerHelperClient, GivesUpWhenTheHelperDoesNotAnswerInTime) {
    helper->scriptHold({{true, {}, {}, 60s}});
    PowerHelperClient client(200ms);
    EXPECT_THAT(messageOf<HelperUnreachable>([&] { client.hold(60); }),
                HasSubstr("did not answer in time"));
}

TEST_F(APowerHelperClient, IsUnreachableWithoutHelperOrBus) {
    helper.reset();
    PowerHelperClient client;
    EXPECT_THAT(messageOf<HelperUnreachable>([&] { client.hold(60); }), HasSubstr("not running"));

    bus.killBus();
    PowerHelperClient noBus;
    EXPECT_THAT(messageOf<HelperUnreachable>([&] { noBus.release(); }),
                HasSubstr("cannot connect to the system bus"));
}

TEST_F(APowerHelperClient, ReachesAHelperThatAppearsAfterAFailedCall) {
    helper.reset();
    PowerHelperClient client;
    EXPECT_THROW(client.hold(60), HelperUnreachable);
    helper.emplace(bus.address());
    client.hold(60);
    EXPECT_THAT(helper->calls(), ElementsAre("HoldLidSleepDisabled 60"));
}

std::map<std::string, sdbus::Variant>
fields(std::vector<std::pair<std::string, sdbus::Variant>> list) {
    return {list.begin(), list.end()};
}

TEST_F(APowerHelperClient, DecodesTheStatusRecord) {
    using V = sdbus::Variant;
    const struct {
        const char* name;
        std::map<std::string, sdbus::Variant> fields;
        std::string version;
        bool held;
        std::int64_t sleepDisabled;
        std::int64_t remaining;
        std::optional<std::string> errorMessage;
    } cases[] = {
        {"all fields",
         fields({{"helperVersion", V(std::string("1.1.0"))},
                 {"heldByHelper", V(true)},
                 {"systemSleepDisabled", V(std::int64_t{-1})},
                 {"leaseSecondsRemaining", V(std::int64_t{42})},
                 {"errorMessage", V(std::string("pmset failed: timed out"))}}),
         "1.1.0", true, -1, 42, "pmset failed: timed out"},
        {"only the version", fields({{"helperVersion", V(std::string("1.1.0"))}}), "1.1.0", false,
         0, 0, std::nullopt},
        {"an empty error message is not an absent one",
         fields({{"helperVersion", V(std::string(""))}, {"errorMessage", V(std::string(""))}}), "",
         false, 0, 0, ""},
        {"an unknown string key is ignored",
         fields({{"helperVersion", V(std::string("2"))}, {"future", V(std::string("x"))}}), "2",
         false, 0, 0, std::nullopt},
    };
    PowerHelperClient client;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        helper->scriptStatus({"ZelvoPowerHelperStatus", c.fields});
        const auto status = client.status();
        EXPECT_EQ(status.helperVersion(), c.version);
        EXPECT_EQ(status.heldByHelper(), c.held);
        EXPECT_EQ(status.systemSleepDisabled(), c.sleepDisabled);
        EXPECT_EQ(status.leaseSecondsRemaining(), c.remaining);
        EXPECT_EQ(status.errorMessage(), c.errorMessage);
    }
}

TEST_F(APowerHelperClient, RefusesAStatusReplyOutOfContract) {
    using V = sdbus::Variant;
    const auto version = std::pair<std::string, V>{"helperVersion", V(std::string("1.1.0"))};
    const struct {
        const char* name;
        StatusAnswer answer;
    } cases[] = {
        {"another class", {"NSString", fields({version})}},
        {"a class name with a suffix", {"ZelvoPowerHelperStatusX", fields({version})}},
        {"no helperVersion", {"ZelvoPowerHelperStatus", fields({{"heldByHelper", V(true)}})}},
        {"a boolean helperVersion",
         {"ZelvoPowerHelperStatus", fields({{"helperVersion", V(true)}})}},
        {"a string heldByHelper",
         {"ZelvoPowerHelperStatus", fields({version, {"heldByHelper", V(std::string("yes"))}})}},
        {"a 32-bit systemSleepDisabled",
         {"ZelvoPowerHelperStatus",
          fields({version, {"systemSleepDisabled", V(std::int32_t{1})}})}},
        {"an integer errorMessage",
         {"ZelvoPowerHelperStatus", fields({version, {"errorMessage", V(std::int64_t{1})}})}},
        {"a value of a type outside the archive",
         {"ZelvoPowerHelperStatus", fields({version, {"future", V(1.5)}})}},
    };
    PowerHelperClient client;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        helper->scriptStatus(c.answer);
        EXPECT_THAT(messageOf<HelperUnreachable>([&] { static_cast<void>(client.status()); }),
                    HasSubstr("out of contract"));
    }
}

} // namespace
} // namespace zelvo::test
