#pragma once

#include <compare>

namespace zelvo {

// A point in wall-clock time: seconds since the Unix epoch as a double. Infinite and NaN values are
// representable on purpose, because the lease rules say how they behave. Nothing in the lease logic
// reads the clock; callers take `Instant::now()` once per event and pass it down.
struct Instant {
    double seconds = 0.0;

    // Reads the system's wall clock. Only adapters and the daemon's event handlers call this.
    static Instant now();

    // `this - earlier`, in seconds.
    [[nodiscard]] double timeIntervalSince(Instant earlier) const {
        return seconds - earlier.seconds;
    }
    [[nodiscard]] Instant addingSeconds(double delta) const { return Instant{seconds + delta}; }

    // Exact comparison of the seconds (so NaN is unequal to everything, itself included).
    friend bool operator==(Instant, Instant) = default;
    friend auto operator<=>(Instant a, Instant b) { return a.seconds <=> b.seconds; }
};

} // namespace zelvo
