#pragma once

// The names of the composed server (bench-composed-server), shared with the driver. Each method
// does in its handler exactly the work of one daemon request, in the daemon's order, on the bus
// thread of a one-thread sdbus-c++ server: the floor of a request as one bus call, wake-ups of
// client, bus, server and child included.
namespace zelvo::bench::composed {

inline constexpr char busName[] = "com.zelvo.Bench.Composed";
inline constexpr char objectPath[] = "/com/zelvo/Bench/Composed";
inline constexpr char interfaceName[] = "com.zelvo.Bench.Composed";
// -g; answers what it printed.
inline constexpr char statusMethod[] = "Status";
// -g, save, -a disablesleep 1, -g; answers true.
inline constexpr char holdMethod[] = "Hold";
// -g, save; answers true.
inline constexpr char renewMethod[] = "Renew";
// -g, -a disablesleep 0, -g, save; answers true.
inline constexpr char releaseMethod[] = "Release";

} // namespace zelvo::bench::composed
