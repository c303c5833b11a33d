#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace zelvo {

// A keyed archive: string keys to nil, booleans, 64-bit integers or strings. It is the coded form
// of the status record and maps one to one onto a D-Bus a{sv} (a nil value is a key left out).
//
// Entries keep the order in which their keys were first written; writing a key again replaces its
// value in place.
//
// Decoding follows secure keyed coding: a missing key (or nil) gives the type's default (nothing,
// false, 0); a value of another type than asked for throws KeyedArchiveError.
class KeyedArchive {
public:
    using Value = std::variant<std::monostate, bool, std::int64_t, std::string>;
    using Entries = std::vector<std::pair<std::string, Value>>;

    void encodeObject(const std::optional<std::string>& object, const std::string& key);
    void encodeBool(bool value, const std::string& key);
    void encodeInteger(std::int64_t value, const std::string& key);

    // The string under key; nothing when the key is missing or nil.
    [[nodiscard]] std::optional<std::string> decodeString(const std::string& key) const;
    [[nodiscard]] bool decodeBool(const std::string& key) const;
    [[nodiscard]] std::int64_t decodeInteger(const std::string& key) const;

    // The value under key as stored, or null when the key is missing.
    [[nodiscard]] const Value* find(const std::string& key) const;
    [[nodiscard]] const Entries& values() const noexcept { return values_; }
    void set(const std::string& key, Value value);

private:
    Entries values_;
};

class KeyedArchiveError final : public std::exception {
public:
    explicit KeyedArchiveError(std::string message) : message_(std::move(message)) {}
    [[nodiscard]] const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

} // namespace zelvo
