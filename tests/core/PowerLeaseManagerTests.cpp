#include "InMemoryStateStore.h"
#include "PowerHelperConstants.h"
#include "PowerHelperError.h"
#include "PowerLease.h"
#include "Printers.h"
#include "ScriptedPMSetRunner.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <functional>
#include <gtest/gtest.h>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace zelvo {
namespace {

using fakes::EventLog;
using fakes::Events;
using fakes::InMemoryStateStore;
using fakes::ScriptedPMSetRunner;

const Instant t0{1'000'000.0};

PowerHelperState heldUntil(Instant until) {
    return PowerHelperState{true, until};
}
const PowerHelperState notHeld{false, std::nullopt};

// The full sequences, named once.
const Events raise = {"run -g", "save held", "run -a disablesleep 1", "run -g"};
const Events restore = {"run -g", "run -a disablesleep 0", "run -g", "save not held"};

Events operator+(Events a, const Events& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The PowerHelperError that `operation` throws; a failure of the test when it throws none or
// another kind of error.
PowerHelperError errorThrownBy(const std::function<void()>& operation) {
    try {
        operation();
    } catch (const PowerHelperError& error) {
        return error;
    } catch (const std::exception& error) {
        ADD_FAILURE() << "threw another error: " << error.what();
        return PowerHelperError::commandFailed("<another error>");
    }
    ADD_FAILURE() << "threw nothing";
    return PowerHelperError::commandFailed("<nothing thrown>");
}

class APowerLeaseManager : public ::testing::Test {
public: // so that the tables' scripts can reach the fakes
    EventLog log;
    ScriptedPMSetRunner pmset{log};
    InMemoryStateStore store{log};
    std::unique_ptr<PowerLeaseManager> manager;

    // Constructs the manager over whatever the store holds.
    PowerLeaseManager& construct(Instant now = t0) {
        manager = std::make_unique<PowerLeaseManager>(pmset.handle(), store.handle(), now);
        return *manager;
    }

    // Constructed with nothing stored; the log starts after construction.
    PowerLeaseManager& started(Instant now = t0) {
        construct(now);
        EXPECT_EQ(log.events(), (Events{"load"}));
        log.clear();
        return *manager;
    }

    // Started and holding a lease of `seconds` from t0 with the setting raised; the log starts
    // after the hold.
    PowerLeaseManager& holding(std::int64_t seconds = 60) {
        started();
        manager->hold(seconds, t0);
        EXPECT_EQ(pmset.sleepDisabled(), 1);
        log.clear();
        return *manager;
    }
};

// --- Construction ---

TEST_F(APowerLeaseManager, StartsNotHeldWithoutRunningPmsetWhenNothingIsStored) {
    auto& m = construct(t0);
    EXPECT_EQ(log.events(), (Events{"load"}));
    EXPECT_EQ(m.state(), notHeld);
    EXPECT_EQ(m.lastActivityAt(), t0);
    EXPECT_FALSE(m.recoveryError().has_value());
    EXPECT_TRUE(store.saved().empty());
    EXPECT_EQ(store.loads(), 1u);
}

TEST_F(APowerLeaseManager, AdoptsAStoredLiveHoldWithoutLookingAtTheSetting) {
    store.setStored(heldUntil(t0.addingSeconds(30)));
    pmset.setSleepDisabled(0); // not what the record says; it is not verified
    auto& m = construct(t0);
    EXPECT_EQ(log.events(), (Events{"load"}));
    EXPECT_EQ(m.state(), heldUntil(t0.addingSeconds(30)));
    EXPECT_FALSE(m.recoveryError().has_value());
}

TEST_F(APowerLeaseManager, AdoptsAStoredRecordThatIsNotHeldWithoutRunningPmset) {
    store.setStored(PowerHelperState{false, t0.addingSeconds(-100)});
    auto& m = construct(t0);
    EXPECT_EQ(log.events(), (Events{"load"}));
    EXPECT_EQ(m.state(), (PowerHelperState{false, t0.addingSeconds(-100)}));
}

TEST_F(APowerLeaseManager, PutsBackAStoredHoldThatRanOutBeforeItStarted) {
    store.setStored(heldUntil(t0.addingSeconds(-5)));
    pmset.setSleepDisabled(1);
    auto& m = construct(t0);
    EXPECT_EQ(log.events(), Events{"load"} + restore);
    EXPECT_EQ(m.state(), notHeld);
    EXPECT_EQ(store.stored(), notHeld);
    EXPECT_EQ(pmset.sleepDisabled(), 0);
    EXPECT_FALSE(m.recoveryError().has_value());
    EXPECT_EQ(m.lastActivityAt(), t0);
}

TEST_F(APowerLeaseManager, PutsBackAStoredHoldEndingExactlyAtStartUp) {
    store.setStored(heldUntil(t0));
    pmset.setSleepDisabled(1);
    auto& m = construct(t0);
    EXPECT_EQ(log.events(), Events{"load"} + restore);
    EXPECT_EQ(m.state(), notHeld);
}

TEST_F(APowerLeaseManager, VerifiesWithoutLoweringARunOutHoldWhoseSettingIsAlreadyZero) {
    store.setStored(heldUntil(t0.addingSeconds(-5)));
    pmset.setSleepDisabled(0);
    auto& m = construct(t0);
    EXPECT_EQ(log.events(), (Events{"load", "run -g", "run -g", "save not held"}));
    EXPECT_EQ(m.state(), notHeld);
}

TEST_F(APowerLeaseManager, IsNotMadeWhenLoadingFails) {
    store.failLoad(PowerHelperError::fileFailure("open: Permission denied"));
    EXPECT_EQ(errorThrownBy([&] { construct(); }),
              PowerHelperError::fileFailure("open: Permission denied"));
    EXPECT_EQ(log.events(), (Events{"load"}));
}

TEST_F(APowerLeaseManager, PassesOnAPlatformLoadErrorUnchanged) {
    store.failLoad(std::system_error(EACCES, std::generic_category(), "open"));
    try {
        construct();
        ADD_FAILURE() << "constructed";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code(), std::error_code(EACCES, std::generic_category()));
    }
}

TEST_F(APowerLeaseManager, IsNotMadeFromAnInvalidStoredRecord) {
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<PowerHelperState> invalid = {
        {true, std::nullopt},
        {true, Instant{std::nan("")}},
        {true, Instant{inf}},
        {false, Instant{-inf}},
    };
    for (const auto& record : invalid) {
        SCOPED_TRACE(::testing::PrintToString(record));
        log.clear();
        store.setStored(record);
        pmset.setSleepDisabled(1);
        EXPECT_EQ(errorThrownBy([&] { construct(); }),
                  PowerHelperError::invalidState("a hold must have a finite lease"));
        EXPECT_EQ(log.events(), (Events{"load"}));
    }
}

TEST_F(APowerLeaseManager, StartsDespiteAFailedRestoreAndTheFirstSuccessfulTickClearsIt) {
    store.setStored(heldUntil(t0.addingSeconds(-1)));
    pmset.setSleepDisabled(1);
    pmset.failEveryCall(PowerHelperError::commandFailed("timed out"));

    auto& m = construct(t0);
    EXPECT_EQ(log.events(), (Events{"load", "run -g"}));
    EXPECT_EQ(m.recoveryError(), std::optional<std::string>("pmset failed: timed out"));
    EXPECT_EQ(m.state(), heldUntil(t0.addingSeconds(-1)));

    // A tick while pmset still fails: the same error, recoveryError as it was.
    log.clear();
    EXPECT_EQ(errorThrownBy([&] { m.expireIfNeeded(t0.addingSeconds(1)); }),
              PowerHelperError::commandFailed("timed out"));
    EXPECT_EQ(m.recoveryError(), std::optional<std::string>("pmset failed: timed out"));
    EXPECT_TRUE(m.state().heldByHelper);

    // The first successful tick restores, saves not held and clears recoveryError.
    pmset.succeedAgain();
    log.clear();
    m.expireIfNeeded(t0.addingSeconds(2));
    EXPECT_EQ(log.events(), restore);
    EXPECT_EQ(m.state(), notHeld);
    EXPECT_EQ(store.stored(), notHeld);
    EXPECT_EQ(pmset.sleepDisabled(), 0);
    EXPECT_FALSE(m.recoveryError().has_value());
    EXPECT_EQ(m.lastActivityAt(), t0.addingSeconds(2));
}

TEST_F(APowerLeaseManager, KeepsTheDescriptionOfAnyFailedStartUpRestore) {
    struct Row {
        const char* name;
        std::function<void(APowerLeaseManager&)> script;
        std::string recoveryError;
    };
    const std::vector<Row> rows = {
        {"not confirmed", [](auto& t) { t.pmset.onCall(2).ignoresChange(); },
         "pmset failed: SleepDisabled did not return to 0"},
        {"unreadable", [](auto& t) { t.pmset.onCall(1).prints("garbage\n"); },
         "pmset did not report a valid SleepDisabled value."},
        {"save refused",
         [](auto& t) { t.store.failNextSave(PowerHelperError::fileFailure("fsync: I/O error")); },
         "Helper state file: fsync: I/O error"},
        {"launch failed",
         [](auto& t) {
             t.pmset.onCall(1).throws(std::system_error(ENOENT, std::generic_category(), "spawn"));
         },
         std::system_error(ENOENT, std::generic_category(), "spawn").what()},
        {"not a std::exception", [](auto& t) { t.pmset.onCall(1).throws(42); }, "unknown error"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        log = EventLog();
        pmset = ScriptedPMSetRunner(log);
        store = InMemoryStateStore(log, heldUntil(t0.addingSeconds(-1)));
        pmset.setSleepDisabled(1);
        row.script(*this);
        auto& m = construct(t0);
        EXPECT_EQ(m.recoveryError(), std::optional<std::string>(row.recoveryError));
        EXPECT_EQ(m.state(), heldUntil(t0.addingSeconds(-1)));
        EXPECT_EQ(store.stored(), heldUntil(t0.addingSeconds(-1)));
    }
}

TEST_F(APowerLeaseManager, ClearsRecoveryErrorOnlyThroughExpireIfNeeded) {
    store.setStored(heldUntil(t0.addingSeconds(-1)));
    pmset.setSleepDisabled(1);
    pmset.onCall(1).throws(PowerHelperError::commandFailed("timed out"));
    auto& m = construct(t0);
    ASSERT_TRUE(m.recoveryError().has_value());

    // hold restores the run-out lease on its own way and leaves recoveryError alone,
    log.clear();
    m.hold(5, t0.addingSeconds(1));
    EXPECT_EQ(log.events(), restore + raise);
    EXPECT_EQ(m.recoveryError(), std::optional<std::string>("pmset failed: timed out"));
    // and so does release,
    m.release(t0.addingSeconds(2));
    EXPECT_EQ(m.state(), notHeld);
    EXPECT_EQ(m.recoveryError(), std::optional<std::string>("pmset failed: timed out"));
    // and an expireIfNeeded with nothing to restore.
    m.expireIfNeeded(t0.addingSeconds(3));
    EXPECT_EQ(m.recoveryError(), std::optional<std::string>("pmset failed: timed out"));

    // Only a restore made by expireIfNeeded clears it.
    m.hold(1, t0.addingSeconds(4));
    m.expireIfNeeded(t0.addingSeconds(5));
    EXPECT_EQ(m.state(), notHeld);
    EXPECT_FALSE(m.recoveryError().has_value());
}

TEST_F(APowerLeaseManager, ClearsRecoveryErrorThroughTheRestoreOfAStatusRequest) {
    store.setStored(heldUntil(t0.addingSeconds(-1)));
    pmset.setSleepDisabled(1);
    pmset.onCall(1).throws(PowerHelperError::commandFailed("timed out"));
    auto& m = construct(t0);
    ASSERT_TRUE(m.recoveryError().has_value());
    const auto status = m.status(t0.addingSeconds(1));
    EXPECT_EQ(status.systemSleepDisabled(), 0);
    EXPECT_FALSE(m.recoveryError().has_value());
}

TEST_F(APowerLeaseManager, NeverTouchesTheSettingWhenDestroyed) {
    holding();
    manager.reset();
    EXPECT_TRUE(log.events().empty());
    EXPECT_EQ(pmset.sleepDisabled(), 1);
    EXPECT_TRUE(store.stored()->heldByHelper);
}

// --- hold ---

TEST_F(APowerLeaseManager, SavesTheHoldBeforeRaisingTheSettingAndVerifiesIt) {
    auto& m = started();
    m.hold(60, t0);
    EXPECT_EQ(log.events(), (Events{"run -g", "save held", "run -a disablesleep 1", "run -g"}));
    EXPECT_EQ(m.state(), heldUntil(t0.addingSeconds(60)));
    EXPECT_EQ(store.stored(), heldUntil(t0.addingSeconds(60)));
    EXPECT_EQ(pmset.sleepDisabled(), 1);
    EXPECT_EQ(m.lastActivityAt(), t0);
}

TEST_F(APowerLeaseManager, TakesOverASettingAlreadyRaisedWithoutSettingItAgain) {
    auto& m = started();
    pmset.setSleepDisabled(1);
    m.hold(30, t0);
    EXPECT_EQ(log.events(), (Events{"run -g", "save held"}));
    EXPECT_EQ(m.state(), heldUntil(t0.addingSeconds(30)));

    log.clear();
    m.release(t0.addingSeconds(10));
    EXPECT_EQ(log.events(), restore);
    EXPECT_EQ(pmset.sleepDisabled(), 0);
    EXPECT_EQ(m.state(), notHeld);
}

TEST_F(APowerLeaseManager, RenewsALiveHoldWithOneReadAndOneSave) {
    auto& m = holding(60);
    m.hold(10, t0.addingSeconds(20));
    EXPECT_EQ(log.events(), (Events{"run -g", "save held"}));
    // now + s, which is earlier than the lease it replaces.
    EXPECT_EQ(m.state(), heldUntil(t0.addingSeconds(30)));
    EXPECT_EQ(store.stored(), heldUntil(t0.addingSeconds(30)));
    EXPECT_EQ(m.lastActivityAt(), t0.addingSeconds(20));
}

TEST_F(APowerLeaseManager, RaisesALiveHoldAgainWhenTheSettingNoLongerReadsOne) {
    auto& m = holding(60);
    pmset.setSleepDisabled(0);
    m.hold(60, t0.addingSeconds(15));
    EXPECT_EQ(log.events(), raise);
    EXPECT_EQ(pmset.sleepDisabled(), 1);
}

TEST_F(APowerLeaseManager, PutsBackARunOutLeaseBeforeHoldingAgainInSixRuns) {
    auto& m = holding(5);
    m.hold(60, t0.addingSeconds(5));
    EXPECT_EQ(log.events(), (Events{"run -g", "run -a disablesleep 0", "run -g", "save not held",
                                    "run -g", "save held", "run -a disablesleep 1", "run -g"}));
    EXPECT_EQ(pmset.calls(), 3u + 6u);
    EXPECT_EQ(store.saved(), (std::vector<PowerHelperState>{heldUntil(t0.addingSeconds(5)), notHeld,
                                                            heldUntil(t0.addingSeconds(65))}));
    EXPECT_EQ(m.state(), heldUntil(t0.addingSeconds(65)));
    EXPECT_EQ(pmset.sleepDisabled(), 1);
}

TEST_F(APowerLeaseManager, LeavesAnUnconfirmedRaiseHeldUntilItsLeaseRunsOut) {
    auto& m = started();
    pmset.onCall(2).ignoresChange();
    EXPECT_EQ(errorThrownBy([&] { m.hold(20, t0); }),
              PowerHelperError::commandFailed("SleepDisabled did not become 1"));
    EXPECT_EQ(log.events(), raise);
    EXPECT_EQ(m.state(), heldUntil(t0.addingSeconds(20)));
    EXPECT_EQ(store.stored(), heldUntil(t0.addingSeconds(20)));

    log.clear();
    m.expireIfNeeded(t0.addingSeconds(19.999));
    EXPECT_TRUE(log.events().empty());
    m.expireIfNeeded(t0.addingSeconds(20));
    EXPECT_EQ(log.events(), (Events{"run -g", "run -g", "save not held"}));
    EXPECT_EQ(m.state(), notHeld);
}

TEST_F(APowerLeaseManager, LeavesARaiseWhoseReadBackSaysZeroHeldAndPutsItBackLater) {
    auto& m = started();
    pmset.onCall(3).reports(0); // the setting did become 1, the read-back says otherwise
    EXPECT_EQ(errorThrownBy([&] { m.hold(20, t0); }),
              PowerHelperError::commandFailed("SleepDisabled did not become 1"));
    EXPECT_EQ(pmset.sleepDisabled(), 1);
    log.clear();
    m.expireIfNeeded(t0.addingSeconds(25));
    EXPECT_EQ(log.events(), restore);
    EXPECT_EQ(pmset.sleepDisabled(), 0);
}

struct LeaseRow {
    std::int64_t requested;
    std::int64_t granted;
};

class ALeaseBound : public ::testing::TestWithParam<LeaseRow> {};

TEST_P(ALeaseBound, GrantsOneToSixtySecondsAndSixtyBelowOne) {
    EventLog log;
    ScriptedPMSetRunner pmset(log);
    InMemoryStateStore store(log);
    PowerLeaseManager m(pmset.handle(), store.handle(), t0);
    m.hold(GetParam().requested, t0);
    EXPECT_EQ(m.state(), heldUntil(t0.addingSeconds(static_cast<double>(GetParam().granted))));
    EXPECT_EQ(store.stored(), m.state());
    EXPECT_EQ(m.status(t0).leaseSecondsRemaining(), GetParam().granted);
}

INSTANTIATE_TEST_SUITE_P(Table, ALeaseBound,
                         ::testing::Values(LeaseRow{std::numeric_limits<std::int64_t>::min(), 60},
                                           LeaseRow{-1, 60}, LeaseRow{0, 60}, LeaseRow{1, 1},
                                           LeaseRow{2, 2}, LeaseRow{59, 59}, LeaseRow{60, 60},
                                           LeaseRow{61, 60}, LeaseRow{3600, 60},
                                           LeaseRow{std::numeric_limits<std::int64_t>::max(), 60}),
                         [](const auto& info) -> std::string {
                             const auto requested = info.param.requested;
                             if (requested == std::numeric_limits<std::int64_t>::min()) {
                                 return "int64_min";
                             }
                             if (requested == std::numeric_limits<std::int64_t>::max()) {
                                 return "int64_max";
                             }
                             return requested < 0 ? "minus_" + std::to_string(-requested)
                                                  : std::to_string(requested);
                         });

// --- The failure table ---

enum class Start {
    notHeld, // started with nothing stored, setting 0; the operation runs at t0 + 10
    held,    // holding 60 s from t0, setting 1; the operation runs at t0 + 10, the lease live
    runOut,  // holding 5 s from t0, setting 1; the operation runs at t0 + 5, the lease run out
};
enum class Operation { hold60, release, expireIfNeeded };
enum class Outcome { none, timedOut, garbage, reports0, reports1, ignoresChange };

struct FailureRow {
    const char* name;
    Start start;
    Operation operation;
    std::size_t call; // the operation's own pmset call that misbehaves (1 = its first); 0 none
    Outcome outcome;
    std::size_t save; // the operation's own save attempt that is refused (1 = its first); 0 none
    PowerHelperError error;
    Events events;                          // the operation's
    std::optional<PowerHelperState> state;  // in memory afterwards
    std::optional<PowerHelperState> stored; // in the store afterwards
};

void PrintTo(const FailureRow& row, std::ostream* os) {
    *os << row.name;
}

const auto timedOut = PowerHelperError::commandFailed("timed out");
const auto unreadable = PowerHelperError::invalidSleepDisabledOutput();
const auto refused = PowerHelperError::fileFailure("rename: No space left on device");
const auto notRaised = PowerHelperError::commandFailed("SleepDisabled did not become 1");
const auto notLowered = PowerHelperError::commandFailed("SleepDisabled did not return to 0");
const auto held70 = heldUntil(t0.addingSeconds(70)); // a hold of 60 s made at t0 + 10
const auto held60 = heldUntil(t0.addingSeconds(60));
const auto held65 = heldUntil(t0.addingSeconds(65)); // a hold of 60 s made at t0 + 5
const auto held5 = heldUntil(t0.addingSeconds(5));

const Events read = {"run -g"};
const Events lower = {"run -g", "run -a disablesleep 0"};
const Events lowerAndRead = {"run -g", "run -a disablesleep 0", "run -g"};

const FailureRow failureRows[] = {
    // hold, from nothing held
    {"hold_read_fails", Start::notHeld, Operation::hold60, 1, Outcome::timedOut, 0, timedOut, read,
     notHeld, std::nullopt},
    {"hold_read_unreadable", Start::notHeld, Operation::hold60, 1, Outcome::garbage, 0, unreadable,
     read, notHeld, std::nullopt},
    {"hold_save_refused_setting_untouched", Start::notHeld, Operation::hold60, 0, Outcome::none, 1,
     refused, (Events{"run -g", "save held"}), notHeld, std::nullopt},
    {"hold_raise_fails", Start::notHeld, Operation::hold60, 2, Outcome::timedOut, 0, timedOut,
     (Events{"run -g", "save held", "run -a disablesleep 1"}), held70, held70},
    {"hold_read_back_fails", Start::notHeld, Operation::hold60, 3, Outcome::timedOut, 0, timedOut,
     raise, held70, held70},
    {"hold_read_back_unreadable", Start::notHeld, Operation::hold60, 3, Outcome::garbage, 0,
     unreadable, raise, held70, held70},
    {"hold_raise_not_confirmed", Start::notHeld, Operation::hold60, 2, Outcome::ignoresChange, 0,
     notRaised, raise, held70, held70},
    {"hold_read_back_reports_0", Start::notHeld, Operation::hold60, 3, Outcome::reports0, 0,
     notRaised, raise, held70, held70},

    // hold, on a run-out lease: the restore of step 2, then the hold
    {"hold_restore_read_fails", Start::runOut, Operation::hold60, 1, Outcome::timedOut, 0, timedOut,
     read, held5, held5},
    {"hold_restore_not_confirmed", Start::runOut, Operation::hold60, 3, Outcome::reports1, 0,
     notLowered, lowerAndRead, held5, held5},
    {"hold_restore_save_refused", Start::runOut, Operation::hold60, 0, Outcome::none, 1, refused,
     restore, held5, held5},
    {"hold_read_after_restore_fails_restore_stays_done", Start::runOut, Operation::hold60, 4,
     Outcome::timedOut, 0, timedOut, restore + read, notHeld, notHeld},
    {"hold_save_after_restore_refused", Start::runOut, Operation::hold60, 0, Outcome::none, 2,
     refused, restore + Events{"run -g", "save held"}, notHeld, notHeld},
    {"hold_after_restore_raise_not_confirmed", Start::runOut, Operation::hold60, 5,
     Outcome::ignoresChange, 0, notRaised, restore + raise, held65, held65},

    // release, of a live hold
    {"release_read_fails", Start::held, Operation::release, 1, Outcome::timedOut, 0, timedOut, read,
     held60, held60},
    {"release_read_unreadable", Start::held, Operation::release, 1, Outcome::garbage, 0, unreadable,
     read, held60, held60},
    {"release_lower_fails", Start::held, Operation::release, 2, Outcome::timedOut, 0, timedOut,
     lower, held60, held60},
    {"release_read_back_fails", Start::held, Operation::release, 3, Outcome::timedOut, 0, timedOut,
     lowerAndRead, held60, held60},
    {"release_read_back_unreadable", Start::held, Operation::release, 3, Outcome::garbage, 0,
     unreadable, lowerAndRead, held60, held60},
    {"release_not_confirmed", Start::held, Operation::release, 2, Outcome::ignoresChange, 0,
     notLowered, lowerAndRead, held60, held60},
    {"release_read_back_reports_1", Start::held, Operation::release, 3, Outcome::reports1, 0,
     notLowered, lowerAndRead, held60, held60},
    {"release_save_refused_stays_held", Start::held, Operation::release, 0, Outcome::none, 1,
     refused, restore, held60, held60},

    // expireIfNeeded, of a run-out lease
    {"expire_read_fails", Start::runOut, Operation::expireIfNeeded, 1, Outcome::timedOut, 0,
     timedOut, read, held5, held5},
    {"expire_read_unreadable", Start::runOut, Operation::expireIfNeeded, 1, Outcome::garbage, 0,
     unreadable, read, held5, held5},
    {"expire_lower_fails", Start::runOut, Operation::expireIfNeeded, 2, Outcome::timedOut, 0,
     timedOut, lower, held5, held5},
    {"expire_not_confirmed", Start::runOut, Operation::expireIfNeeded, 2, Outcome::ignoresChange, 0,
     notLowered, lowerAndRead, held5, held5},
    {"expire_save_refused", Start::runOut, Operation::expireIfNeeded, 0, Outcome::none, 1, refused,
     restore, held5, held5},
};

class TheFailureTable : public APowerLeaseManager,
                        public ::testing::WithParamInterface<FailureRow> {};

TEST_P(TheFailureTable, PassesTheErrorOnAndKeepsWhatTheCompletedStepsLeft) {
    const FailureRow& row = GetParam();
    Instant now = t0.addingSeconds(10);
    switch (row.start) {
    case Start::notHeld:
        started();
        break;
    case Start::held:
        holding(60);
        break;
    case Start::runOut:
        holding(5);
        now = t0.addingSeconds(5);
        break;
    }
    if (row.call != 0) {
        auto script = pmset.onNextCall(row.call);
        switch (row.outcome) {
        case Outcome::none:
            break;
        case Outcome::timedOut:
            script.throws(timedOut);
            break;
        case Outcome::garbage:
            script.prints("SleepDisabled\n");
            break;
        case Outcome::reports0:
            script.reports(0);
            break;
        case Outcome::reports1:
            script.reports(1);
            break;
        case Outcome::ignoresChange:
            script.ignoresChange();
            break;
        }
    }
    if (row.save != 0) {
        store.failSave(store.saveAttempts() + row.save, refused);
    }
    const auto recoveryErrorBefore = manager->recoveryError();

    EXPECT_EQ(errorThrownBy([&] {
                  switch (row.operation) {
                  case Operation::hold60:
                      manager->hold(60, now);
                      break;
                  case Operation::release:
                      manager->release(now);
                      break;
                  case Operation::expireIfNeeded:
                      manager->expireIfNeeded(now);
                      break;
                  }
              }),
              row.error);
    EXPECT_EQ(log.events(), row.events);
    EXPECT_EQ(manager->state(), row.state);
    EXPECT_EQ(store.stored(), row.stored);
    // Failed calls count as activity; a failure never touches recoveryError.
    EXPECT_EQ(manager->lastActivityAt(), now);
    EXPECT_EQ(manager->recoveryError(), recoveryErrorBefore);
}

INSTANTIATE_TEST_SUITE_P(Rows, TheFailureTable, ::testing::ValuesIn(failureRows),
                         [](const auto& info) { return std::string(info.param.name); });

// --- A lease end too far ahead ---

// The last second the stored date form can hold, 9999-12-31T23:59:59Z.
const Instant farAhead{253'402'300'799.0};

// Each row ends with the manager judging a held lease whose end lies far more than the longest
// lease after `at`: a record stored that way, or a wall clock stepped back an hour during a hold.
TEST_F(APowerLeaseManager, BoundsALeaseEndTooFarAheadOnceAndPutsTheSettingBackThatLongAfter) {
    struct Row {
        const char* name;
        std::function<void(APowerLeaseManager&, Instant at)> judge;
    };
    const std::vector<Row> rows = {
        {"stored, at start-up",
         [](auto& t, Instant at) {
             t.store.setStored(heldUntil(farAhead));
             t.pmset.setSleepDisabled(1);
             t.construct(at);
         }},
        {"clock stepped back, by a tick",
         [](auto& t, Instant at) {
             t.holding(60);
             t.manager->expireIfNeeded(at);
         }},
        {"clock stepped back, by a status",
         [](auto& t, Instant at) {
             t.holding(60);
             (void)t.manager->status(at);
         }},
        {"clock stepped back, by a failed release",
         [](auto& t, Instant at) {
             t.holding(60);
             t.pmset.onNextCall().throws(timedOut);
             EXPECT_THROW(t.manager->release(at), PowerHelperError);
         }},
        {"clock stepped back, by a failed hold",
         [](auto& t, Instant at) {
             t.holding(60);
             t.pmset.onNextCall().throws(timedOut);
             EXPECT_THROW(t.manager->hold(60, at), PowerHelperError);
         }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        log = EventLog();
        pmset = ScriptedPMSetRunner(log);
        store = InMemoryStateStore(log);
        const Instant at = t0.addingSeconds(-3600);
        row.judge(*this, at);
        auto& m = *manager;
        const Instant bound = at.addingSeconds(60);
        EXPECT_EQ(m.state(), heldUntil(bound));
        EXPECT_EQ(pmset.sleepDisabled(), 1);

        // Later looks keep the bound where it was first taken.
        EXPECT_EQ(m.status(at.addingSeconds(30)).leaseSecondsRemaining(), 30);
        m.expireIfNeeded(Instant{std::nextafter(bound.seconds, 0.0)});
        EXPECT_EQ(m.state(), heldUntil(bound));

        log.clear();
        m.expireIfNeeded(bound);
        EXPECT_EQ(log.events(), restore);
        EXPECT_EQ(m.state(), notHeld);
        EXPECT_EQ(pmset.sleepDisabled(), 0);
    }
}

TEST_F(APowerLeaseManager, LeavesTheStoredFarEndAsItIsAndARenewalReplacesTheBound) {
    store.setStored(heldUntil(farAhead));
    pmset.setSleepDisabled(1);
    auto& m = construct(t0);
    EXPECT_EQ(log.events(), (Events{"load"}));
    EXPECT_EQ(store.stored(), heldUntil(farAhead));
    EXPECT_EQ(m.status(t0).leaseSecondsRemaining(), 60);

    m.hold(30, t0.addingSeconds(50));
    EXPECT_EQ(m.state(), heldUntil(t0.addingSeconds(80)));
    EXPECT_EQ(store.stored(), m.state());
}

TEST_F(APowerLeaseManager, PassesOnAPlatformLaunchErrorUnchanged) {
    auto& m = started();
    pmset.onNextCall().throws(std::system_error(ENOENT, std::generic_category(), "posix_spawn"));
    try {
        m.hold(60, t0);
        ADD_FAILURE() << "held";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code(), std::error_code(ENOENT, std::generic_category()));
    }
    EXPECT_EQ(m.state(), notHeld);
}

// --- release ---

TEST_F(APowerLeaseManager, ReleasesNothingWhenNothingIsHeldButRecordsTheActivity) {
    auto& m = started();
    m.release(t0.addingSeconds(30));
    EXPECT_TRUE(log.events().empty());
    EXPECT_EQ(m.lastActivityAt(), t0.addingSeconds(30));
    EXPECT_EQ(m.state(), notHeld);
}

TEST_F(APowerLeaseManager, ReleasesAHoldByLoweringVerifyingAndThenSaving) {
    auto& m = holding();
    m.release(t0.addingSeconds(10));
    EXPECT_EQ(log.events(), (Events{"run -g", "run -a disablesleep 0", "run -g", "save not held"}));
    EXPECT_EQ(m.state(), notHeld);
    EXPECT_EQ(store.stored(), notHeld);
    EXPECT_EQ(pmset.sleepDisabled(), 0);
    EXPECT_EQ(m.lastActivityAt(), t0.addingSeconds(10));
}

TEST_F(APowerLeaseManager, ReleasesAHoldWhoseSettingAlreadyReadsZeroWithTwoReads) {
    auto& m = holding();
    pmset.setSleepDisabled(0);
    m.release(t0.addingSeconds(10));
    EXPECT_EQ(log.events(), (Events{"run -g", "run -g", "save not held"}));
    EXPECT_EQ(m.state(), notHeld);
}

TEST_F(APowerLeaseManager, SavesAgainOnTheNextReleaseAfterARefusedSave) {
    auto& m = holding();
    store.failNextSave(refused);
    EXPECT_EQ(errorThrownBy([&] { m.release(t0.addingSeconds(10)); }), refused);
    EXPECT_TRUE(m.state().heldByHelper);
    EXPECT_EQ(pmset.sleepDisabled(), 0);

    log.clear();
    m.release(t0.addingSeconds(11));
    EXPECT_EQ(log.events(), (Events{"run -g", "run -g", "save not held"}));
    EXPECT_EQ(m.state(), notHeld);
    EXPECT_EQ(store.stored(), notHeld);
}

TEST_F(APowerLeaseManager, ReleasesARunOutHoldToo) {
    auto& m = holding(5);
    m.release(t0.addingSeconds(100));
    EXPECT_EQ(log.events(), restore);
    EXPECT_EQ(m.state(), notHeld);
}

// --- expireIfNeeded ---

TEST_F(APowerLeaseManager, ExpiresNothingWhenNothingIsHeldAndRecordsNoActivity) {
    auto& m = started();
    m.expireIfNeeded(t0.addingSeconds(1000));
    EXPECT_TRUE(log.events().empty());
    EXPECT_EQ(m.lastActivityAt(), t0);
}

TEST_F(APowerLeaseManager, ExpiresALeaseExactlyAtItsEndAndNotBefore) {
    auto& m = holding(30);
    const Instant end = t0.addingSeconds(30);
    m.expireIfNeeded(Instant{std::nextafter(end.seconds, 0.0)});
    EXPECT_TRUE(log.events().empty());
    EXPECT_EQ(m.lastActivityAt(), t0);
    EXPECT_TRUE(m.state().heldByHelper);

    m.expireIfNeeded(end);
    EXPECT_EQ(log.events(), restore);
    EXPECT_EQ(m.state(), notHeld);
    EXPECT_EQ(m.lastActivityAt(), end);

    log.clear();
    m.expireIfNeeded(end.addingSeconds(1));
    EXPECT_TRUE(log.events().empty());
}

// --- status ---

TEST_F(APowerLeaseManager, ReportsTheSettingWhenNothingIsHeld) {
    auto& m = started();
    const auto status = m.status(t0.addingSeconds(3));
    EXPECT_EQ(log.events(), read);
    EXPECT_EQ(status.helperVersion(), "1.1.0");
    EXPECT_EQ(status.helperVersion(), PowerHelperConstants::version);
    EXPECT_FALSE(status.heldByHelper());
    EXPECT_EQ(status.systemSleepDisabled(), 0);
    EXPECT_EQ(status.leaseSecondsRemaining(), 0);
    EXPECT_FALSE(status.errorMessage().has_value());
    EXPECT_EQ(m.lastActivityAt(), t0.addingSeconds(3));
}

TEST_F(APowerLeaseManager, ReportsALiveHoldWithItsWholeSecondsLeft) {
    auto& m = holding(60);
    const auto status = m.status(t0.addingSeconds(20.5));
    EXPECT_EQ(log.events(), read);
    EXPECT_TRUE(status.heldByHelper());
    EXPECT_EQ(status.systemSleepDisabled(), 1);
    EXPECT_EQ(status.leaseSecondsRemaining(), 40);
    EXPECT_FALSE(status.errorMessage().has_value());
}

TEST_F(APowerLeaseManager, ReportsASettingRaisedByAnotherProgramWithoutTakingItOver) {
    auto& m = started();
    pmset.setSleepDisabled(1);
    const auto status = m.status(t0);
    EXPECT_FALSE(status.heldByHelper());
    EXPECT_EQ(status.systemSleepDisabled(), 1);
    EXPECT_EQ(pmset.sleepDisabled(), 1);
}

TEST_F(APowerLeaseManager, RestoresARunOutLeaseBeforeReportingStatus) {
    auto& m = holding(5);
    const auto status = m.status(t0.addingSeconds(6));
    EXPECT_EQ(log.events(), restore + read);
    EXPECT_FALSE(status.heldByHelper());
    EXPECT_EQ(status.systemSleepDisabled(), 0);
    EXPECT_EQ(status.leaseSecondsRemaining(), 0);
    EXPECT_FALSE(status.errorMessage().has_value());
}

struct StatusFailureRow {
    const char* name;
    std::function<void(ScriptedPMSetRunner&)> script;
    std::string errorMessage;
};

TEST_F(APowerLeaseManager, FoldsAFailedReadIntoTheReport) {
    const std::vector<StatusFailureRow> rows = {
        {"time-out", [](auto& p) { p.onNextCall().throws(timedOut); }, "pmset failed: timed out"},
        {"non-zero exit",
         [](auto& p) { p.onNextCall().throws(PowerHelperError::commandFailed("exit 1: usage")); },
         "pmset failed: exit 1: usage"},
        {"unreadable output", [](auto& p) { p.onNextCall().prints(""); },
         "pmset did not report a valid SleepDisabled value."},
        {"two reports", [](auto& p) { p.onNextCall().prints("SleepDisabled 1\nSleepDisabled 1"); },
         "pmset did not report a valid SleepDisabled value."},
        {"launch error",
         [](auto& p) {
             p.onNextCall().throws(std::system_error(EACCES, std::generic_category(), "spawn"));
         },
         std::system_error(EACCES, std::generic_category(), "spawn").what()},
        {"not a std::exception", [](auto& p) { p.onNextCall().throws(std::string("x")); },
         "unknown error"},
    };
    auto& m = holding(60);
    double at = 1;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        at += 1;
        row.script(pmset);
        log.clear();
        const auto status = m.status(t0.addingSeconds(at));
        EXPECT_EQ(log.events(), read);
        EXPECT_EQ(status.helperVersion(), "1.1.0");
        EXPECT_TRUE(status.heldByHelper());
        EXPECT_EQ(status.systemSleepDisabled(), -1);
        EXPECT_EQ(status.leaseSecondsRemaining(), static_cast<std::int64_t>(60 - at));
        EXPECT_EQ(status.errorMessage(), std::optional<std::string>(row.errorMessage));
        EXPECT_EQ(m.lastActivityAt(), t0.addingSeconds(at));
        EXPECT_EQ(m.state(), held60);
    }
}

TEST_F(APowerLeaseManager, ReportsAFailedRestoreOfARunOutLease) {
    auto& m = holding(5);
    pmset.onNextCall(3).reports(1);
    const auto status = m.status(t0.addingSeconds(7));
    EXPECT_EQ(log.events(), lowerAndRead);
    EXPECT_TRUE(status.heldByHelper());
    EXPECT_EQ(status.systemSleepDisabled(), -1);
    EXPECT_EQ(status.leaseSecondsRemaining(), 0);
    EXPECT_EQ(status.errorMessage(),
              std::optional<std::string>("pmset failed: SleepDisabled did not return to 0"));
    EXPECT_EQ(m.state(), held5);
    EXPECT_FALSE(m.recoveryError().has_value());
}

TEST_F(APowerLeaseManager, ReportsAReadFailureAfterASuccessfulRestore) {
    auto& m = holding(5);
    pmset.onNextCall(4).throws(timedOut);
    const auto status = m.status(t0.addingSeconds(7));
    EXPECT_EQ(log.events(), restore + read);
    EXPECT_FALSE(status.heldByHelper());
    EXPECT_EQ(status.systemSleepDisabled(), -1);
    EXPECT_EQ(status.errorMessage(), std::optional<std::string>("pmset failed: timed out"));
}

// --- shouldExit ---

TEST_F(APowerLeaseManager, ExitsSixtySecondsAfterStartUpWhenNothingHappens) {
    auto& m = started();
    EXPECT_FALSE(m.shouldExit(t0.addingSeconds(59.999)));
    EXPECT_TRUE(m.shouldExit(t0.addingSeconds(60)));
    EXPECT_TRUE(log.events().empty());
    EXPECT_EQ(m.lastActivityAt(), t0);
}

TEST_F(APowerLeaseManager, NeverExitsWhileHoldingHoweverLongTheIdleTime) {
    auto& m = holding(60);
    EXPECT_FALSE(m.shouldExit(t0.addingSeconds(3600)));
    EXPECT_FALSE(m.shouldExit(t0.addingSeconds(1e9)));
}

TEST_F(APowerLeaseManager, CountsIdleTimeFromTheLastHoldReleaseStatusOrRestore) {
    struct Row {
        const char* name;
        std::function<void(PowerLeaseManager&, Instant)> activity;
    };
    const std::vector<Row> rows = {
        {"release", [](auto& m, Instant at) { m.release(at); }},
        {"status", [](auto& m, Instant at) { (void)m.status(at); }},
        {"hold, released at once",
         [](auto& m, Instant at) {
             m.hold(1, at.addingSeconds(-1));
             m.release(at);
         }},
        {"restore by expireIfNeeded",
         [](auto& m, Instant at) {
             m.hold(1, at.addingSeconds(-1));
             m.expireIfNeeded(at);
         }},
        {"a failed hold",
         [this](auto& m, Instant at) {
             pmset.onNextCall().throws(timedOut);
             EXPECT_THROW(m.hold(60, at), PowerHelperError);
         }},
        {"a failed status",
         [this](auto& m, Instant at) {
             pmset.onNextCall().throws(timedOut);
             (void)m.status(at);
         }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        log = EventLog();
        pmset = ScriptedPMSetRunner(log);
        store = InMemoryStateStore(log);
        auto& m = construct(t0);
        const Instant at = t0.addingSeconds(100);
        row.activity(m, at);
        EXPECT_EQ(m.lastActivityAt(), at);
        EXPECT_FALSE(m.state().heldByHelper);
        EXPECT_FALSE(m.shouldExit(at.addingSeconds(59.999)));
        EXPECT_TRUE(m.shouldExit(at.addingSeconds(60)));
    }
}

TEST_F(APowerLeaseManager, DoesNotCountAnExpireIfNeededWithNothingToDo) {
    auto& m = started();
    m.expireIfNeeded(t0.addingSeconds(30));
    EXPECT_TRUE(m.shouldExit(t0.addingSeconds(60)));
}

TEST_F(APowerLeaseManager, ExitsAfterARunOutLeaseHasBeenPutBackAndSixtySecondsPassed) {
    auto& m = holding(5);
    EXPECT_FALSE(m.shouldExit(t0.addingSeconds(65)));
    m.expireIfNeeded(t0.addingSeconds(65));
    EXPECT_FALSE(m.shouldExit(t0.addingSeconds(124)));
    EXPECT_TRUE(m.shouldExit(t0.addingSeconds(125)));
}

} // namespace
} // namespace zelvo
