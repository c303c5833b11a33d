#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zelvo {

// Unicode text rules on UTF-8 strings, the only place that knows about utf8proc. All of them are
// pure functions, safe on any thread.

// String equality in the sense of canonical equivalence: both sides compared in NFC. Invalid UTF-8
// (which a platform string could not hold) is compared byte for byte.
[[nodiscard]] bool canonicallyEquivalent(std::string_view a, std::string_view b);

// Decodes bytes as UTF-8, replacing each maximal invalid subsequence with one U+FFFD (the Unicode
// standard's recommended practice). Never fails; valid input comes back unchanged.
[[nodiscard]] std::string decodeUtf8Lossy(std::string_view bytes);

// The extended grapheme clusters (user-perceived characters, UAX #29) of `text`, in order, as views
// into it. `text` must be valid UTF-8 (pass it through decodeUtf8Lossy first); the clusters of
// invalid input are unspecified but never read outside `text`.
[[nodiscard]] std::vector<std::string_view> graphemeClusters(std::string_view text);

// The first Unicode scalar of `text`, or U+FFFD when it is empty or does not start with a valid
// UTF-8 sequence.
[[nodiscard]] char32_t firstScalar(std::string_view text);

// U+000A..U+000D, U+0085, U+2028, U+2029: the scalars that make a character a newline.
[[nodiscard]] bool isNewlineScalar(char32_t scalar) noexcept;

// The Unicode White_Space property: a fixed list of its 25 code points (U+0009..U+000D, U+0020,
// U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000).
[[nodiscard]] bool isWhiteSpaceScalar(char32_t scalar) noexcept;

// `text` without the scalars of CharacterSet.whitespacesAndNewlines (general category Z, U+0009 to
// U+000D and U+0085, which is the White_Space list above) at either end. Works on scalars, not
// clusters, as the platform's trimming does. `text` must be valid UTF-8.
[[nodiscard]] std::string_view trimmingWhitespacesAndNewlines(std::string_view text);

} // namespace zelvo
