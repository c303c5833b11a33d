#include "Unicode.h"

#include <gtest/gtest.h>
#include <string>
#include <string_view>
#include <vector>

namespace zelvo {
namespace {

using namespace std::literals;
using Clusters = std::vector<std::string_view>;

const std::string replacement = "\uFFFD";

struct LossyRow {
    const char* name;
    std::string bytes;
    std::string decoded;
};

TEST(TheLossyUtf8Decoder, ReplacesEachMaximalInvalidSubsequenceWithOneReplacementCharacter) {
    const std::vector<LossyRow> rows = {
        {"empty", "", ""},
        {"ASCII", "SleepDisabled 1\n", "SleepDisabled 1\n"},
        {"valid multi-byte", "caf\u00E9 \u2028 \U0001F600", "caf\u00E9 \u2028 \U0001F600"},
        {"NUL kept", "a\0b"s, "a\0b"s},
        {"lone continuation byte", "a\x80z", "a" + replacement + "z"},
        {"two continuation bytes", "\x80\xBF", replacement + replacement},
        {"bytes never valid", "\xC0\xC1\xF5\xFF",
         replacement + replacement + replacement + replacement},
        {"overlong two-byte", "\xC0\xAF", replacement + replacement},
        {"truncated three-byte", "\xE2\x82", replacement},
        {"truncated three-byte before ASCII", "\xE2\x82z", replacement + "z"},
        {"truncated four-byte at end", "\xF0\x9F\x98", replacement},
        {"E0 with low second byte", "\xE0\x80\x80", replacement + replacement + replacement},
        {"surrogate", "\xED\xA0\x80", replacement + replacement + replacement},
        {"beyond U+10FFFF", "\xF4\x90\x80\x80",
         replacement + replacement + replacement + replacement},
        {"largest scalar", "\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},
        {"Unicode's own example", "\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64",
         "a" + replacement + replacement + replacement + "b" + replacement + "c" + replacement +
             replacement + "d"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(decodeUtf8Lossy(row.bytes), row.decoded);
    }
}

TEST(CanonicalEquivalence, ComparesInNfc) {
    EXPECT_TRUE(canonicallyEquivalent("", ""));
    EXPECT_TRUE(canonicallyEquivalent("SleepDisabled", "SleepDisabled"));
    EXPECT_TRUE(canonicallyEquivalent("\u00E9", "e\u0301"));
    EXPECT_TRUE(canonicallyEquivalent("\u1E69", "s\u0323\u0307"));
    EXPECT_TRUE(canonicallyEquivalent("s\u0307\u0323", "s\u0323\u0307"));
    EXPECT_TRUE(canonicallyEquivalent("\u212A", "K"));   // Kelvin sign: a singleton decomposition
    EXPECT_FALSE(canonicallyEquivalent("\uFB01", "fi")); // compatibility only
    EXPECT_FALSE(canonicallyEquivalent("e", "e\u0301"));
    EXPECT_FALSE(canonicallyEquivalent("a", "A"));
    EXPECT_TRUE(canonicallyEquivalent("a\0b"s, "a\0b"s));
    EXPECT_FALSE(canonicallyEquivalent("a\0b"s, "a\0c"s));
    EXPECT_FALSE(canonicallyEquivalent("a"s, "a\0"s));
    EXPECT_TRUE(canonicallyEquivalent("\xFF", "\xFF"));
    EXPECT_FALSE(canonicallyEquivalent("\xFF", replacement));
}

struct ClusterRow {
    const char* name;
    std::string text;
    Clusters clusters;
};

TEST(TheGraphemeClusters, AreTheExtendedClustersOfUax29) {
    const std::vector<ClusterRow> rows = {
        {"empty", "", {}},
        {"ASCII", "ab 1", {"a", "b", " ", "1"}},
        {"CR LF is one", "a\r\nb", {"a", "\r\n", "b"}},
        {"LF CR is two", "\n\r", {"\n", "\r"}},
        {"space and combining mark", " \u0301x", {" \u0301", "x"}},
        {"digit and combining marks", "1\u0301\u0308 ", {"1\u0301\u0308", " "}},
        {"no mark joins a line break", "\n\u0301", {"\n", "\u0301"}},
        {"no mark joins CR LF", "\r\n\u0301", {"\r\n", "\u0301"}},
        {"NEL is a control", "a\u0085\u0301", {"a", "\u0085", "\u0301"}},
        {"space and ZWJ", " \u200Dx", {" \u200D", "x"}},
        {"Hangul syllable from jamo", "\u1100\u1161\u11A8", {"\u1100\u1161\u11A8"}},
        {"flags pair up", "\U0001F1FA\U0001F1F8\U0001F1E9", {"\U0001F1FA\U0001F1F8", "\U0001F1E9"}},
        {"emoji ZWJ sequence", "\U0001F468\u200D\U0001F469!", {"\U0001F468\u200D\U0001F469", "!"}},
        {"NUL is a control", "a\0b"s, {"a", "\0"sv, "b"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(graphemeClusters(row.text), row.clusters);
    }
}

TEST(TheScalarClasses, FollowTheNewlineSetAndTheWhiteSpaceProperty) {
    const std::vector<char32_t> whiteSpace = {
        0x0009, 0x000A, 0x000B, 0x000C, 0x000D, 0x0020, 0x0085, 0x00A0, 0x1680,
        0x2000, 0x2001, 0x2002, 0x2003, 0x2004, 0x2005, 0x2006, 0x2007, 0x2008,
        0x2009, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000,
    };
    std::size_t count = 0;
    for (char32_t c = 0; c <= 0x10FFFF; ++c) {
        if (isWhiteSpaceScalar(c)) {
            ++count;
        }
    }
    EXPECT_EQ(count, 25u);
    for (const char32_t c : whiteSpace) {
        EXPECT_TRUE(isWhiteSpaceScalar(c)) << std::hex << static_cast<unsigned>(c);
    }
    for (const char32_t c : {0x0008u, 0x000Eu, 0x001Fu, 0x200Bu, 0x180Eu, 0x2060u, 0xFEFFu, 0x0000u,
                             0x0021u, 0x3001u}) {
        EXPECT_FALSE(isWhiteSpaceScalar(c)) << std::hex << static_cast<unsigned>(c);
    }

    std::size_t newlines = 0;
    for (char32_t c = 0; c <= 0x10FFFF; ++c) {
        if (isNewlineScalar(c)) {
            ++newlines;
            EXPECT_TRUE(isWhiteSpaceScalar(c)) << std::hex << static_cast<unsigned>(c);
        }
    }
    EXPECT_EQ(newlines, 7u);
    for (const char32_t c : {0x000Au, 0x000Bu, 0x000Cu, 0x000Du, 0x0085u, 0x2028u, 0x2029u}) {
        EXPECT_TRUE(isNewlineScalar(c)) << std::hex << static_cast<unsigned>(c);
    }
}

TEST(TheFirstScalar, IsDecodedFromTheStartOfTheText) {
    EXPECT_EQ(firstScalar("a\u0301"), U'a');
    EXPECT_EQ(firstScalar("\u00A0x"), U'\u00A0');
    EXPECT_EQ(firstScalar("\U0001F600"), U'\U0001F600');
    EXPECT_EQ(firstScalar("\r\n"), U'\r');
    EXPECT_EQ(firstScalar(""), U'\uFFFD');
    EXPECT_EQ(firstScalar("\xFF"
                          "a"),
              U'\uFFFD');
    EXPECT_EQ(firstScalar("\0"sv), U'\0');
}

struct TrimRow {
    const char* name;
    std::string text;
    std::string trimmed;
};

TEST(TrimmingWhitespacesAndNewlines, RemovesThemAtBothEndsOnly) {
    const std::vector<TrimRow> rows = {
        {"empty", "", ""},
        {"nothing to trim", "a b", "a b"},
        {"spaces and line break", "  usage: pmset\n", "usage: pmset"},
        {"all White_Space kinds",
         "\t\v\f\r\n \u0085\u00A0\u1680\u2000\u200A\u2028\u2029\u202F"
         "\u205F\u3000x\u3000\u0085\r\n",
         "x"},
        {"only whitespace", " \n\t\u00A0", ""},
        {"inner whitespace kept", "\na \n b\n", "a \n b"},
        {"zero width space is kept", "\u200Bx\u200B", "\u200Bx\u200B"},
        {"combining mark on a trailing space stays with it", "x \u0301", "x \u0301"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(trimmingWhitespacesAndNewlines(row.text), row.trimmed);
    }
}

} // namespace
} // namespace zelvo
