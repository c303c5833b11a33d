#include "StateDocument.h"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <nlohmann/json.hpp>

namespace zelvo::StateDocument {

namespace {

using namespace std::chrono;

constexpr std::int64_t secondsPerDay = 86400;
// The whole seconds that the four-digit form can name: 0000-01-01T00:00:00Z to
// 9999-12-31T23:59:59Z.
constexpr std::int64_t firstSecond =
    sys_days{year{0} / January / 1}.time_since_epoch().count() * secondsPerDay;
constexpr std::int64_t lastSecond =
    sys_days{year{10000} / January / 1}.time_since_epoch().count() * secondsPerDay - 1;

std::int64_t wholeSecond(Instant instant) {
    if (!std::isfinite(instant.seconds)) {
        throw Error("state document: leaseUntil is not a finite instant");
    }
    const double whole = std::floor(instant.seconds);
    if (whole < static_cast<double>(firstSecond) || whole > static_cast<double>(lastSecond)) {
        throw Error("state document: leaseUntil lies outside the years 0000 to 9999");
    }
    return static_cast<std::int64_t>(whole);
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// A cursor over a date text; every step consumes only what it accepts.
class Reader {
public:
    explicit Reader(std::string_view text) : text_(text) {}

    bool number(std::size_t digits, int& value) {
        if (text_.size() - position_ < digits) {
            return false;
        }
        value = 0;
        for (std::size_t i = 0; i < digits; ++i) {
            const char c = text_[position_ + i];
            if (!isDigit(c)) {
                return false;
            }
            value = value * 10 + (c - '0');
        }
        position_ += digits;
        return true;
    }

    bool literal(char c) {
        if (position_ < text_.size() && text_[position_] == c) {
            ++position_;
            return true;
        }
        return false;
    }

    // One or more digits after a point, as nanoseconds; digits past the ninth are dropped.
    bool fraction(std::int64_t& nanoseconds) {
        const std::size_t start = position_;
        nanoseconds = 0;
        int counted = 0;
        for (; position_ < text_.size() && isDigit(text_[position_]); ++position_) {
            if (counted < 9) {
                nanoseconds = nanoseconds * 10 + (text_[position_] - '0');
                ++counted;
            }
        }
        for (; counted < 9; ++counted) {
            nanoseconds *= 10;
        }
        return position_ > start;
    }

    [[nodiscard]] bool atEnd() const { return position_ == text_.size(); }

private:
    std::string_view text_;
    std::size_t position_ = 0;
};

} // namespace

std::string dateText(Instant instant) {
    const sys_seconds time{seconds{wholeSecond(instant)}};
    const sys_days day = floor<days>(time);
    const year_month_day date{day};
    const hh_mm_ss<seconds> clock{time - day};
    char text[64];
    std::snprintf(
        text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", int{date.year()},
        unsigned{date.month()}, unsigned{date.day()}, static_cast<int>(clock.hours().count()),
        static_cast<int>(clock.minutes().count()), static_cast<int>(clock.seconds().count()));
    return text;
}

std::optional<Instant> parseDate(std::string_view text) {
    Reader reader(text);
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    if (!(reader.number(4, y) && reader.literal('-') && reader.number(2, mo) &&
          reader.literal('-') && reader.number(2, d) && reader.literal('T') &&
          reader.number(2, h) && reader.literal(':') && reader.number(2, mi) &&
          reader.literal(':') && reader.number(2, s))) {
        return std::nullopt;
    }
    std::int64_t nanoseconds = 0;
    if (reader.literal('.') && !reader.fraction(nanoseconds)) {
        return std::nullopt;
    }
    std::int64_t offset = 0;
    if (!reader.literal('Z')) {
        const bool ahead = reader.literal('+');
        if (!ahead && !reader.literal('-')) {
            return std::nullopt;
        }
        int offsetHours = 0, offsetMinutes = 0;
        if (!(reader.number(2, offsetHours) && reader.literal(':') &&
              reader.number(2, offsetMinutes)) ||
            offsetHours > 23 || offsetMinutes > 59) {
            return std::nullopt;
        }
        offset = (ahead ? 1 : -1) * (offsetHours * 3600 + offsetMinutes * 60);
    }
    if (!reader.atEnd()) {
        return std::nullopt;
    }

    const year_month_day date{year{y}, month{static_cast<unsigned>(mo)},
                              day{static_cast<unsigned>(d)}};
    if (!date.ok() || h > 23 || mi > 59 || s > 59) {
        return std::nullopt;
    }
    const std::int64_t whole =
        sys_days{date}.time_since_epoch().count() * secondsPerDay + h * 3600 + mi * 60 + s - offset;
    if (whole < firstSecond || whole > lastSecond) {
        return std::nullopt;
    }
    double value = static_cast<double>(whole) + static_cast<double>(nanoseconds) / 1e9;
    // Far from the epoch a fraction close to 1 rounds up to the next second; keep the named one.
    if (std::floor(value) != static_cast<double>(whole)) {
        value = std::nextafter(static_cast<double>(whole) + 1.0, static_cast<double>(whole));
    }
    return Instant{value};
}

std::string encode(const PowerHelperState& state) {
    // nlohmann's default object keeps its keys sorted, and dump() with no indent is compact.
    nlohmann::json document = nlohmann::json::object();
    document["heldByHelper"] = state.heldByHelper;
    if (state.leaseUntil) {
        document["leaseUntil"] = dateText(*state.leaseUntil);
    }
    return document.dump();
}

PowerHelperState decode(std::string_view text) {
    const nlohmann::json document = nlohmann::json::parse(text.begin(), text.end());
    if (!document.is_object()) {
        throw Error("state document: the top-level value must be an object");
    }
    const auto held = document.find("heldByHelper");
    if (held == document.end()) {
        throw Error("state document: heldByHelper is missing");
    }
    if (!held->is_boolean()) {
        throw Error("state document: heldByHelper must be true or false");
    }
    PowerHelperState state;
    state.heldByHelper = held->get<bool>();

    const auto lease = document.find("leaseUntil");
    if (lease != document.end() && !lease->is_null()) {
        if (!lease->is_string()) {
            throw Error("state document: leaseUntil must be a date string or null");
        }
        state.leaseUntil = parseDate(lease->get_ref<const std::string&>());
        if (!state.leaseUntil) {
            throw Error("state document: leaseUntil is not a date of the form "
                        "YYYY-MM-DDTHH:MM:SSZ in the years 0000 to 9999");
        }
    }
    return state;
}

} // namespace zelvo::StateDocument
