#pragma once

#include <chrono>

namespace zelvo::powertool {

// Bounds that keep every run well inside the 5 s the daemon's runner allows. A bus connection
// costs at most two busCall (its authentication, then a call). Worst cases: `-a disablesleep 1`
// waits out the holder's report (its connection and Inhibit, 1.5 s, fit in it), then one
// connection: 0.25 s + 2 s + 1.5 s. `-a disablesleep 0` waits for the holder's answer, connects,
// then polls until the bound, the last call starting just before it: 0.5 s + 0.75 s + 1.5 s + 0.75
// s.
namespace ToolLimits {
using namespace std::chrono_literals;
// The connection's authentication, and every bus call.
inline constexpr auto busCall = 750ms;
// For the name of a holder that is ending to become free.
inline constexpr auto holderHandover = 250ms;
// From starting the holder until it has reported the lock taken or why not.
inline constexpr auto holderReport = 2000ms;
// For the holder's answer to a release request; a live holder answers at once.
inline constexpr auto releaseAnswer = 500ms;
// For logind to stop listing a released lock, and the pause between two looks.
inline constexpr auto releaseListing = 1500ms;
inline constexpr auto releasePollInterval = 5ms;
} // namespace ToolLimits

} // namespace zelvo::powertool
