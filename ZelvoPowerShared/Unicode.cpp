#include "Unicode.h"

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
    const auto length = utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                                     static_cast<utf8proc_ssize_t>(text.size()), &result,
                                     static_cast<utf8proc_option_t>(UTF8PROC_STABLE |
                                                                    UTF8PROC_COMPOSE));
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

} // namespace zelvo
