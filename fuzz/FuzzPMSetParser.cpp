// The pmset output parser on arbitrary bytes. It must return 0 or 1, or throw exactly
// invalidSleepDisabledOutput; nothing else may escape, and it must not crash or hang. On ASCII text
// its answer must match the small reference reader below, and line breaks around the text must not
// change the answer.
#include "FuzzTarget.h"
#include "PMSet.h"
#include "PowerHelperError.h"

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

using zelvo::fuzz::check;
using zelvo::fuzz::fail;

// The parser's answer; nothing when it refused the text.
std::optional<int> parse(std::string_view text) {
    try {
        const int value = zelvo::PMSetParser::sleepDisabled(text);
        check(value == 0 || value == 1, "sleepDisabled returned a value other than 0 or 1");
        return value;
    } catch (const zelvo::PowerHelperError& error) {
        check(error == zelvo::PowerHelperError::invalidSleepDisabledOutput(),
              "sleepDisabled threw a PowerHelperError other than invalidSleepDisabledOutput");
        return std::nullopt;
    } catch (...) {
        fail("sleepDisabled threw something other than a PowerHelperError");
    }
}

// On ASCII every character is one byte except CR LF, which is a line break either way; the line
// breaks are LF, VT, FF and CR, and tab and space are the other whitespace.
bool isAsciiLineBreak(char c) {
    return c >= '\n' && c <= '\r';
}

bool isAsciiBlank(char c) {
    return c == '\t' || c == ' ';
}

// 0 or 1 when the token is an optionally signed decimal of that value; leading zeros allowed.
std::optional<int> referenceValue(std::string_view token) {
    bool negative = false;
    if (!token.empty() && (token.front() == '+' || token.front() == '-')) {
        negative = token.front() == '-';
        token.remove_prefix(1);
    }
    if (token.empty() ||
        !std::all_of(token.begin(), token.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    token.remove_prefix(std::min(token.find_first_not_of('0'), token.size()));
    if (token.empty()) {
        return 0;
    }
    if (token == "1" && !negative) {
        return 1;
    }
    return std::nullopt;
}

std::optional<int> referenceParse(std::string_view text) {
    std::vector<int> found;
    std::size_t lineStart = 0;
    while (lineStart <= text.size()) {
        std::size_t lineEnd = lineStart;
        while (lineEnd < text.size() && !isAsciiLineBreak(text[lineEnd])) {
            ++lineEnd;
        }
        std::vector<std::string_view> tokens;
        for (std::size_t i = lineStart; i < lineEnd;) {
            if (isAsciiBlank(text[i])) {
                ++i;
                continue;
            }
            std::size_t end = i;
            while (end < lineEnd && !isAsciiBlank(text[end])) {
                ++end;
            }
            tokens.push_back(text.substr(i, end - i));
            i = end;
        }
        if (tokens.size() == 2 && tokens[0] == "SleepDisabled") {
            if (const auto value = referenceValue(tokens[1])) {
                found.push_back(*value);
            }
        }
        lineStart = lineEnd + 1;
    }
    if (found.size() != 1) {
        return std::nullopt;
    }
    return found.front();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto answer = parse(text);

    check(parse("\n" + text + "\n") == answer, "line breaks around the text changed the answer");

    const bool ascii = std::all_of(text.begin(), text.end(),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (ascii) {
        check(answer == referenceParse(text), "the answer differs from the ASCII reference reader");
    }
    return 0;
}
