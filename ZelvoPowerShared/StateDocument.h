#pragma once

#include "PowerLease.h"

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

// The state document: the JSON text that holds one PowerHelperState. Pure functions of their
// arguments (no file access, no clock); safe on any thread.
namespace zelvo::StateDocument {

// A document that is well-formed JSON but not a state document, or a record that has no document.
// what() names the member and what is wrong with it.
class Error final : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The document of `state`: compact UTF-8 JSON with sorted keys and no final line feed, so the
// record not held with no lease is exactly the 22 bytes {"heldByHelper":false}. "leaseUntil" is
// written only when present, as dateText(). The record is not validated. Throws Error when the
// lease is not finite or its whole second lies outside the years 0000 to 9999.
[[nodiscard]] std::string encode(const PowerHelperState& state);

// The record held by `document`, NOT validated (call PowerHelperState::validate() on it): a
// document saying held without a lease decodes. Accepted: a JSON object whose "heldByHelper" is
// true or false and whose "leaseUntil" is absent, null (both: no lease) or a string that
// parseDate() accepts; other members are ignored, and of a repeated member the last one counts.
// Throws the JSON library's parse error (a std::exception) for text that is not JSON, and Error
// for anything else refused.
[[nodiscard]] PowerHelperState decode(std::string_view document);

// YYYY-MM-DDTHH:MM:SSZ in UTC. The instant is rounded down to its whole second, so the written
// instant is never later than the given one and less than one second earlier: a lease reloaded
// from the file never lasts longer than the one saved.
// Throws Error when `instant` is not finite or that second lies outside the years 0000 to 9999.
[[nodiscard]] std::string dateText(Instant instant);

// The instant of a date text, or nothing when the text is not one. Accepted: exactly
// YYYY-MM-DDTHH:MM:SS (upper-case T, ASCII digits, a real calendar day, hours 00-23, minutes and
// seconds 00-59), then optionally a fraction "." with one or more digits (digits past the ninth are
// ignored), then either Z or a numeric offset +HH:MM / -HH:MM (hours 00-23, minutes 00-59). The
// instant in UTC must lie in the years 0000 to 9999, so every accepted date can be written again,
// and it always rounds down to the second the text names (minus the offset).
[[nodiscard]] std::optional<Instant> parseDate(std::string_view text);

} // namespace zelvo::StateDocument
