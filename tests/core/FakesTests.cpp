#include "InMemoryStateStore.h"
#include "PMSet.h"
#include "PowerHelperError.h"
#include "Printers.h"
#include "ScriptedPMSetRunner.h"

#include <gtest/gtest.h>
#include <stdexcept>

namespace zelvo {
namespace {

using fakes::EventLog;
using fakes::Events;
using fakes::InMemoryStateStore;
using fakes::ScriptedPMSetRunner;

TEST(TheScriptedRunner, SimulatesTheSettingAndAnswersReadsWithARealisticReport) {
    EventLog log;
    ScriptedPMSetRunner pmset(log);
    auto runner = pmset.handle();
    EXPECT_EQ(PMSetParser::sleepDisabled(runner->run(PMSetCommand::read())), 0);
    EXPECT_EQ(runner->run(PMSetCommand::setSleepDisabled(true)), "");
    EXPECT_EQ(pmset.sleepDisabled(), 1);
    const auto report = runner->run(PMSetCommand::read());
    EXPECT_EQ(PMSetParser::sleepDisabled(report), 1);
    EXPECT_NE(report.find("\n SleepDisabled\t\t1\n"), std::string::npos);
    EXPECT_EQ(log.events(), (Events{"run -g", "run -a disablesleep 1", "run -g"}));
    EXPECT_EQ(pmset.calls(), 3u);
}

TEST(TheScriptedRunner, MisbehavesOnTheScriptedCallsOnly) {
    EventLog log;
    ScriptedPMSetRunner pmset(log);
    auto runner = pmset.handle();
    pmset.onCall(1).throws(PowerHelperError::commandFailed("timed out"));
    pmset.onCall(2).reports(7);
    pmset.onCall(3).ignoresChange();
    pmset.onCall(4).prints("text");

    try {
        runner->run(PMSetCommand::read());
        ADD_FAILURE();
    } catch (const PowerHelperError& error) {
        EXPECT_EQ(error, PowerHelperError::commandFailed("timed out"));
    }
    EXPECT_EQ(runner->run(PMSetCommand::read()), ScriptedPMSetRunner::report("7"));
    runner->run(PMSetCommand::setSleepDisabled(true));
    EXPECT_EQ(pmset.sleepDisabled(), 0);
    EXPECT_EQ(runner->run(PMSetCommand::read()), "text");
    EXPECT_EQ(PMSetParser::sleepDisabled(runner->run(PMSetCommand::read())), 0);
    pmset.onNextCall().throws(std::runtime_error("next"));
    EXPECT_THROW(runner->run(PMSetCommand::read()), std::runtime_error);
    EXPECT_EQ(log.events().size(), 6u);
}

TEST(TheScriptedRunner, FailsEveryCallUntilToldToSucceedAgain) {
    EventLog log;
    ScriptedPMSetRunner pmset(log);
    auto runner = pmset.handle();
    pmset.failEveryCall(PowerHelperError::commandFailed("exit 1: "));
    pmset.onCall(2).prints("scripted wins");
    EXPECT_THROW(runner->run(PMSetCommand::setSleepDisabled(true)), PowerHelperError);
    EXPECT_EQ(pmset.sleepDisabled(), 0);
    EXPECT_EQ(runner->run(PMSetCommand::read()), "scripted wins");
    EXPECT_THROW(runner->run(PMSetCommand::read()), PowerHelperError);
    pmset.succeedAgain();
    EXPECT_NO_THROW(runner->run(PMSetCommand::read()));
}

TEST(TheInMemoryStore, LoadsWhatItWasGivenAndRecordsEachSaveInTheSharedLog) {
    EventLog log;
    ScriptedPMSetRunner pmset(log);
    InMemoryStateStore store(log, PowerHelperState{true, Instant{5}});
    auto handle = store.handle();
    EXPECT_EQ(handle->load(), (PowerHelperState{true, Instant{5}}));
    pmset.handle()->run(PMSetCommand::read());
    handle->save(PowerHelperState{});
    EXPECT_EQ(store.stored(), PowerHelperState{});
    EXPECT_EQ(log.events(), (Events{"load", "run -g", "save not held"}));
    EXPECT_EQ(store.loads(), 1u);
    EXPECT_EQ(store.saved(), (std::vector<PowerHelperState>{PowerHelperState{}}));
}

TEST(TheInMemoryStore, RefusesTheScriptedLoadAndSaves) {
    EventLog log;
    InMemoryStateStore store(log);
    auto handle = store.handle();
    store.failSave(2, PowerHelperError::fileFailure("fsync: I/O error"));
    handle->save(PowerHelperState{true, Instant{1}});
    EXPECT_THROW(handle->save(PowerHelperState{}), PowerHelperError);
    EXPECT_EQ(store.stored(), (PowerHelperState{true, Instant{1}}));
    store.failNextSave(std::runtime_error("disk"));
    EXPECT_THROW(handle->save(PowerHelperState{}), std::runtime_error);
    handle->save(PowerHelperState{});
    EXPECT_EQ(store.stored(), PowerHelperState{});
    EXPECT_EQ(store.saveAttempts(), 4u);
    EXPECT_EQ(store.saved().size(), 2u);
    EXPECT_EQ(log.events(),
              (Events{"save held", "save not held", "save not held", "save not held"}));

    store.failLoad(PowerHelperError::fileFailure("open: Permission denied"));
    EXPECT_THROW((void)handle->load(), PowerHelperError);
}

} // namespace
} // namespace zelvo
