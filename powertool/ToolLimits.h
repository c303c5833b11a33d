#pragma once

#include <chrono>

namespace zelvo::powertool {

// Bounds that keep every run well inside the 5 s the daemon's runner allows. Worst cases:
// `-a disablesleep 1` waits out the holder's report (which includes its one Inhibit call), then one
// ListInhibitors: 2.5 s + 1 s. `-a disablesleep 0` waits for the holder's answer, then polls until
// the bound, the last call starting just before it: 1 s + 1.5 s + 1 s.
namespace ToolLimits {
using namespace std::chrono_literals;
// Every bus call, the connection's authentication included.
inline constexpr auto busCall = 1s;
// From starting the holder until it has reported the lock taken or why not.
inline constexpr auto holderReport = 2500ms;
// For the holder's answer to a release request.
inline constexpr auto releaseAnswer = 1s;
// For logind to stop listing a released lock, and the pause between two looks.
inline constexpr auto releaseListing = 1500ms;
inline constexpr auto releasePollInterval = 5ms;
} // namespace ToolLimits

} // namespace zelvo::powertool
