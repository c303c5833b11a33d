#include "PowerLease.h"

#include "PowerHelperConstants.h"
#include "PowerHelperError.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace zelvo {

// --- PowerHelperState ---

void PowerHelperState::validate() const {
    const bool finiteLease = leaseUntil && std::isfinite(leaseUntil->seconds);
    if ((heldByHelper && !leaseUntil) || (leaseUntil && !finiteLease)) {
        throw PowerHelperError::invalidState("a hold must have a finite lease");
    }
}

std::int64_t PowerHelperState::secondsRemaining(Instant at) const {
    if (!heldByHelper || !leaseUntil) {
        return 0;
    }
    const double k = std::ceil(leaseUntil->timeIntervalSince(at));
    // Also false for NaN; comparing before converting means the conversion cannot overflow.
    if (!(k >= 0)) {
        return 0;
    }
    const auto cap = static_cast<double>(PowerHelperConstants::leaseSeconds);
    return k >= cap ? PowerHelperConstants::leaseSeconds : static_cast<std::int64_t>(k);
}

bool PowerHelperState::isExpired(Instant at) const {
    if (!heldByHelper) {
        return false;
    }
    // "Earlier" is the only way not to have run out, so a NaN on either side counts as run out and
    // the setting gets put back (validate() keeps NaN out of the manager anyway).
    return !leaseUntil || !(at < *leaseUntil);
}

bool PowerHelperState::shouldExit(bool heldByHelper, Instant lastActivityAt, Instant now) {
    return !heldByHelper &&
           now.timeIntervalSince(lastActivityAt) >= PowerHelperConstants::idleExitSeconds;
}

// --- PowerLeaseManager ---

namespace {

const PowerHelperState notHeld{false, std::nullopt};

// The description of a thrown value that is no std::exception; no adapter of ours throws one.
constexpr std::string_view unknownErrorDescription = "unknown error";

std::int64_t boundedLease(std::int64_t requested) {
    if (requested < 1) {
        return PowerHelperConstants::leaseSeconds;
    }
    return std::min(requested, PowerHelperConstants::leaseSeconds);
}

} // namespace

PowerLeaseManager::PowerLeaseManager(std::unique_ptr<PMSetRunning> runner,
                                     std::unique_ptr<PowerHelperStateStoring> store, Instant now)
    : runner_(std::move(runner)), store_(std::move(store)) {
    state_ = store_->load().value_or(notHeld);
    lastActivityAt_ = now;
    state_.validate();
    boundLease(now);
    if (state_.isExpired(now)) {
        try {
            release(now);
        } catch (const std::exception& error) {
            recoveryError_ = descriptionOf(error);
        } catch (...) {
            recoveryError_ = std::string(unknownErrorDescription);
        }
    }
}

void PowerLeaseManager::boundLease(Instant now) {
    if (!state_.heldByHelper || !state_.leaseUntil) {
        return;
    }
    // Taken once and then kept: a bound that moved on with every look would never be reached.
    const Instant latest =
        now.addingSeconds(static_cast<double>(PowerHelperConstants::leaseSeconds));
    if (latest < *state_.leaseUntil) {
        state_.leaseUntil = latest;
    }
}

int PowerLeaseManager::readSetting() {
    return PMSetParser::sleepDisabled(runner_->run(PMSetCommand::read()));
}

void PowerLeaseManager::release(Instant now) {
    lastActivityAt_ = now;
    boundLease(now);
    if (!state_.heldByHelper) {
        return;
    }
    if (readSetting() != 0) {
        runner_->run(PMSetCommand::setSleepDisabled(false));
    }
    if (readSetting() != 0) {
        throw PowerHelperError::commandFailed("SleepDisabled did not return to 0");
    }
    // Only a verified 0 may be recorded as not held.
    store_->save(notHeld);
    state_ = notHeld;
}

void PowerLeaseManager::hold(std::int64_t leaseSeconds, Instant now) {
    lastActivityAt_ = now;
    boundLease(now);
    if (state_.isExpired(now)) {
        release(now);
    }
    const int before = readSetting();
    const PowerHelperState held{true,
                                now.addingSeconds(static_cast<double>(boundedLease(leaseSeconds)))};
    // The hold is durable before the setting is raised, so a crash from here on is put back by the
    // next start. There is no rollback: a failed raise is put back when this lease runs out.
    store_->save(held);
    state_ = held;
    if (before == 1) {
        return;
    }
    runner_->run(PMSetCommand::setSleepDisabled(true));
    if (readSetting() != 1) {
        throw PowerHelperError::commandFailed("SleepDisabled did not become 1");
    }
}

void PowerLeaseManager::expireIfNeeded(Instant now) {
    boundLease(now);
    if (!state_.isExpired(now)) {
        return;
    }
    release(now);
    recoveryError_.reset();
}

HelperStatus PowerLeaseManager::status(Instant now) {
    lastActivityAt_ = now;
    std::optional<std::string> failure;
    int value = -1;
    try {
        expireIfNeeded(now);
        value = readSetting();
    } catch (const std::exception& error) {
        failure = descriptionOf(error);
        value = -1;
    } catch (...) {
        // Status never fails, whatever an adapter throws.
        failure = std::string(unknownErrorDescription);
        value = -1;
    }
    return HelperStatus(std::string(PowerHelperConstants::version), state_.heldByHelper, value,
                        state_.secondsRemaining(now), std::move(failure));
}

bool PowerLeaseManager::shouldExit(Instant now) const {
    return PowerHelperState::shouldExit(state_.heldByHelper, lastActivityAt_, now);
}

} // namespace zelvo
