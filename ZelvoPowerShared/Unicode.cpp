#include "Unicode.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <utf8proc.h>

namespace zelvo {

namespace {

struct FreeDeleter {
    void operator()(void* p) const noexcept { std::free(p); }
};

// NFC of valid UTF-8, or nothing for invalid input.
bool toNfc(std::string_view text, std::string& out) {
    utf8proc_uint8_t* result = nullptr;
    const auto length =
        utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                     static_cast<utf8proc_ssize_t>(text.size()), &result,
                     static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
    std::unique_ptr<utf8proc_uint8_t, FreeDeleter> owned(result);
    if (length < 0) {
        return false;
    }
    out.assign(reinterpret_cast<const char*>(result), static_cast<std::size_t>(length));
    return true;
}

// Length of the well-formed sequence starting at `s`, or the length of its maximal ill-formed
// subpart negated (at least -1).
int sequenceLength(const unsigned char* s, std::size_t available) {
    const unsigned char lead = s[0];
    if (lead < 0x80) {
        return 1;
    }
    int needed;
    unsigned char secondLow = 0x80;
    unsigned char secondHigh = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        needed = 1;
    } else if (lead == 0xE0) {
        needed = 2, secondLow = 0xA0;
    } else if ((lead >= 0xE1 && lead <= 0xEC) || lead == 0xEE || lead == 0xEF) {
        needed = 2;
    } else if (lead == 0xED) {
        needed = 2, secondHigh = 0x9F;
    } else if (lead == 0xF0) {
        needed = 3, secondLow = 0x90;
    } else if (lead >= 0xF1 && lead <= 0xF3) {
        needed = 3;
    } else if (lead == 0xF4) {
        needed = 3, secondHigh = 0x8F;
    } else {
        return -1;
    }
    for (int i = 1; i <= needed; ++i) {
        if (static_cast<std::size_t>(i) >= available) {
            return -i;
        }
        const unsigned char low = i == 1 ? secondLow : 0x80;
        const unsigned char high = i == 1 ? secondHigh : 0xBF;
        if (s[i] < low || s[i] > high) {
            return -i;
        }
    }
    return needed + 1;
}

// Decodes the scalar at text[i]; on invalid input yields U+FFFD and advances by at least one byte.
char32_t scalarAt(std::string_view text, std::size_t& i) {
    utf8proc_int32_t scalar = 0;
    const auto n = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text.data() + i),
                                    static_cast<utf8proc_ssize_t>(text.size() - i), &scalar);
    if (n <= 0 || scalar < 0) {
        i += 1;
        return U'\uFFFD';
    }
    i += static_cast<std::size_t>(n);
    return static_cast<char32_t>(scalar);
}

// Sorted, so that membership is a binary search.
constexpr std::array<char32_t, 25> whiteSpace = {
    0x0009, 0x000A, 0x000B, 0x000C, 0x000D, 0x0020, 0x0085, 0x00A0, 0x1680,
    0x2000, 0x2001, 0x2002, 0x2003, 0x2004, 0x2005, 0x2006, 0x2007, 0x2008,
    0x2009, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000,
};
static_assert(std::is_sorted(whiteSpace.begin(), whiteSpace.end()));

} // namespace

bool canonicallyEquivalent(std::string_view a, std::string_view b) {
    if (a == b) {
        return true;
    }
    std::string na;
    std::string nb;
    if (!toNfc(a, na) || !toNfc(b, nb)) {
        return false;
    }
    return na == nb;
}

std::string decodeUtf8Lossy(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t i = 0;
    while (i < bytes.size()) {
        const int n = sequenceLength(s + i, bytes.size() - i);
        if (n > 0) {
            out.append(bytes.substr(i, static_cast<std::size_t>(n)));
            i += static_cast<std::size_t>(n);
        } else {
            out.append("\xEF\xBF\xBD");
            i += static_cast<std::size_t>(-n);
        }
    }
    return out;
}

std::vector<std::string_view> graphemeClusters(std::string_view text) {
    std::vector<std::string_view> clusters;
    if (text.empty()) {
        return clusters;
    }
    // One state for the whole text: the rules for emoji sequences and regional indicators need it,
    // and utf8proc requires every boundary to be asked about in order.
    utf8proc_int32_t state = 0;
    std::size_t start = 0;
    std::size_t i = 0;
    char32_t previous = scalarAt(text, i);
    while (i < text.size()) {
        const std::size_t at = i;
        const char32_t next = scalarAt(text, i);
        if (utf8proc_grapheme_break_stateful(static_cast<utf8proc_int32_t>(previous),
                                             static_cast<utf8proc_int32_t>(next), &state)) {
            clusters.push_back(text.substr(start, at - start));
            start = at;
        }
        previous = next;
    }
    clusters.push_back(text.substr(start));
    return clusters;
}

char32_t firstScalar(std::string_view text) {
    if (text.empty()) {
        return U'\uFFFD';
    }
    std::size_t i = 0;
    return scalarAt(text, i);
}

bool isNewlineScalar(char32_t scalar) noexcept {
    return (scalar >= 0x000A && scalar <= 0x000D) || scalar == 0x0085 || scalar == 0x2028 ||
           scalar == 0x2029;
}

bool isWhiteSpaceScalar(char32_t scalar) noexcept {
    return std::binary_search(whiteSpace.begin(), whiteSpace.end(), scalar);
}

std::string_view trimmingWhitespacesAndNewlines(std::string_view text) {
    std::size_t begin = 0;
    while (begin < text.size()) {
        std::size_t next = begin;
        if (!isWhiteSpaceScalar(scalarAt(text, next))) {
            break;
        }
        begin = next;
    }
    std::size_t end = text.size();
    while (end > begin) {
        // Step back to the start of the last scalar: skip continuation bytes.
        std::size_t last = end - 1;
        while (last > begin && (static_cast<unsigned char>(text[last]) & 0xC0) == 0x80) {
            --last;
        }
        std::size_t next = last;
        if (!isWhiteSpaceScalar(scalarAt(text, next)) || next != end) {
            break;
        }
        end = last;
    }
    return text.substr(begin, end - begin);
}

} // namespace zelvo
