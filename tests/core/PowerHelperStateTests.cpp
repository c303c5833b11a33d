#include "PowerHelperError.h"
#include "PowerLease.h"
#include "Printers.h"

#include <cmath>
#include <cstdint>
#include <gtest/gtest.h>
#include <limits>
#include <optional>
#include <vector>

namespace zelvo {
namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();
const Instant now{1'000'000.0};

struct ValidityRow {
    const char* name;
    PowerHelperState state;
    bool valid;
};

TEST(APowerHelperState, IsValidWhenAHoldHasAFiniteLeaseAndAnyLeaseIsFinite) {
    const std::vector<ValidityRow> rows = {
        {"not held, no lease", {false, std::nullopt}, true},
        {"held, finite lease", {true, now.addingSeconds(30)}, true},
        {"held, lease long ago", {true, Instant{-1e12}}, true},
        {"held, lease far ahead", {true, Instant{1e300}}, true},
        {"not held, finite lease", {false, now.addingSeconds(10)}, true},
        {"held, no lease", {true, std::nullopt}, false},
        {"held, +inf", {true, Instant{inf}}, false},
        {"held, -inf", {true, Instant{-inf}}, false},
        {"held, NaN", {true, Instant{nan}}, false},
        {"not held, +inf", {false, Instant{inf}}, false},
        {"not held, -inf", {false, Instant{-inf}}, false},
        {"not held, NaN", {false, Instant{nan}}, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.valid) {
            EXPECT_NO_THROW(row.state.validate());
            continue;
        }
        try {
            row.state.validate();
            ADD_FAILURE() << "validate() returned";
        } catch (const PowerHelperError& error) {
            EXPECT_EQ(error, PowerHelperError::invalidState("a hold must have a finite lease"));
            EXPECT_EQ(error.errorDescription(),
                      "Invalid helper state: a hold must have a finite lease");
        }
    }
}

TEST(APowerHelperState, IsNotHeldWithNoLeaseWhenFreshlyDeclared) {
    const PowerHelperState state;
    EXPECT_FALSE(state.heldByHelper);
    EXPECT_FALSE(state.leaseUntil.has_value());
}

struct TimeRow {
    const char* name;
    PowerHelperState state;
    Instant at;
    std::int64_t secondsRemaining;
    bool expired;
};

TEST(APowerHelperState, CountsWholeSecondsLeftAndRunsOutAtTheEndOfItsLease) {
    const std::vector<TimeRow> rows = {
        {"held, no lease", {true, std::nullopt}, now, 0, true},
        {"not held, no lease", {false, std::nullopt}, now, 0, false},
        {"not held, lease 10 s ahead", {false, now.addingSeconds(10)}, now, 0, false},
        {"not held, lease long past", {false, now.addingSeconds(-100)}, now, 0, false},
        {"held, +0.25 s", {true, now.addingSeconds(0.25)}, now, 1, false},
        {"held, +1 ns", {true, now.addingSeconds(1e-9)}, now, 1, false},
        {"held, +1 s", {true, now.addingSeconds(1)}, now, 1, false},
        {"held, +30 s", {true, now.addingSeconds(30)}, now, 30, false},
        {"held, +30.5 s", {true, now.addingSeconds(30.5)}, now, 31, false},
        {"held, +59.01 s", {true, now.addingSeconds(59.01)}, now, 60, false},
        {"held, +60 s", {true, now.addingSeconds(60)}, now, 60, false},
        {"held, +61 s", {true, now.addingSeconds(61)}, now, 60, false},
        {"held, an hour ahead", {true, now.addingSeconds(3600)}, now, 60, false},
        {"held, 1e300 ahead", {true, Instant{1e300}}, now, 60, false},
        {"held, exactly now (boundary)", {true, now}, now, 0, true},
        {"held, 0.5 s before the boundary", {true, now}, now.addingSeconds(-0.5), 1, false},
        {"held, -0.5 s (ceiling is minus zero)", {true, now.addingSeconds(-0.5)}, now, 0, true},
        {"held, -10 s", {true, now.addingSeconds(-10)}, now, 0, true},
        {"held, 1e300 ago", {true, Instant{-1e300}}, now, 0, true},
        {"held, +inf lease", {true, Instant{inf}}, now, 60, false},
        {"held, -inf lease", {true, Instant{-inf}}, now, 0, true},
        // Not earlier than the lease's end, so run out.
        {"held, NaN lease", {true, Instant{nan}}, now, 0, true},
        {"held, NaN now", {true, now}, Instant{nan}, 0, true},
        {"held, +inf lease at +inf", {true, Instant{inf}}, Instant{inf}, 0, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.state.secondsRemaining(row.at), row.secondsRemaining);
        EXPECT_EQ(row.state.isExpired(row.at), row.expired);
    }
}

TEST(APowerHelperState, MeetsTheBoundaryWithoutAGap) {
    const PowerHelperState held{true, now};
    const Instant justBefore{std::nextafter(now.seconds, 0.0)};
    EXPECT_TRUE(held.isExpired(now));
    EXPECT_EQ(held.secondsRemaining(now), 0);
    EXPECT_FALSE(held.isExpired(justBefore));
    EXPECT_GE(held.secondsRemaining(justBefore), 1);
}

struct ExitRow {
    const char* name;
    bool heldByHelper;
    double idleSeconds; // now - lastActivityAt
    bool shouldExit;
};

TEST(APowerHelperState, SaysAnIdleDaemonHoldingNothingShouldExitAfterSixtySeconds) {
    const std::vector<ExitRow> rows = {
        {"not held, idle 59.999 s", false, 59.999, false},
        {"not held, idle exactly 60 s", false, 60.0, true},
        {"not held, idle 61 s", false, 61.0, true},
        {"not held, idle 0 s", false, 0.0, false},
        {"held, idle an hour", true, 3600.0, false},
        {"held, idle exactly 60 s", true, 60.0, false},
        {"not held, activity in the future", false, -5.0, false},
        {"not held, idle for ever", false, inf, true},
        {"not held, NaN idle time", false, nan, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const Instant lastActivityAt = now.addingSeconds(-row.idleSeconds);
        const Instant at = std::isnan(row.idleSeconds) ? Instant{nan} : now;
        EXPECT_EQ(PowerHelperState::shouldExit(row.heldByHelper, lastActivityAt, at),
                  row.shouldExit);
    }
}

struct EqualityRow {
    const char* name;
    PowerHelperState a;
    PowerHelperState b;
    bool equal;
};

TEST(APowerHelperState, IsEqualForEqualFieldsComparingInstantsExactly) {
    const Instant t = now.addingSeconds(42);
    const std::vector<EqualityRow> rows = {
        {"held until t, twice", {true, t}, {true, t}, true},
        {"not held, no lease, twice", {false, std::nullopt}, {false, std::nullopt}, true},
        {"not held: no lease vs until t", {false, std::nullopt}, {false, t}, false},
        {"held vs not held until t", {true, t}, {false, t}, false},
        {"held until t vs t + 1 ns", {true, t}, {true, t.addingSeconds(1e-6)}, false},
        {"not held until t, twice", {false, t}, {false, t}, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.a == row.b, row.equal);
        EXPECT_EQ(row.b == row.a, row.equal);
    }
}

} // namespace
} // namespace zelvo
