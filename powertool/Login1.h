#pragma once

#include "InhibitorLock.h"
#include "UniqueFd.h"

#include <memory>
#include <vector>

struct sd_bus;

namespace zelvo::powertool {

// A connection to logind's manager over the system bus (DBUS_SYSTEM_BUS_ADDRESS is honoured). The
// connection's set-up and each call are bounded by ToolLimits::busCall. Every failure throws
// ToolFailure with a sentence that names the step and carries the bus's or logind's own error text.
// One thread at a time.
class Login1 {
public:
    // Throws when the bus cannot be reached.
    static Login1 connect();

    [[nodiscard]] std::vector<InhibitorRow> listInhibitors();

    // Takes OurLock as the calling process; the lock lasts as long as the returned descriptor (and
    // any copy of it) stays open, whether or not this connection does.
    [[nodiscard]] UniqueFd inhibitOurLock();

private:
    struct Closer {
        void operator()(sd_bus* bus) const noexcept;
    };
    explicit Login1(sd_bus* bus) : bus_(bus) {}

    std::unique_ptr<sd_bus, Closer> bus_;
};

} // namespace zelvo::powertool
