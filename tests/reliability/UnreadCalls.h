#pragma once

#include <chrono>
#include <string>

namespace zelvo::reliability {

// A bus client that sends calls and never reads a byte of what comes back, as a hostile member
// would: it speaks the wire protocol itself on a socket of its own (the SASL EXTERNAL handshake,
// Hello, then method calls), since a bus library reads replies as a matter of course.
//
// Connects to DBUS_SYSTEM_BUS_ADDRESS (a unix:path= address). Throws std::runtime_error when it
// cannot connect or the bus refuses the handshake.
class UnreadCaller {
public:
    UnreadCaller();
    ~UnreadCaller();
    UnreadCaller(const UnreadCaller&) = delete;
    UnreadCaller& operator=(const UnreadCaller&) = delete;

    // Sends method calls with no arguments (each expecting a reply) as fast as the bus takes them
    // until the time is up; a write the bus does not take waits, at most until then. Returns how
    // many calls were written whole.
    long sendUntil(std::chrono::steady_clock::time_point end, const std::string& destination,
                   const std::string& path, const std::string& interface,
                   const std::string& member);

private:
    int fd_ = -1;
    std::uint32_t serial_ = 1;
};

} // namespace zelvo::reliability
