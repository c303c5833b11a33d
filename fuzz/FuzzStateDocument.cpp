// The state document decoder and its date text on arbitrary bytes.
//
// Decoding either throws StateDocument::Error or the JSON library's own exception, or yields a
// record R. For every such R:
//   - encode(R) succeeds and is exactly {"heldByHelper":B} or
//     {"heldByHelper":B,"leaseUntil":"<dateText of R's lease>"};
//   - decoding that text gives R2 with the same heldByHelper, a lease exactly when R has one, and
//     that lease equal to R's rounded down to its whole second;
//   - encode(R2) is the same text again, and R2 validates exactly when R does.
// The first 8 bytes are also read as an instant (a double): its date text is refused exactly when
// it is not finite or its whole second lies outside the years 0000 to 9999, and otherwise reads
// back as that whole second.
// The bytes are also read as a date text: an accepted date names a second that can be written
// and read back unchanged, a plain "...Z" date is written back as the same text, a fraction never
// moves the date off the second it names, and a lease member holding the text decodes to the
// same instant (or is refused when the date is).
#include "FuzzTarget.h"
#include "PowerHelperError.h"
#include "StateDocument.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace {

using zelvo::PowerHelperState;
using zelvo::fuzz::check;
using zelvo::fuzz::fail;
namespace document = zelvo::StateDocument;

std::optional<PowerHelperState> decodeOrNothing(std::string_view text) {
    try {
        return document::decode(text);
    } catch (const document::Error&) {
        return std::nullopt;
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    } catch (...) {
        fail("decode threw something other than its own error or the JSON library's");
    }
}

bool validates(const PowerHelperState& state) {
    try {
        state.validate();
        return true;
    } catch (const zelvo::PowerHelperError& error) {
        check(error.kind() == zelvo::PowerHelperError::Case::invalidState,
              "validate threw a PowerHelperError other than invalidState");
        return false;
    }
}

std::string encodeOrFail(const PowerHelperState& state) {
    try {
        return document::encode(state);
    } catch (...) {
        fail("a decoded record could not be encoded");
    }
}

std::string dateTextOrFail(zelvo::Instant instant) {
    try {
        return document::dateText(instant);
    } catch (...) {
        fail("an accepted date could not be written");
    }
}

void checkRoundTrip(const PowerHelperState& state) {
    if (state.leaseUntil) {
        check(std::isfinite(state.leaseUntil->seconds),
              "decode yielded a lease that is not finite");
    }
    const std::string encoded = encodeOrFail(state);
    std::string expected =
        state.heldByHelper ? R"({"heldByHelper":true)" : R"({"heldByHelper":false)";
    if (state.leaseUntil) {
        expected += R"(,"leaseUntil":")" + dateTextOrFail(*state.leaseUntil) + "\"";
    }
    expected += "}";
    check(encoded == expected, "encode did not write the compact sorted form");

    const auto again = decodeOrNothing(encoded);
    check(again.has_value(), "an encoded record did not decode");
    check(again->heldByHelper == state.heldByHelper, "heldByHelper changed in the round trip");
    check(again->leaseUntil.has_value() == state.leaseUntil.has_value(),
          "the lease appeared or vanished in the round trip");
    if (state.leaseUntil) {
        check(again->leaseUntil->seconds == std::floor(state.leaseUntil->seconds),
              "the lease did not come back as its whole second");
    }
    check(encodeOrFail(*again) == encoded, "encoding the reloaded record gave another text");
    check(validates(*again) == validates(state),
          "the round trip changed whether the record validates");
}

bool isPlainAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return c >= 0x20 && c < 0x7F && c != '"' && c != '\\'; });
}

void checkDate(std::string_view text) {
    const auto instant = document::parseDate(text);
    if (isPlainAscii(text)) {
        const std::string wrapped =
            R"({"heldByHelper":true,"leaseUntil":")" + std::string(text) + "\"}";
        const auto state = decodeOrNothing(wrapped);
        check(state.has_value() == instant.has_value(),
              "decode and parseDate disagree on whether a date is acceptable");
        if (state) {
            check(state->leaseUntil && state->leaseUntil->seconds == instant->seconds,
                  "decode read another instant than parseDate");
        }
    }
    if (!instant) {
        return;
    }
    check(std::isfinite(instant->seconds), "parseDate yielded an instant that is not finite");
    const double whole = std::floor(instant->seconds);
    const std::string written = dateTextOrFail(*instant);
    const auto reread = document::parseDate(written);
    check(reread && reread->seconds == whole, "a written date did not read back as its second");

    // YYYY-MM-DDTHH:MM:SS is 19 characters; what follows is a fraction, then Z or an offset.
    if (text.size() == 20 && text[19] == 'Z') {
        check(written == text, "a whole-second UTC date was not written back as the same text");
    }
    if (text.size() > 19 && text[19] == '.') {
        std::size_t end = 20;
        while (end < text.size() && text[end] >= '0' && text[end] <= '9') {
            ++end;
        }
        const std::string withoutFraction =
            std::string(text.substr(0, 19)) + std::string(text.substr(end));
        const auto truncated = document::parseDate(withoutFraction);
        check(truncated && truncated->seconds == whole,
              "the fraction moved the date off the second it names");
    }
}

// 0000-01-01T00:00:00Z and 9999-12-31T23:59:59Z in seconds since the epoch.
constexpr double firstSecond = -62167219200.0;
constexpr double lastSecond = 253402300799.0;

void checkInstant(zelvo::Instant instant) {
    const bool writable = std::isfinite(instant.seconds) &&
                          std::floor(instant.seconds) >= firstSecond &&
                          std::floor(instant.seconds) <= lastSecond;
    std::string written;
    try {
        written = document::dateText(instant);
    } catch (const document::Error&) {
        check(!writable, "dateText refused an instant of the years 0000 to 9999");
        return;
    } catch (...) {
        fail("dateText threw something other than StateDocument::Error");
    }
    check(writable, "dateText wrote an instant that is not finite or out of range");
    const auto reread = document::parseDate(written);
    check(reread && reread->seconds == std::floor(instant.seconds),
          "a written instant did not read back as its whole second");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (const auto state = decodeOrNothing(text)) {
        checkRoundTrip(*state);
    }
    checkDate(text);
    if (size >= sizeof(double)) {
        zelvo::Instant instant;
        std::memcpy(&instant.seconds, data, sizeof(double));
        checkInstant(instant);
    }
    return 0;
}
