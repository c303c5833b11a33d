#include "PMSet.h"
#include "PowerHelperError.h"
#include "Unicode.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace zelvo::PMSetParser {

namespace {

// A token is kept as its characters (extended grapheme clusters), so that the grammar below can
// ask about whole characters: a digit followed by a combining mark is one character, not a digit.
using Token = std::vector<std::string_view>;

std::string textOf(const Token& token) {
    std::string text;
    for (const auto cluster : token) {
        text.append(cluster);
    }
    return text;
}

// The character's one byte when it is a single ASCII scalar; nothing otherwise.
std::optional<char> asciiCharacter(std::string_view cluster) {
    if (cluster.size() == 1 && static_cast<unsigned char>(cluster[0]) < 0x80) {
        return cluster[0];
    }
    return std::nullopt;
}

// An optional single "+" or "-", then one or more ASCII digits and nothing else, within the signed
// 64-bit range. Leading zeros are allowed however many there are.
std::optional<std::int64_t> parseDecimal(const Token& token) {
    std::size_t i = 0;
    bool negative = false;
    if (i < token.size()) {
        const auto sign = asciiCharacter(token[i]);
        if (sign == '+' || sign == '-') {
            negative = sign == '-';
            ++i;
        }
    }
    if (i == token.size()) {
        return std::nullopt;
    }
    // Accumulated towards the sign, so that the most negative value fits too.
    std::int64_t value = 0;
    constexpr auto max = std::numeric_limits<std::int64_t>::max();
    constexpr auto min = std::numeric_limits<std::int64_t>::min();
    for (; i < token.size(); ++i) {
        const auto c = asciiCharacter(token[i]);
        if (!c || *c < '0' || *c > '9') {
            return std::nullopt;
        }
        const int digit = *c - '0';
        if (negative) {
            if (value < (min + digit) / 10) {
                return std::nullopt;
            }
            value = value * 10 - digit;
        } else {
            if (value > (max - digit) / 10) {
                return std::nullopt;
            }
            value = value * 10 + digit;
        }
    }
    return value;
}

bool isAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// What graphemeClusters gives for ASCII text, without its tables: no ASCII scalar extends or
// joins another, so each byte is a character of its own, except CR LF, which is one.
std::vector<std::string_view> asciiClusters(std::string_view text) {
    std::vector<std::string_view> clusters;
    clusters.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const std::size_t length =
            text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n' ? 2 : 1;
        clusters.push_back(text.substr(i, length));
        i += length - 1;
    }
    return clusters;
}

} // namespace

int sleepDisabled(std::string_view output) {
    // pmset writes ASCII, which is valid UTF-8 and its own canonical form: it needs neither
    // decoding nor normalisation, and its characters are found without the Unicode tables.
    const bool ascii = isAscii(output);
    // The runner already decodes pmset's bytes; any other caller's invalid bytes become U+FFFD
    // here, which is neither whitespace nor a digit, so they can only spoil their own token.
    const std::string text = ascii ? std::string(output) : decodeUtf8Lossy(output);

    std::vector<std::vector<Token>> lines(1);
    bool inToken = false;
    for (const auto cluster : ascii ? asciiClusters(text) : graphemeClusters(text)) {
        // A character is a newline or whitespace by its first scalar; CR LF is one character.
        const char32_t first = firstScalar(cluster);
        if (isNewlineScalar(first)) {
            lines.emplace_back();
            inToken = false;
        } else if (isWhiteSpaceScalar(first)) {
            inToken = false;
        } else {
            if (!inToken) {
                lines.back().emplace_back();
                inToken = true;
            }
            lines.back().back().push_back(cluster);
        }
    }

    // Empty lines and blank lines have no tokens, so they cannot be candidates: dropping them, as
    // the algorithm says, needs no step of its own.
    std::vector<std::int64_t> collected;
    for (const auto& tokens : lines) {
        if (tokens.size() != 2) {
            continue;
        }
        const std::string name = textOf(tokens[0]);
        if (ascii ? name != "SleepDisabled" : !canonicallyEquivalent(name, "SleepDisabled")) {
            continue;
        }
        const auto value = parseDecimal(tokens[1]);
        if (value && (*value == 0 || *value == 1)) {
            collected.push_back(*value);
        }
    }
    if (collected.size() != 1) {
        throw PowerHelperError::invalidSleepDisabledOutput();
    }
    return static_cast<int>(collected.front());
}

} // namespace zelvo::PMSetParser
