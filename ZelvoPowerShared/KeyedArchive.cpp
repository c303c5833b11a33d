#include "KeyedArchive.h"

namespace zelvo {

namespace {

template <typename T>
const T* typedValue(const std::map<std::string, KeyedArchive::Value>& values,
                    const std::string& key, const char* typeName) {
    const auto found = values.find(key);
    if (found == values.end() || std::holds_alternative<std::monostate>(found->second)) {
        return nullptr;
    }
    if (const auto* value = std::get_if<T>(&found->second)) {
        return value;
    }
    throw KeyedArchiveError("value for key \"" + key + "\" is not " + typeName);
}

} // namespace

void KeyedArchive::encodeObject(const std::optional<std::string>& object, const std::string& key) {
    if (object) {
        values_[key] = *object;
    } else {
        values_[key] = std::monostate{};
    }
}

void KeyedArchive::encodeBool(bool value, const std::string& key) { values_[key] = value; }

void KeyedArchive::encodeInteger(std::int64_t value, const std::string& key) {
    values_[key] = value;
}

std::optional<std::string> KeyedArchive::decodeString(const std::string& key) const {
    if (const auto* value = typedValue<std::string>(values_, key, "a string")) {
        return *value;
    }
    return std::nullopt;
}

bool KeyedArchive::decodeBool(const std::string& key) const {
    const auto* value = typedValue<bool>(values_, key, "a boolean");
    return value != nullptr && *value;
}

std::int64_t KeyedArchive::decodeInteger(const std::string& key) const {
    const auto* value = typedValue<std::int64_t>(values_, key, "an integer");
    return value != nullptr ? *value : 0;
}

} // namespace zelvo
