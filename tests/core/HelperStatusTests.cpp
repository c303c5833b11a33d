#include "KeyedArchive.h"
#include "PowerHelperProtocol.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <limits>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace zelvo {
namespace {

KeyedArchive encoded(const HelperStatus& status) {
    KeyedArchive archive;
    status.encode(archive);
    return archive;
}

void expectFields(const HelperStatus& status, const std::string& helperVersion, bool heldByHelper,
                  std::int64_t systemSleepDisabled, std::int64_t leaseSecondsRemaining,
                  const std::optional<std::string>& errorMessage) {
    EXPECT_EQ(status.helperVersion(), helperVersion);
    EXPECT_EQ(status.heldByHelper(), heldByHelper);
    EXPECT_EQ(status.systemSleepDisabled(), systemSleepDisabled);
    EXPECT_EQ(status.leaseSecondsRemaining(), leaseSecondsRemaining);
    EXPECT_EQ(status.errorMessage(), errorMessage);
}

TEST(AHelperStatus, KeepsTheFiveFieldsItWasBuiltWith) {
    const HelperStatus status("1.1.0", true, 1, 42, std::nullopt);
    expectFields(status, "1.1.0", true, 1, 42, std::nullopt);
    EXPECT_TRUE(HelperStatus::supportsSecureCoding);
    EXPECT_EQ(HelperStatus::className, "ZelvoPowerHelperStatus");
}

TEST(AHelperStatus, WritesItsFiveKeysInTheOrderOfTheTable) {
    const auto archive = encoded(HelperStatus("1.1.0", true, 1, 42, std::string("boom")));
    std::vector<std::string> keys;
    for (const auto& [key, value] : archive.values()) {
        keys.push_back(key);
    }
    EXPECT_EQ(keys,
              (std::vector<std::string>{"helperVersion", "heldByHelper", "systemSleepDisabled",
                                        "leaseSecondsRemaining", "errorMessage"}));
    EXPECT_EQ(*archive.find("helperVersion"), KeyedArchive::Value(std::string("1.1.0")));
    EXPECT_EQ(*archive.find("heldByHelper"), KeyedArchive::Value(true));
    EXPECT_EQ(*archive.find("systemSleepDisabled"), KeyedArchive::Value(std::int64_t{1}));
    EXPECT_EQ(*archive.find("leaseSecondsRemaining"), KeyedArchive::Value(std::int64_t{42}));
    EXPECT_EQ(*archive.find("errorMessage"), KeyedArchive::Value(std::string("boom")));
}

TEST(AHelperStatus, WritesNilForAnAbsentErrorMessageAndDecodesItAsAbsent) {
    const auto archive = encoded(HelperStatus("1.1.0", false, 0, 0, std::nullopt));
    ASSERT_NE(archive.find("errorMessage"), nullptr);
    EXPECT_TRUE(std::holds_alternative<std::monostate>(*archive.find("errorMessage")));
    const auto decoded = HelperStatus::decode(archive);
    ASSERT_TRUE(decoded.has_value());
    expectFields(*decoded, "1.1.0", false, 0, 0, std::nullopt);
}

struct RoundTripRow {
    const char* name;
    HelperStatus status;
};

TEST(AHelperStatus, DecodesToTheSameFields) {
    const std::vector<RoundTripRow> rows = {
        {"held", HelperStatus("1.1.0", true, 1, 60, std::nullopt)},
        {"empty error message stays empty", HelperStatus("1.1.0", false, 0, 0, std::string())},
        {"failed read", HelperStatus("1.1.0", true, -1, 0, std::string("pmset failed: timed out"))},
        {"empty version", HelperStatus("", false, 0, 0, std::nullopt)},
        {"integer extremes",
         HelperStatus("x", true, std::numeric_limits<std::int64_t>::min(),
                      std::numeric_limits<std::int64_t>::max(), std::string("\u00E9\n"))},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const auto decoded = HelperStatus::decode(encoded(row.status));
        ASSERT_TRUE(decoded.has_value());
        expectFields(*decoded, row.status.helperVersion(), row.status.heldByHelper(),
                     row.status.systemSleepDisabled(), row.status.leaseSecondsRemaining(),
                     row.status.errorMessage());
    }
}

TEST(AHelperStatus, DecodesMissingScalarsAsFalseAndZero) {
    KeyedArchive archive;
    archive.set("helperVersion", std::string("1.1.0"));
    const auto decoded = HelperStatus::decode(archive);
    ASSERT_TRUE(decoded.has_value());
    expectFields(*decoded, "1.1.0", false, 0, 0, std::nullopt);
}

TEST(AHelperStatus, DecodesNilScalarsAsFalseAndZeroAndIgnoresOtherKeys) {
    KeyedArchive archive;
    archive.set("helperVersion", std::string(""));
    archive.set("heldByHelper", std::monostate{});
    archive.set("systemSleepDisabled", std::monostate{});
    archive.set("somethingElse", std::string("ignored"));
    const auto decoded = HelperStatus::decode(archive);
    ASSERT_TRUE(decoded.has_value());
    expectFields(*decoded, "", false, 0, 0, std::nullopt);
}

struct NoRecordRow {
    const char* name;
    std::optional<KeyedArchive::Value> helperVersion; // nothing: key left out
};

TEST(AHelperStatus, IsNotDecodedWithoutAStringUnderHelperVersion) {
    const std::vector<NoRecordRow> rows = {
        {"missing", std::nullopt},
        {"nil", KeyedArchive::Value(std::monostate{})},
        {"integer", KeyedArchive::Value(std::int64_t{1})},
        {"boolean", KeyedArchive::Value(true)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        KeyedArchive archive;
        if (row.helperVersion) {
            archive.set("helperVersion", *row.helperVersion);
        }
        archive.set("heldByHelper", true);
        archive.set("systemSleepDisabled", std::int64_t{1});
        archive.set("leaseSecondsRemaining", std::int64_t{5});
        EXPECT_FALSE(HelperStatus::decode(archive).has_value());
    }
}

struct WrongTypeRow {
    const char* name;
    const char* key;
    KeyedArchive::Value value;
};

TEST(AHelperStatus, FailsToDecodeAValueOfTheWrongType) {
    const std::vector<WrongTypeRow> rows = {
        {"heldByHelper as integer", "heldByHelper", std::int64_t{1}},
        {"heldByHelper as string", "heldByHelper", std::string("true")},
        {"systemSleepDisabled as boolean", "systemSleepDisabled", true},
        {"systemSleepDisabled as string", "systemSleepDisabled", std::string("1")},
        {"leaseSecondsRemaining as string", "leaseSecondsRemaining", std::string("60")},
        {"errorMessage as boolean", "errorMessage", false},
        {"errorMessage as integer", "errorMessage", std::int64_t{0}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        KeyedArchive archive = encoded(HelperStatus("1.1.0", false, 0, 0, std::nullopt));
        archive.set(row.key, row.value);
        EXPECT_THROW((void)HelperStatus::decode(archive), KeyedArchiveError);
    }
}

TEST(AKeyedArchive, ReplacesAValueInPlaceWhenAKeyIsWrittenAgain) {
    KeyedArchive archive;
    archive.encodeInteger(1, "a");
    archive.encodeBool(true, "b");
    archive.encodeObject(std::string("x"), "a");
    ASSERT_EQ(archive.values().size(), 2u);
    EXPECT_EQ(archive.values()[0].first, "a");
    EXPECT_EQ(archive.decodeString("a"), std::optional<std::string>("x"));
    EXPECT_TRUE(archive.decodeBool("b"));
    EXPECT_EQ(archive.find("missing"), nullptr);
    EXPECT_EQ(archive.decodeInteger("missing"), 0);
    EXPECT_FALSE(archive.decodeBool("missing"));
    EXPECT_EQ(archive.decodeString("missing"), std::nullopt);
}

TEST(ThePowerHelperInterface, AdmitsOnlyTheStatusRecordInTheStatusReply) {
    const auto interface = powerHelperInterface();
    EXPECT_EQ(interface.interfaceName, "com.zelvo.Zelvo.power.Helper");
    ASSERT_EQ(interface.selectors.size(), 3u);
    EXPECT_EQ(interface.selectors[0].selector, "holdLidSleepDisabledWithLeaseSeconds:reply:");
    EXPECT_EQ(interface.selectors[1].selector, "releaseWithReply:");
    EXPECT_EQ(interface.selectors[2].selector, "statusWithReply:");

    const auto* hold = interface.selectorNamed("holdLidSleepDisabledWithLeaseSeconds:reply:");
    ASSERT_NE(hold, nullptr);
    EXPECT_EQ(hold->member, "HoldLidSleepDisabled");
    EXPECT_EQ(hold->inputSignature, "x");
    EXPECT_EQ(hold->outputSignature, "bas");
    EXPECT_TRUE(hold->replyClasses.empty());

    const auto* release = interface.selectorNamed("releaseWithReply:");
    ASSERT_NE(release, nullptr);
    EXPECT_EQ(release->member, "Release");
    EXPECT_EQ(release->inputSignature, "");
    EXPECT_EQ(release->outputSignature, "bas");
    EXPECT_TRUE(release->replyClasses.empty());

    const auto* status = interface.selectorNamed("statusWithReply:");
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(status->member, "Status");
    EXPECT_EQ(status->inputSignature, "");
    EXPECT_EQ(status->outputSignature, "sa{sv}");
    EXPECT_EQ(status->replyClasses, (std::vector<std::string_view>{"ZelvoPowerHelperStatus"}));

    EXPECT_EQ(interface.selectorNamed("nothing:"), nullptr);
}

TEST(ThePowerHelperInterface, IsANewDescriptionOnEachCall) {
    auto first = powerHelperInterface();
    const auto second = powerHelperInterface();
    first.selectors.clear();
    EXPECT_EQ(second.selectors.size(), 3u);
    EXPECT_EQ(powerHelperInterface().selectors.size(), 3u);
}

} // namespace
} // namespace zelvo
