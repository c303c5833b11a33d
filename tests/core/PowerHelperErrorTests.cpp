#include "PowerHelperError.h"
#include "Printers.h"

#include <gtest/gtest.h>
#include <string>
#include <system_error>
#include <vector>

namespace zelvo {
namespace {

using Case = PowerHelperError::Case;

struct DescriptionRow {
    const char* name;
    PowerHelperError error;
    Case kind;
    std::string payload;
    std::string description;
};

TEST(APowerHelperError, DescribesEachCaseWithItsPrefixAndThePayloadVerbatim) {
    const std::vector<DescriptionRow> rows = {
        {"command", PowerHelperError::commandFailed("SleepDisabled did not become 1"),
         Case::commandFailed, "SleepDisabled did not become 1",
         "pmset failed: SleepDisabled did not become 1"},
        {"state", PowerHelperError::invalidState("a hold must have a finite lease"),
         Case::invalidState, "a hold must have a finite lease",
         "Invalid helper state: a hold must have a finite lease"},
        {"file", PowerHelperError::fileFailure("state exceeds 16 KB"), Case::fileFailure,
         "state exceeds 16 KB", "Helper state file: state exceeds 16 KB"},
        {"timeout", PowerHelperError::commandFailed("timed out"), Case::commandFailed, "timed out",
         "pmset failed: timed out"},
        {"empty payload", PowerHelperError::commandFailed(""), Case::commandFailed, "",
         "pmset failed: "},
        {"empty file payload", PowerHelperError::fileFailure(""), Case::fileFailure, "",
         "Helper state file: "},
        {"colon, line break, blanks", PowerHelperError::invalidState("  a: b\nc  "),
         Case::invalidState, "  a: b\nc  ", "Invalid helper state:   a: b\nc  "},
        {"non-ASCII", PowerHelperError::fileFailure("caf\u00E9 \U0001F600"), Case::fileFailure,
         "caf\u00E9 \U0001F600", "Helper state file: caf\u00E9 \U0001F600"},
        {"no payload", PowerHelperError::invalidSleepDisabledOutput(),
         Case::invalidSleepDisabledOutput, "", "pmset did not report a valid SleepDisabled value."},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.error.kind(), row.kind);
        EXPECT_EQ(row.error.payload(), row.payload);
        EXPECT_EQ(row.error.errorDescription(), row.description);
        EXPECT_EQ(std::string(row.error.what()), row.description);
        EXPECT_EQ(descriptionOf(row.error), row.description);
        EXPECT_FALSE(row.error.errorDescription().empty());
    }
}

TEST(APowerHelperError, KeepsItsTextWhenCopiedAndThrownAsAStdException) {
    const auto original = PowerHelperError::commandFailed("exit 2: ");
    try {
        throw PowerHelperError(original);
    } catch (const std::exception& error) {
        EXPECT_EQ(std::string(error.what()), "pmset failed: exit 2: ");
        const auto* typed = dynamic_cast<const PowerHelperError*>(&error);
        ASSERT_NE(typed, nullptr);
        EXPECT_EQ(*typed, original);
    }
}

TEST(ThePlatformsErrors, AreDescribedByTheirOwnText) {
    const std::system_error error(std::make_error_code(std::errc::no_such_file_or_directory),
                                  "posix_spawn");
    EXPECT_EQ(descriptionOf(error), std::string(error.what()));
}

struct EqualityRow {
    const char* name;
    PowerHelperError a;
    PowerHelperError b;
    bool equal;
};

TEST(APowerHelperError, IsEqualForTheSameCaseAndCanonicallyEquivalentPayloads) {
    const std::vector<EqualityRow> rows = {
        {"same command payload", PowerHelperError::commandFailed("timed out"),
         PowerHelperError::commandFailed("timed out"), true},
        {"different payload", PowerHelperError::commandFailed("timed out"),
         PowerHelperError::commandFailed("exit 1: "), false},
        {"command vs state, same payload", PowerHelperError::commandFailed("x"),
         PowerHelperError::invalidState("x"), false},
        {"state vs file, same payload", PowerHelperError::invalidState("x"),
         PowerHelperError::fileFailure("x"), false},
        {"file payloads differing in case", PowerHelperError::fileFailure("Read"),
         PowerHelperError::fileFailure("read"), false},
        {"empty payloads", PowerHelperError::fileFailure(""), PowerHelperError::fileFailure(""),
         true},
        {"precomposed vs decomposed e acute", PowerHelperError::fileFailure("caf\u00E9"),
         PowerHelperError::fileFailure("cafe\u0301"), true},
        {"combining marks in either order", PowerHelperError::invalidState("a\u0323\u0307"),
         PowerHelperError::invalidState("a\u0307\u0323"), true},
        {"angstrom sign vs A with ring", PowerHelperError::commandFailed("\u212B"),
         PowerHelperError::commandFailed("\u00C5"), true},
        {"compatibility only (fullwidth)", PowerHelperError::commandFailed("\uFF21"),
         PowerHelperError::commandFailed("A"), false},
        {"trailing blank matters", PowerHelperError::commandFailed("x "),
         PowerHelperError::commandFailed("x"), false},
        {"invalid UTF-8, same bytes", PowerHelperError::fileFailure("\xFF"),
         PowerHelperError::fileFailure("\xFF"), true},
        {"invalid UTF-8, different bytes", PowerHelperError::fileFailure("\xFF"),
         PowerHelperError::fileFailure("\xFE"), false},
        {"invalid output equals itself", PowerHelperError::invalidSleepDisabledOutput(),
         PowerHelperError::invalidSleepDisabledOutput(), true},
        {"invalid output vs empty command", PowerHelperError::invalidSleepDisabledOutput(),
         PowerHelperError::commandFailed(""), false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.a == row.b, row.equal);
        EXPECT_EQ(row.b == row.a, row.equal);
        EXPECT_EQ(row.a != row.b, !row.equal);
    }
}

} // namespace
} // namespace zelvo
