#include "StateDocument.h"

#include <cmath>
#include <cstdint>
#include <gtest/gtest.h>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace zelvo {
namespace {

using StateDocument::decode;
using StateDocument::encode;

constexpr double firstSecond = -62167219200.0; // 0000-01-01T00:00:00Z
constexpr double lastSecond = 253402300799.0;  // 9999-12-31T23:59:59Z

PowerHelperState heldUntil(double seconds) {
    return {true, Instant{seconds}};
}

TEST(AStateDocument, IsWrittenCompactWithSortedKeysAndWholeSecondsRoundedDown) {
    const struct {
        PowerHelperState state;
        std::string document;
    } cases[] = {
        {{}, R"({"heldByHelper":false})"},
        {heldUntil(0), R"({"heldByHelper":true,"leaseUntil":"1970-01-01T00:00:00Z"})"},
        {heldUntil(1709210096.999), R"({"heldByHelper":true,"leaseUntil":"2024-02-29T12:34:56Z"})"},
        {heldUntil(-0.25), R"({"heldByHelper":true,"leaseUntil":"1969-12-31T23:59:59Z"})"},
        {{false, Instant{86400.5}},
         R"({"heldByHelper":false,"leaseUntil":"1970-01-02T00:00:00Z"})"},
        {heldUntil(firstSecond), R"({"heldByHelper":true,"leaseUntil":"0000-01-01T00:00:00Z"})"},
        {heldUntil(lastSecond + 0.9),
         R"({"heldByHelper":true,"leaseUntil":"9999-12-31T23:59:59Z"})"},
        // Not validated: a hold without a lease still has a document.
        {{true, std::nullopt}, R"({"heldByHelper":true})"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(encode(c.state), c.document);
    }
    EXPECT_EQ(encode({}).size(), 22u);
}

TEST(AStateDocument, RefusesToEncodeALeaseTheFourDigitFormCannotHold) {
    const double leases[] = {std::numeric_limits<double>::infinity(),
                             -std::numeric_limits<double>::infinity(),
                             std::numeric_limits<double>::quiet_NaN(),
                             lastSecond + 1,
                             firstSecond - 0.5,
                             1e300};
    for (const double lease : leases) {
        EXPECT_THROW((void)encode(heldUntil(lease)), StateDocument::Error) << lease;
        EXPECT_THROW((void)encode({false, Instant{lease}}), StateDocument::Error) << lease;
    }
}

TEST(AStateDocument, ReloadsEveryEncodableLeaseLessThanOneSecondEarlierAndStably) {
    std::mt19937_64 random(20240229);
    std::uniform_real_distribution<double> anywhere(firstSecond, lastSecond + 0.999);
    std::uniform_real_distribution<double> nearNow(1.7e9, 1.8e9);
    std::vector<double> leases = {0.0,         -0.0,       0.999999,           -1e-300,
                                  firstSecond, lastSecond, lastSecond + 0.999, 1709210096.5};
    for (int i = 0; i < 2000; ++i) {
        leases.push_back(anywhere(random));
        leases.push_back(nearNow(random));
    }
    for (const double lease : leases) {
        const std::string document = encode(heldUntil(lease));
        const PowerHelperState back = decode(document);
        ASSERT_TRUE(back.heldByHelper);
        ASSERT_TRUE(back.leaseUntil.has_value());
        // A whole second plus one is exact, so these compare without rounding.
        ASSERT_LE(back.leaseUntil->seconds, lease) << document;
        ASSERT_GT(back.leaseUntil->seconds + 1.0, lease) << document;
        ASSERT_EQ(encode(back), document);
    }
}

TEST(AStateDocument, DecodesWhatTheReaderAccepts) {
    const struct {
        std::string document;
        PowerHelperState state;
    } cases[] = {
        {R"({"heldByHelper":false})", {}},
        {R"({"heldByHelper":false,"leaseUntil":null})", {}},
        {R"( { "version" : 2, "leaseUntil" : null, "heldByHelper" : false, "x": [1,{}] } )", {}},
        {R"({"heldByHelper":true})", {true, std::nullopt}},
        {R"({"heldByHelper":true,"leaseUntil":"1970-01-01T00:01:00Z"})", heldUntil(60)},
        {R"({"heldByHelper":false,"leaseUntil":"1970-01-01T00:01:00Z"})", {false, Instant{60}}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(decode(c.document), c.state) << c.document;
    }
}

TEST(AStateDocument, RefusesWhatIsNotAStateDocumentAndSaysWhy) {
    const struct {
        std::string document;
        std::string mentions; // empty: a JSON syntax error of the library
    } cases[] = {
        {"", ""},
        {"{", ""},
        {R"({"heldByHelper":false} x)", ""},
        {R"({"heldByHelper":false,})", ""},
        {R"({"heldByHelper":false /* c */})", ""},
        {"[]", "object"},
        {"\"heldByHelper\"", "object"},
        {"null", "object"},
        {"{}", "heldByHelper"},
        {R"({"heldbyhelper":false})", "heldByHelper"},
        {R"({"heldByHelper":null})", "heldByHelper"},
        {R"({"heldByHelper":1})", "heldByHelper"},
        {R"({"heldByHelper":"true"})", "heldByHelper"},
        {R"({"heldByHelper":[true]})", "heldByHelper"},
        {R"({"heldByHelper":true,"leaseUntil":60})", "leaseUntil"},
        {R"({"heldByHelper":true,"leaseUntil":true})", "leaseUntil"},
        {R"({"heldByHelper":true,"leaseUntil":{}})", "leaseUntil"},
        {R"({"heldByHelper":true,"leaseUntil":["1970-01-01T00:00:00Z"]})", "leaseUntil"},
        {R"({"heldByHelper":true,"leaseUntil":"yesterday"})", "leaseUntil"},
        {R"({"heldByHelper":true,"leaseUntil":""})", "leaseUntil"},
    };
    for (const auto& c : cases) {
        try {
            (void)decode(c.document);
            ADD_FAILURE() << "decoded: " << c.document;
        } catch (const StateDocument::Error& error) {
            EXPECT_FALSE(c.mentions.empty()) << c.document << ": " << error.what();
            EXPECT_NE(std::string(error.what()).find(c.mentions), std::string::npos)
                << c.document << ": " << error.what();
        } catch (const std::exception& error) {
            EXPECT_TRUE(c.mentions.empty()) << c.document << ": " << error.what();
        }
    }
}

TEST(ADateText, IsReadInTheWrittenFormWithAnOptionalFractionAndOffset) {
    const struct {
        std::string text;
        double seconds;
    } cases[] = {
        {"1970-01-01T00:00:00Z", 0},
        {"2024-02-29T12:34:56Z", 1709210096},
        {"2000-12-31T23:59:59Z", 978307199},
        {"0000-01-01T00:00:00Z", firstSecond},
        {"9999-12-31T23:59:59Z", lastSecond},
        {"1970-01-01T00:00:01.5Z", 1.5},
        {"1970-01-01T00:00:01.000000001Z", 1.000000001},
        {"1970-01-01T00:00:01.1234567891234Z", 1.123456789},
        {"1970-01-01T02:00:00+02:00", 0},
        {"1969-12-31T23:30:00-00:30", 0},
        {"1970-01-01T00:00:00-00:00", 0},
        {"1970-01-01T05:45:30.25+05:45", 30.25},
        {"0000-01-01T23:59:59+23:59", firstSecond + 59},
    };
    for (const auto& c : cases) {
        const auto instant = StateDocument::parseDate(c.text);
        ASSERT_TRUE(instant.has_value()) << c.text;
        EXPECT_DOUBLE_EQ(instant->seconds, c.seconds) << c.text;
    }
    // Far from the epoch a fraction near 1 must not round up into the next second.
    const auto last = StateDocument::parseDate("9999-12-31T23:59:59.9999999999Z");
    ASSERT_TRUE(last.has_value());
    EXPECT_EQ(std::floor(last->seconds), lastSecond);
    EXPECT_EQ(StateDocument::dateText(*last), "9999-12-31T23:59:59Z");
}

TEST(ADateText, IsRefusedInAnyOtherForm) {
    const char* texts[] = {
        "",
        "1970-01-01T00:00:00",       // no zone
        "1970-01-01t00:00:00Z",      // lower-case
        "1970-01-01T00:00:00z",      //
        "1970-01-01 00:00:00Z",      // blank for T
        "1970-01-01T00:00Z",         // no seconds
        "70-01-01T00:00:00Z",        // short year
        "+1970-01-01T00:00:00Z",     // signed year
        "19700-01-01T00:00:00Z",     // five-digit year
        "1970-1-01T00:00:00Z",       // one-digit month
        "1970-01-01T00:00:00.Z",     // empty fraction
        "1970-01-01T00:00:00,5Z",    // comma fraction
        "1970-01-01T00:00:00+0200",  // offset without colon
        "1970-01-01T00:00:00+02",    // offset without minutes
        "1970-01-01T00:00:00+24:00", // offset hours
        "1970-01-01T00:00:00+00:60", // offset minutes
        "1970-01-01T00:00:00Z ",     // trailing blank
        " 1970-01-01T00:00:00Z",     // leading blank
        "1970-01-01T00:00:00ZZ",     //
        "1970-00-01T00:00:00Z",      // month 0
        "1970-13-01T00:00:00Z",      // month 13
        "1970-01-00T00:00:00Z",      // day 0
        "1970-04-31T00:00:00Z",      // no 31 April
        "2023-02-29T00:00:00Z",      // not a leap year
        "1900-02-29T00:00:00Z",      // not a leap year
        "1970-01-01T24:00:00Z",      // hour 24
        "1970-01-01T00:60:00Z",      // minute 60
        "1970-01-01T23:59:60Z",      // leap second
        "1970-01-01T0a:00:00Z",      //
        "1970-01-01T\xd9\xa0"
        "0:00:00Z",                  // a non-ASCII digit
        "0000-01-01T00:00:00+00:01", // before the year 0000 in UTC
        "9999-12-31T23:59:59-00:01", // after the year 9999 in UTC
    };
    for (const char* text : texts) {
        EXPECT_FALSE(StateDocument::parseDate(text).has_value()) << text;
    }
}

} // namespace
} // namespace zelvo
