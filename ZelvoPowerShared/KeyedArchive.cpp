#include "KeyedArchive.h"

namespace zelvo {

namespace {

template <typename T>
const T* typedValue(const KeyedArchive& archive, const std::string& key, const char* typeName) {
    const auto* found = archive.find(key);
    if (found == nullptr || std::holds_alternative<std::monostate>(*found)) {
        return nullptr;
    }
    if (const auto* value = std::get_if<T>(found)) {
        return value;
    }
    throw KeyedArchiveError("value for key \"" + key + "\" is not " + typeName);
}

} // namespace

void KeyedArchive::set(const std::string& key, Value value) {
    for (auto& entry : values_) {
        if (entry.first == key) {
            entry.second = std::move(value);
            return;
        }
    }
    values_.emplace_back(key, std::move(value));
}

const KeyedArchive::Value* KeyedArchive::find(const std::string& key) const {
    for (const auto& entry : values_) {
        if (entry.first == key) {
            return &entry.second;
        }
    }
    return nullptr;
}

void KeyedArchive::encodeObject(const std::optional<std::string>& object, const std::string& key) {
    if (object) {
        set(key, *object);
    } else {
        set(key, std::monostate{});
    }
}

void KeyedArchive::encodeBool(bool value, const std::string& key) {
    set(key, value);
}

void KeyedArchive::encodeInteger(std::int64_t value, const std::string& key) {
    set(key, value);
}

std::optional<std::string> KeyedArchive::decodeString(const std::string& key) const {
    if (const auto* value = typedValue<std::string>(*this, key, "a string")) {
        return *value;
    }
    return std::nullopt;
}

bool KeyedArchive::decodeBool(const std::string& key) const {
    const auto* value = typedValue<bool>(*this, key, "a boolean");
    return value != nullptr && *value;
}

std::int64_t KeyedArchive::decodeInteger(const std::string& key) const {
    const auto* value = typedValue<std::int64_t>(*this, key, "an integer");
    return value != nullptr ? *value : 0;
}

} // namespace zelvo
