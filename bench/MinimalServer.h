#pragma once

// The names of the minimal server (bench-minimal-server), shared with the driver.
namespace zelvo::bench::minimal {

inline constexpr char busName[] = "com.zelvo.Bench.Minimal";
inline constexpr char objectPath[] = "/com/zelvo/Bench/Minimal";
inline constexpr char interfaceName[] = "com.zelvo.Bench.Minimal";
// No arguments; answers true.
inline constexpr char pingMethod[] = "Ping";

} // namespace zelvo::bench::minimal
