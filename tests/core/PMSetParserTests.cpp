#include "PMSet.h"
#include "PowerHelperError.h"

#include <gtest/gtest.h>
#include <optional>
#include <string>

namespace zelvo {
namespace {

using namespace std::string_literals;

struct ParserRow {
    const char* name; // the test's name: letters, digits and underscores
    std::string text;
    std::optional<int> expected; // nothing: invalidSleepDisabledOutput
};

void PrintTo(const ParserRow& row, std::ostream* os) {
    *os << row.name;
}

// A worked example: a heading and five lines, of which only one is a valid report.
const std::string workedExample = "System-wide power settings:\n"
                                  " SleepDisabled\t\t1\n"
                                  "sleepdisabled 1\n"
                                  "SleepDisabled 1 (forced)\n"
                                  "SleepDisabled 2\n";

const ParserRow rows[] = {
    // Plain reports.
    {"plain_1", "SleepDisabled 1", 1},
    {"plain_0", "SleepDisabled 0", 0},
    {"trailing_line_break", "SleepDisabled 1\n", 1},
    {"leading_and_repeated_line_breaks", "\n\n\nSleepDisabled 0\n\n\n", 0},
    {"indented_with_tabs_and_spaces", " \t SleepDisabled\t\t \t1", 1},
    {"trailing_whitespace_after_value", "SleepDisabled 1 \t  ", 1},
    {"realistic_report",
     "System-wide power settings:\n SleepDisabled\t\t1\nCurrently in use:\n standby  1\n", 1},

    // The worked example.
    {"worked_example", workedExample, 1},
    {"worked_example_with_sixth_row", workedExample + "SleepDisabled +0\n", std::nullopt},
    {"only_ignored_lines",
     "System-wide power settings:\nsleepdisabled 1\nSleepDisabled 1 (forced)\nSleepDisabled 2\n",
     std::nullopt},

    // Nothing to read.
    {"empty_text", "", std::nullopt},
    {"blank_lines_only", "\n \n\t\n\r\n  \n", std::nullopt},
    {"whitespace_only", " \t \u00A0 ", std::nullopt},

    // Lines that are not candidates.
    {"key_alone", "SleepDisabled", std::nullopt},
    {"key_alone_then_value_on_next_line", "SleepDisabled\n1", std::nullopt},
    {"joined_by_equals_sign", "SleepDisabled=1", std::nullopt},
    {"key_in_lower_case", "sleepdisabled 1", std::nullopt},
    {"key_with_trailing_colon", "SleepDisabled: 1", std::nullopt},
    {"key_as_prefix_of_token", "SleepDisabledX 1", std::nullopt},
    {"three_tokens", "SleepDisabled 1 (forced)", std::nullopt},
    {"value_first", "1 SleepDisabled", std::nullopt},
    {"fullwidth_key_is_only_compatible", "\uFF33leepDisabled 1", std::nullopt},

    // The value's grammar.
    {"value_2", "SleepDisabled 2", std::nullopt},
    {"minus_one", "SleepDisabled -1", std::nullopt},
    {"minus_zero", "SleepDisabled -0", 0},
    {"plus_zero", "SleepDisabled +0", 0},
    {"plus_one", "SleepDisabled +1", 1},
    {"leading_zero", "SleepDisabled 01", 1},
    {"many_leading_zeros", "SleepDisabled 0000000000000000000000000000001", 1},
    {"many_zeros_with_minus", "SleepDisabled -0000000000000000000000000000000", 0},
    {"decimal_point", "SleepDisabled 1.0", std::nullopt},
    {"hexadecimal_prefix", "SleepDisabled 0x1", std::nullopt},
    {"lone_plus", "SleepDisabled +", std::nullopt},
    {"lone_minus", "SleepDisabled -", std::nullopt},
    {"two_signs", "SleepDisabled +-1", std::nullopt},
    {"double_plus", "SleepDisabled ++1", std::nullopt},
    {"sign_after_digit", "SleepDisabled 1+", std::nullopt},
    {"arabic_indic_one", "SleepDisabled \u0661", std::nullopt},
    {"fullwidth_one", "SleepDisabled \uFF11", std::nullopt},
    {"superscript_one", "SleepDisabled \u00B9", std::nullopt},
    {"keycap_one", "SleepDisabled 1\uFE0F\u20E3", std::nullopt},

    // The signed 64-bit range (every such value is ignored, and none may overflow).
    {"int64_max", "SleepDisabled 9223372036854775807", std::nullopt},
    {"int64_max_plus_one", "SleepDisabled 9223372036854775808", std::nullopt},
    {"int64_min", "SleepDisabled -9223372036854775808", std::nullopt},
    {"int64_min_minus_one", "SleepDisabled -9223372036854775809", std::nullopt},
    {"far_beyond_the_range", "SleepDisabled 99999999999999999999999999999999", std::nullopt},
    {"int64_max_next_to_valid", "SleepDisabled 9223372036854775807\nSleepDisabled 1", 1},
    {"out_of_range_next_to_valid", "SleepDisabled 0\nSleepDisabled 9223372036854775808", 0},
    {"int64_min_minus_one_next_to_valid", "SleepDisabled -9223372036854775809\nSleepDisabled 1", 1},

    // Exactly one report.
    {"two_valid_lines_same_value", "SleepDisabled 1\nSleepDisabled 1", std::nullopt},
    {"two_valid_lines_differing", "SleepDisabled 1\nSleepDisabled 0", std::nullopt},
    {"valid_next_to_ignored_lines",
     "SleepDisabled 2\nSleepDisabled\nSleepDisabled 0 x\n"
     "SleepDisabled 0",
     0},

    // Line breaks.
    {"crlf_lines", "System-wide power settings:\r\n SleepDisabled\t\t1\r\n standby 1\r\n", 1},
    {"lone_cr_lines", "Heading:\rSleepDisabled 0\r", 0},
    {"cr_splits_key_from_value", "SleepDisabled\r1", std::nullopt},
    {"lf_cr_is_two_breaks", "SleepDisabled 1\n\rSleepDisabled 0\n\r", std::nullopt},
    {"nel_ends_a_line", "Heading:\u0085SleepDisabled 1\u0085", 1},
    {"nel_splits_key_from_value", "SleepDisabled\u00851", std::nullopt},
    {"line_separator_ends_a_line", "Heading:\u2028SleepDisabled 1", 1},
    {"line_separator_splits_key_from_value", "SleepDisabled\u20281", std::nullopt},
    {"paragraph_separator_splits_key_from_value", "SleepDisabled\u20291", std::nullopt},
    {"vertical_tab_splits_key_from_value", "SleepDisabled\v1", std::nullopt},
    {"form_feed_splits_key_from_value", "SleepDisabled\f1", std::nullopt},
    {"two_reports_on_separate_nel_lines", "SleepDisabled 1\u0085SleepDisabled 0", std::nullopt},

    // Whitespace other than space and tab.
    {"no_break_space_separates", "SleepDisabled\u00A01", 1},
    {"narrow_no_break_space_separates", "SleepDisabled\u202F0", 0},
    {"em_space_separates", "SleepDisabled\u20031", 1},
    {"ideographic_space_separates", "SleepDisabled\u30001", 1},
    {"ogham_space_mark_separates", "SleepDisabled\u16801", 1},
    {"medium_math_space_separates", "SleepDisabled\u205F1", 1},
    {"zero_width_space_does_not_separate", "SleepDisabled\u200B1", std::nullopt},
    {"mongolian_vowel_separator_does_not_separate", "SleepDisabled\u180E1", std::nullopt},
    {"word_joiner_does_not_separate", "SleepDisabled\u20601", std::nullopt},

    // Characters, not scalars.
    {"space_with_combining_mark_separates", "SleepDisabled \u03011", 1},
    // A tab is a control (GB4), so marks after it do not join it: they are a token of their own.
    {"combining_marks_after_tab_are_a_token", "SleepDisabled\t\u0308\u0301\t1", std::nullopt},
    {"tab_then_space_with_combining_mark_separates", "SleepDisabled\t \u0308\t1", 1},
    {"no_break_space_with_combining_mark_separates", "SleepDisabled\u00A0\u03000", 0},
    {"digit_with_combining_mark_is_not_a_digit", "SleepDisabled 1\u0301", std::nullopt},
    {"zero_with_combining_mark_is_not_a_digit", "SleepDisabled 0\u20DD", std::nullopt},
    {"sign_with_combining_mark_is_not_a_sign", "SleepDisabled +\u03011", std::nullopt},
    {"key_with_combining_mark_differs", "SleepDisabled\u0301 1", std::nullopt},
    {"combining_mark_after_line_break_starts_a_token", "Heading\n\u0301SleepDisabled 1",
     std::nullopt},
    {"combining_mark_after_crlf_is_its_own_token", "\r\n\u0301 SleepDisabled 1", std::nullopt},
    {"zwj_after_space_joins_it", "SleepDisabled \u200D1", 1},
    {"emoji_and_flags_elsewhere",
     "\U0001F1FA\U0001F1F8\U0001F1E9\U0001F1EA x\n"
     "\U0001F468\u200D\U0001F469\u200D\U0001F467 family\n"
     "SleepDisabled 1",
     1},

    // Bytes that are not UTF-8 are decoded lossily, as U+FFFD.
    {"invalid_byte_in_value",
     "SleepDisabled \xFF"
     "1",
     std::nullopt},
    {"invalid_byte_on_another_line", "\xFF\xFE\nSleepDisabled 1", 1},
    {"invalid_byte_as_its_own_token", "SleepDisabled 1 \xC3", std::nullopt},
    {"truncated_sequence_after_value", "SleepDisabled 0\xE2\x80", std::nullopt},
    {"latin1_no_break_space_is_not_whitespace",
     "SleepDisabled\xA0"
     "1",
     std::nullopt},
    {"overlong_encoding_of_one", "SleepDisabled \xC0\xB1", std::nullopt},
    {"encoded_surrogate", "SleepDisabled \xED\xA0\x80", std::nullopt},
    {"nul_inside_key", "SleepDisabled\0 1"s, std::nullopt},
    {"nul_on_another_line", "\0\0\nSleepDisabled 1"s, 1},
};

class ThePMSetParser : public ::testing::TestWithParam<ParserRow> {};

TEST_P(ThePMSetParser, ReadsExactlyOneSleepDisabledReport) {
    const ParserRow& row = GetParam();
    if (row.expected) {
        EXPECT_EQ(PMSetParser::sleepDisabled(row.text), *row.expected);
        return;
    }
    try {
        const int value = PMSetParser::sleepDisabled(row.text);
        ADD_FAILURE() << "returned " << value;
    } catch (const PowerHelperError& error) {
        EXPECT_EQ(error, PowerHelperError::invalidSleepDisabledOutput());
        EXPECT_EQ(error.errorDescription(), "pmset did not report a valid SleepDisabled value.");
    }
}

INSTANTIATE_TEST_SUITE_P(Table, ThePMSetParser, ::testing::ValuesIn(rows),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace zelvo
