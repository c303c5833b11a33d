#pragma once

#include "Instant.h"
#include "PMSet.h"
#include "PowerHelperProtocol.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace zelvo {

// Whether the daemon holds SleepDisabled on its own account, and until when; with the pure time
// rules of a lease. No operation reads the clock.
struct PowerHelperState {
    bool heldByHelper = false;
    std::optional<Instant> leaseUntil;

    // Throws PowerHelperError::invalidState("a hold must have a finite lease") when held without a
    // lease, or when a present lease is infinite or NaN.
    void validate() const;
    // Whole seconds left, 0 to 60: the ceiling of the time left, capped at 60; 0 when not held.
    [[nodiscard]] std::int64_t secondsRemaining(Instant at) const;
    // Held, and either without a lease or not earlier than its end (so at its end, or NaN).
    [[nodiscard]] bool isExpired(Instant at) const;
    // Not held, and idle for at least idleExitSeconds.
    [[nodiscard]] static bool shouldExit(bool heldByHelper, Instant lastActivityAt, Instant now);

    friend bool operator==(const PowerHelperState&, const PowerHelperState&) = default;
};

// Where the lease record is kept between runs.
class PowerHelperStateStoring {
public:
    virtual ~PowerHelperStateStoring() = default;

    // The stored record, or nothing when none has been stored yet.
    virtual std::optional<PowerHelperState> load() = 0;
    // A normal return means the record is durable: the next load(), also after a crash, returns it.
    // A throw means it must be treated as not stored.
    virtual void save(const PowerHelperState& state) = 0;
};

// Decides when SleepDisabled is raised and put back. It only ever puts back a setting its own
// record says it holds, verifies every change by reading it back, and keeps the stored record
// "held" from before the raise until after the setting reads 0 again.
//
// No hold outlasts the longest lease without a renewal, whatever the clock or the stored record
// says: wherever a call judges the lease (construction, hold, release, expireIfNeeded, status), an
// end more than leaseSeconds after `now` (a record written far ahead, or a wall clock stepped back
// during a hold) becomes now + leaseSeconds in the manager's own record, and stays so until the
// next hold. The stored record is left as it is; it is no less valid for that.
//
// Not thread-safe: after construction every call must come from one serial queue.
class PowerLeaseManager {
public:
    // Loads the record and, if it has run out, puts the setting back; a failure of that restore is
    // kept in recoveryError() instead of thrown. Throws load and validation errors. Both runner and
    // store must be non-null; the manager owns them, and its destruction never touches the setting.
    PowerLeaseManager(std::unique_ptr<PMSetRunning> runner,
                      std::unique_ptr<PowerHelperStateStoring> store, Instant now);

    PowerLeaseManager(const PowerLeaseManager&) = delete;
    PowerLeaseManager& operator=(const PowerLeaseManager&) = delete;

    // Restores a run-out lease, then holds for leaseSeconds bounded to 1..60 (below 1 means 60):
    // read, save the held record, and unless the read gave 1, raise and read back. Throws the
    // runner's, parser's or store's error unchanged, or commandFailed("SleepDisabled did not
    // become 1"); a record saved before the failing step stays (there is no rollback).
    void hold(std::int64_t leaseSeconds, Instant now);
    // Puts the setting back when held: read, lower unless it reads 0, read back, save not held.
    // Records the activity either way. Throws the runner's, parser's or store's error unchanged, or
    // commandFailed("SleepDisabled did not return to 0"); the record then stays held.
    void release(Instant now);
    // Restores the setting when the lease has run out, then clears recoveryError(); otherwise does
    // nothing beyond bounding a lease end too far ahead: it records no activity. Throws what
    // release() throws.
    void expireIfNeeded(Instant now);
    // Never throws: a failure is folded into the record (systemSleepDisabled -1, errorMessage).
    [[nodiscard]] HelperStatus status(Instant now);
    // Nothing held and idle for idleExitSeconds since the last activity.
    [[nodiscard]] bool shouldExit(Instant now) const;

    [[nodiscard]] const PowerHelperState& state() const noexcept { return state_; }
    [[nodiscard]] Instant lastActivityAt() const noexcept { return lastActivityAt_; }
    [[nodiscard]] const std::optional<std::string>& recoveryError() const noexcept {
        return recoveryError_;
    }

private:
    // Brings a held lease's end to at most leaseSeconds after now (see above).
    void boundLease(Instant now);
    int readSetting();

    PowerHelperState state_;
    Instant lastActivityAt_;
    std::optional<std::string> recoveryError_;
    std::unique_ptr<PMSetRunning> runner_;
    std::unique_ptr<PowerHelperStateStoring> store_;
};

} // namespace zelvo
