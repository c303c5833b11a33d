// The status record decoder over keyed archives built from the fuzz input.
//
// The bytes are read as a list of writes into an archive, each:
//   key byte   one of `keys` below (modulo their count): the five real keys, near misses of them
//              and one unrelated key;
//   type byte  modulo 4: nil, boolean, integer, string; bit 2 set writes through the typed
//              encode calls instead of set();
//   value      boolean: one byte (its low bit); integer: 8 bytes, little-endian; string: a length
//              byte, then that many bytes. A value cut short by the end of the input is kept as far
//              as it goes.
// The same writes are applied to a plain model of the archive, and the decoder's outcome is
// predicted from the model: no record unless "helperVersion" holds a string; otherwise
// KeyedArchiveError when another real key holds a value of the wrong type, and else the record
// with false, 0 and absent for missing or nil keys. A record must encode to exactly its five keys
// in order and decode from that to the same five fields.
#include "FuzzTarget.h"
#include "KeyedArchive.h"
#include "PowerHelperProtocol.h"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace {

using zelvo::HelperStatus;
using zelvo::KeyedArchive;
using zelvo::KeyedArchiveError;
using zelvo::fuzz::check;
using zelvo::fuzz::fail;
using Value = KeyedArchive::Value;

const std::string keys[] = {
    "helperVersion",       "heldByHelper",
    "systemSleepDisabled", "leaseSecondsRemaining",
    "errorMessage",        "",
    "helperversion",       "errorMessage ",
    "leaseSeconds",        "unrelated",
};
constexpr std::size_t keyCount = sizeof keys / sizeof keys[0];

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    [[nodiscard]] bool atEnd() const { return position_ == size_; }
    std::uint8_t byte() { return atEnd() ? 0 : data_[position_++]; }
    std::string bytes(std::size_t count) {
        count = std::min(count, size_ - position_);
        std::string text(reinterpret_cast<const char*>(data_ + position_), count);
        position_ += count;
        return text;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t position_ = 0;
};

using Model = std::vector<std::pair<std::string, Value>>;

void write(Model& model, const std::string& key, const Value& value) {
    for (auto& entry : model) {
        if (entry.first == key) {
            entry.second = value;
            return;
        }
    }
    model.emplace_back(key, value);
}

void write(KeyedArchive& archive, const std::string& key, const Value& value, bool typed) {
    if (!typed) {
        archive.set(key, value);
    } else if (std::holds_alternative<std::monostate>(value)) {
        archive.encodeObject(std::nullopt, key);
    } else if (const auto* flag = std::get_if<bool>(&value)) {
        archive.encodeBool(*flag, key);
    } else if (const auto* number = std::get_if<std::int64_t>(&value)) {
        archive.encodeInteger(*number, key);
    } else {
        archive.encodeObject(std::get<std::string>(value), key);
    }
}

const Value* lookup(const Model& model, const std::string& key) {
    for (const auto& entry : model) {
        if (entry.first == key) {
            return &entry.second;
        }
    }
    return nullptr;
}

struct Fields {
    std::string helperVersion;
    bool heldByHelper = false;
    std::int64_t systemSleepDisabled = 0;
    std::int64_t leaseSecondsRemaining = 0;
    std::optional<std::string> errorMessage;

    friend bool operator==(const Fields&, const Fields&) = default;
};

Fields fieldsOf(const HelperStatus& status) {
    return {status.helperVersion(), status.heldByHelper(), status.systemSleepDisabled(),
            status.leaseSecondsRemaining(), status.errorMessage()};
}

// What decode must do with the model: nothing, a wrong-type failure, or these fields.
struct Prediction {
    bool record = false;
    bool wrongType = false;
    Fields fields;
};

// Reads `key` as T: the default when missing or nil, false when of another type.
template <typename T>
bool read(const Model& model, const std::string& key, T& out) {
    const Value* value = lookup(model, key);
    if (value == nullptr || std::holds_alternative<std::monostate>(*value)) {
        return true;
    }
    if (const auto* typed = std::get_if<T>(value)) {
        out = *typed;
        return true;
    }
    return false;
}

Prediction predict(const Model& model) {
    Prediction prediction;
    const Value* version = lookup(model, "helperVersion");
    if (version == nullptr || !std::holds_alternative<std::string>(*version)) {
        return prediction;
    }
    prediction.record = true;
    Fields& fields = prediction.fields;
    fields.helperVersion = std::get<std::string>(*version);
    std::string message;
    const bool typesFit = read(model, "heldByHelper", fields.heldByHelper) &&
                          read(model, "systemSleepDisabled", fields.systemSleepDisabled) &&
                          read(model, "leaseSecondsRemaining", fields.leaseSecondsRemaining) &&
                          read(model, "errorMessage", message);
    prediction.wrongType = !typesFit;
    if (const Value* error = lookup(model, "errorMessage");
        error != nullptr && std::holds_alternative<std::string>(*error)) {
        fields.errorMessage = message;
    }
    return prediction;
}

std::optional<HelperStatus> decodeOrFail(const KeyedArchive& archive, bool& threw) {
    threw = false;
    try {
        return HelperStatus::decode(archive);
    } catch (const KeyedArchiveError&) {
        threw = true;
        return std::nullopt;
    } catch (...) {
        fail("decode threw something other than KeyedArchiveError");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input input(data, size);
    KeyedArchive archive;
    Model model;
    while (!input.atEnd()) {
        const std::string& key = keys[input.byte() % keyCount];
        const std::uint8_t type = input.byte();
        Value value;
        switch (type % 4) {
        case 0:
            break;
        case 1:
            value = (input.byte() & 1) != 0;
            break;
        case 2: {
            std::uint64_t bits = 0;
            for (int shift = 0; shift < 64; shift += 8) {
                bits |= std::uint64_t{input.byte()} << shift;
            }
            value = static_cast<std::int64_t>(bits);
            break;
        }
        default:
            value = input.bytes(input.byte());
            break;
        }
        write(archive, key, value, (type & 4) != 0);
        write(model, key, value);
    }
    check(archive.values() == model, "the archive's entries differ from the writes made to it");

    bool threw = false;
    const auto status = decodeOrFail(archive, threw);
    const Prediction prediction = predict(model);
    if (!prediction.record) {
        check(!threw && !status, "decode made a record or threw without a helperVersion string");
        return 0;
    }
    if (prediction.wrongType) {
        check(threw, "decode accepted a value of the wrong type");
        return 0;
    }
    check(status.has_value(), "decode yielded no record for a well-typed archive");
    check(fieldsOf(*status) == prediction.fields,
          "decode read other fields than the archive holds");

    KeyedArchive encoded;
    status->encode(encoded);
    const Fields& fields = prediction.fields;
    const KeyedArchive::Entries expected = {
        {"helperVersion", fields.helperVersion},
        {"heldByHelper", fields.heldByHelper},
        {"systemSleepDisabled", fields.systemSleepDisabled},
        {"leaseSecondsRemaining", fields.leaseSecondsRemaining},
        {"errorMessage", fields.errorMessage ? Value{*fields.errorMessage} : Value{}},
    };
    check(encoded.values() == expected, "encode did not write the five keys in order");

    const auto again = decodeOrFail(encoded, threw);
    check(!threw && again && fieldsOf(*again) == fields, "the record did not survive a round trip");
    return 0;
}
