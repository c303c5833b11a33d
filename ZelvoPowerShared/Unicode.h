#pragma once

#include <string>
#include <string_view>

namespace zelvo {

// Unicode text rules on UTF-8 strings, the only place that knows about utf8proc.

// String equality in the sense of canonical equivalence: both sides compared in NFC. Invalid UTF-8
// is compared byte for byte.
[[nodiscard]] bool canonicallyEquivalent(std::string_view a, std::string_view b);

// Decodes bytes as UTF-8, replacing each maximal invalid subsequence with one U+FFFD (the Unicode
// standard's recommended practice). Never fails.
[[nodiscard]] std::string decodeUtf8Lossy(std::string_view bytes);

} // namespace zelvo
