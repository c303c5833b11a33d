#pragma once

#include "PowerHelperProtocol.h"

#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace sdbus {
class MethodCall;
}

namespace zelvo::transport {

// What a request is answered with, before it is put on the wire.
struct BasicAnswer {
    bool success;
    std::optional<std::string> error;
};
struct StatusAnswer {
    HelperStatus status;
};
struct FailureAnswer {
    std::string message;
};
using Answer = std::variant<BasicAnswer, StatusAnswer, FailureAnswer>;

// text when it is valid UTF-8, otherwise text with each invalid sequence replaced by U+FFFD.
[[nodiscard]] std::string validUtf8(std::string_view text);

// Sends the reply to call in the interface's wire shapes: (bas) for hold and release, (sa{sv}) for
// a status (its fields in the order the record writes them, nil fields left out), and the error
// org.freedesktop.DBus.Error.Failed for a failure or for an answer that cannot be encoded. Throws
// only when the bus is gone. Any thread: sdbus-c++ serialises the send on the connection.
void sendReply(sdbus::MethodCall& call, Answer& answer);

} // namespace zelvo::transport
