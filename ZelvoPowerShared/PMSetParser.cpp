#include "PMSet.h"
#include "PowerHelperError.h"
#include "Unicode.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace zelvo::PMSetParser {

namespace {

// A token is kept as its characters (extended grapheme clusters), so that the grammar below can
// ask about whole characters: a digit followed by a combining mark is one character, not a digit.
using Token = std::span<const std::string_view>;

// The characters are consecutive pieces of one text, so a token's text is the stretch they cover.
std::string_view textOf(Token token) {
    return {
        token.front().data(),
        static_cast<std::size_t>(token.back().data() + token.back().size() - token.front().data())};
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
std::optional<std::int64_t> parseDecimal(Token token) {
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
    std::string decoded;
    if (!ascii) {
        decoded = decodeUtf8Lossy(output);
    }
    const std::string_view text = ascii ? output : std::string_view(decoded);
    const std::vector<std::string_view> characters =
        ascii ? asciiClusters(text) : graphemeClusters(text);

    // A line is a candidate when it has exactly two tokens, so only its first two are kept (as
    // ranges of characters) and the rest counted. Empty and blank lines have no tokens, so they
    // are dropped without a step of their own.
    std::size_t tokenStart[2] = {0, 0};
    std::size_t tokenLength[2] = {0, 0};
    std::size_t tokenCount = 0;
    bool inToken = false;
    std::size_t found = 0;
    std::int64_t value = 0;
    const auto endLine = [&] {
        if (tokenCount == 2) {
            const Token all(characters);
            const Token name = all.subspan(tokenStart[0], tokenLength[0]);
            const bool named = ascii ? textOf(name) == "SleepDisabled"
                                     : canonicallyEquivalent(textOf(name), "SleepDisabled");
            const auto number =
                named ? parseDecimal(all.subspan(tokenStart[1], tokenLength[1])) : std::nullopt;
            if (number && (*number == 0 || *number == 1)) {
                ++found;
                value = *number;
            }
        }
        tokenCount = 0;
        inToken = false;
    };
    for (std::size_t i = 0; i < characters.size(); ++i) {
        // A character is a newline or whitespace by its first scalar; CR LF is one character.
        const std::string_view character = characters[i];
        const char32_t first = ascii ? static_cast<char32_t>(character[0]) : firstScalar(character);
        if (isNewlineScalar(first)) {
            endLine();
        } else if (isWhiteSpaceScalar(first)) {
            inToken = false;
        } else {
            if (!inToken) {
                if (tokenCount < 2) {
                    tokenStart[tokenCount] = i;
                    tokenLength[tokenCount] = 0;
                }
                ++tokenCount;
                inToken = true;
            }
            if (tokenCount <= 2) {
                ++tokenLength[tokenCount - 1];
            }
        }
    }
    endLine();

    if (found != 1) {
        throw PowerHelperError::invalidSleepDisabledOutput();
    }
    return static_cast<int>(value);
}

} // namespace zelvo::PMSetParser
