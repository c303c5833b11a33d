#pragma once

#include "EventLog.h"
#include "PowerLease.h"

#include <cstddef>
#include <exception>
#include <map>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace zelvo::fakes {

// A PowerHelperStateStoring in memory. It logs "load" for each load and "save held" or
// "save not held" for each save attempt (before its outcome), into the shared EventLog.
//
//   InMemoryStateStore store(log, PowerHelperState{true, Instant{100}});  // an earlier run's
//   record store.failLoad(PowerHelperError::fileFailure("open: Permission denied"));
//   store.failSave(2, PowerHelperError::fileFailure("fsync: I/O error"));  // the 2nd save throws
//   store.failNextSave(std::system_error(...));
//
// A refused save leaves the stored record as it was. The store checks nothing: it hands back any
// record it was given, valid or not. Copies share one store; hand `handle()` to the lease manager.
class InMemoryStateStore final : public PowerHelperStateStoring {
public:
    explicit InMemoryStateStore(EventLog log,
                                std::optional<PowerHelperState> initial = std::nullopt)
        : shared_(std::make_shared<Shared>(std::move(log), std::move(initial))) {}

    [[nodiscard]] std::unique_ptr<PowerHelperStateStoring> handle() const {
        return std::make_unique<InMemoryStateStore>(*this);
    }

    // Replaces what is stored, as an earlier run could have left it; logs nothing.
    void setStored(std::optional<PowerHelperState> state) const {
        shared_->stored = std::move(state);
    }
    // What a load would return now.
    [[nodiscard]] const std::optional<PowerHelperState>& stored() const noexcept {
        return shared_->stored;
    }
    // Every record that was stored, in order; refused saves are not in it.
    [[nodiscard]] const std::vector<PowerHelperState>& saved() const noexcept {
        return shared_->saved;
    }
    [[nodiscard]] std::size_t loads() const noexcept { return shared_->loads; }
    // Save attempts so far, refused ones included.
    [[nodiscard]] std::size_t saveAttempts() const noexcept { return shared_->attempts; }

    template <typename Error>
    void failLoad(Error error) const {
        shared_->loadFailure = std::make_exception_ptr(std::move(error));
    }
    // The save attempt with this number (the first is 1) throws the error.
    template <typename Error>
    void failSave(std::size_t number, Error error) const {
        shared_->saveFailures[number] = std::make_exception_ptr(std::move(error));
    }
    template <typename Error>
    void failNextSave(Error error) const {
        failSave(shared_->attempts + 1, std::move(error));
    }

    std::optional<PowerHelperState> load() override {
        Shared& s = *shared_;
        s.log.record("load");
        ++s.loads;
        if (s.loadFailure) {
            std::rethrow_exception(s.loadFailure);
        }
        return s.stored;
    }

    void save(const PowerHelperState& state) override {
        Shared& s = *shared_;
        s.log.record(state.heldByHelper ? "save held" : "save not held");
        const std::size_t attempt = ++s.attempts;
        if (const auto found = s.saveFailures.find(attempt); found != s.saveFailures.end()) {
            std::rethrow_exception(found->second);
        }
        s.stored = state;
        s.saved.push_back(state);
    }

private:
    struct Shared {
        Shared(EventLog eventLog, std::optional<PowerHelperState> initial)
            : log(std::move(eventLog)), stored(std::move(initial)) {}
        EventLog log;
        std::optional<PowerHelperState> stored;
        std::vector<PowerHelperState> saved;
        std::size_t loads = 0;
        std::size_t attempts = 0;
        std::exception_ptr loadFailure;
        std::map<std::size_t, std::exception_ptr> saveFailures;
    };
    std::shared_ptr<Shared> shared_;
};

} // namespace zelvo::fakes
