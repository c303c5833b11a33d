#pragma once

#include "PowerHelperProtocol.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

namespace zelvo {

// The daemon answered a request with a failure; what() is the daemon's description.
class HelperRequestFailed final : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The daemon could not be reached, did not answer in time, or answered out of contract (a status
// reply of another class, a malformed record); what() says which.
class HelperUnreachable final : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A client of the daemon on the system bus (DBUS_SYSTEM_BUS_ADDRESS is honoured). Each call blocks
// for at most the time-out. Not for concurrent use from several threads.
class PowerHelperClient {
public:
    static constexpr std::chrono::milliseconds defaultTimeout{30'000};

    explicit PowerHelperClient(std::chrono::milliseconds timeout = defaultTimeout);
    ~PowerHelperClient();

    PowerHelperClient(const PowerHelperClient&) = delete;
    PowerHelperClient& operator=(const PowerHelperClient&) = delete;

    // Throw HelperRequestFailed or HelperUnreachable.
    void hold(std::int64_t leaseSeconds);
    void release();
    [[nodiscard]] HelperStatus status();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace zelvo
