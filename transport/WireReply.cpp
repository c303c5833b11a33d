#include "WireReply.h"

#include "KeyedArchive.h"
#include "Unicode.h"

#include <algorithm>
#include <sdbus-c++/sdbus-c++.h>
#include <vector>

namespace zelvo::transport {
namespace {

constexpr const char* failedError = "org.freedesktop.DBus.Error.Failed";

// The status's keyed fields as a{sv}, in the order the record writes them (its field table's
// order), written straight into the reply: an sdbus::Variant per field would build and copy a
// message of its own. A nil value is a key left out.
void appendWireFields(sdbus::MethodReply& reply, const HelperStatus& status) {
    KeyedArchive archive;
    status.encode(archive);
    reply.openContainer("{sv}");
    for (const auto& [key, value] : archive.values()) {
        if (std::holds_alternative<std::monostate>(value)) {
            continue;
        }
        reply.openDictEntry("sv");
        reply << validUtf8(key);
        if (const auto* text = std::get_if<std::string>(&value)) {
            reply.openVariant("s");
            reply << validUtf8(*text);
        } else if (const auto* flag = std::get_if<bool>(&value)) {
            reply.openVariant("b");
            reply << *flag;
        } else {
            reply.openVariant("x");
            reply << std::get<std::int64_t>(value);
        }
        reply.closeVariant();
        reply.closeDictEntry();
    }
    reply.closeContainer();
}

} // namespace

std::string validUtf8(std::string_view text) {
    // ASCII is valid UTF-8 as it is, and is what the daemon's texts nearly always are.
    const bool ascii = std::all_of(text.begin(), text.end(),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    return ascii ? std::string(text) : decodeUtf8Lossy(text);
}

void sendReply(sdbus::MethodCall& call, Answer& answer) {
    sdbus::MethodReply reply;
    // Building a reply fails only on its content; sending fails only when the bus is gone.
    try {
        if (auto* basic = std::get_if<BasicAnswer>(&answer)) {
            std::vector<std::string> error;
            if (basic->error) {
                error.push_back(validUtf8(*basic->error));
            }
            reply = call.createReply();
            reply << basic->success << error;
        } else if (auto* status = std::get_if<StatusAnswer>(&answer)) {
            reply = call.createReply();
            reply << std::string(HelperStatus::className);
            appendWireFields(reply, status->status);
        } else {
            const auto& failure = std::get<FailureAnswer>(answer);
            reply = call.createErrorReply(sdbus::Error(failedError, validUtf8(failure.message)));
        }
    } catch (const std::exception& error) {
        reply = call.createErrorReply(sdbus::Error(failedError, "The reply could not be encoded: " +
                                                                    validUtf8(error.what())));
    }
    reply.send();
}

} // namespace zelvo::transport
