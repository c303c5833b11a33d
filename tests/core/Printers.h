#pragma once

// How the core's values look in a failed expectation.

#include "Instant.h"
#include "PowerHelperError.h"
#include "PowerLease.h"

#include <ostream>

namespace zelvo {

inline void PrintTo(const Instant& instant, std::ostream* os) {
    *os << "Instant{" << instant.seconds << "}";
}

inline void PrintTo(const PowerHelperState& state, std::ostream* os) {
    *os << (state.heldByHelper ? "held" : "not held");
    if (state.leaseUntil) {
        *os << " until " << state.leaseUntil->seconds;
    } else {
        *os << " with no lease";
    }
}

inline void PrintTo(const PowerHelperError& error, std::ostream* os) {
    *os << "PowerHelperError(\"" << error.errorDescription() << "\")";
}

} // namespace zelvo
