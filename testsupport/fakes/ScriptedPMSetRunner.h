#pragma once

#include "EventLog.h"
#include "PMSet.h"

#include <cstddef>
#include <exception>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>

namespace zelvo::fakes {

// A PMSetRunning that stands in for pmset. It keeps a simulated SleepDisabled value (0 at first):
// `-a disablesleep N` sets it, `-g` answers with a realistic report of it. Every call is logged as
// "run " followed by its arguments joined by blanks ("run -g", "run -a disablesleep 1") before its
// outcome is decided, so a call that fails is in the log too.
//
// A call can be scripted by its number (the first call this runner ever gets is call 1):
//
//   runner.onCall(2).throws(PowerHelperError::commandFailed("timed out"));
//   runner.onCall(3).reports(0);          // -g answers SleepDisabled 0, whatever the value is
//   runner.onCall(3).prints("garbage");   // the call returns exactly this text
//   runner.onCall(4).ignoresChange();     // a set succeeds but leaves the value as it was
//   runner.onNextCall().throws(...);      // the call after the ones made so far
//
// and every call from now on can be made to fail until `succeedAgain()`:
//
//   runner.failEveryCall(PowerHelperError::commandFailed("exit 1: no"));
//
// A scripted call takes precedence over failEveryCall. Copies share one simulation, so a test keeps
// a copy and hands `handle()` to the lease manager.
class ScriptedPMSetRunner final : public PMSetRunning {
public:
    class Script {
    public:
        // The call throws this error (any type: a PowerHelperError, a std::system_error, ...).
        template <typename Error>
        Script& throws(Error error) {
            outcome().error = std::make_exception_ptr(std::move(error));
            return *this;
        }
        // The call returns the realistic -g report, with this value in its SleepDisabled line.
        Script& reports(long long value) {
            outcome().text = report(std::to_string(value));
            return *this;
        }
        // The call returns exactly this text.
        Script& prints(std::string text) {
            outcome().text = std::move(text);
            return *this;
        }
        // A set command succeeds without changing the simulated value.
        Script& ignoresChange() {
            outcome().ignoresChange = true;
            return *this;
        }

    private:
        friend class ScriptedPMSetRunner;
        struct Outcome {
            std::exception_ptr error;
            std::optional<std::string> text;
            bool ignoresChange = false;
        };
        Script(std::shared_ptr<std::map<std::size_t, Outcome>> scripts, std::size_t call)
            : scripts_(std::move(scripts)), call_(call) {}
        Outcome& outcome() { return (*scripts_)[call_]; }

        std::shared_ptr<std::map<std::size_t, Outcome>> scripts_;
        std::size_t call_;
    };

    explicit ScriptedPMSetRunner(EventLog log)
        : shared_(std::make_shared<Shared>(std::move(log))) {}

    // A PMSetRunning for the lease manager that shares this runner's simulation and script.
    [[nodiscard]] std::unique_ptr<PMSetRunning> handle() const {
        return std::make_unique<ScriptedPMSetRunner>(*this);
    }

    // The simulated setting, as another program could have left it.
    void setSleepDisabled(int value) const { shared_->value = value; }
    [[nodiscard]] int sleepDisabled() const noexcept { return shared_->value; }
    // How many calls were made so far.
    [[nodiscard]] std::size_t calls() const noexcept { return shared_->calls; }

    [[nodiscard]] Script onCall(std::size_t number) const {
        return Script(shared_->scripts, number);
    }
    [[nodiscard]] Script onNextCall(std::size_t ahead = 1) const {
        return Script(shared_->scripts, shared_->calls + ahead);
    }
    template <typename Error>
    void failEveryCall(Error error) const {
        shared_->failure = std::make_exception_ptr(std::move(error));
    }
    void succeedAgain() const { shared_->failure = nullptr; }

    // What `pmset -g` prints with `value` in its SleepDisabled line: the form of the real tool,
    // a heading, the key indented by one space and followed by two tabs, the other settings.
    [[nodiscard]] static std::string report(const std::string& value) {
        return "System-wide power settings:\n"
               " SleepDisabled\t\t" +
               value +
               "\n"
               "Currently in use:\n"
               " standby              1\n"
               " Sleep On Power Button 1\n"
               " hibernatefile        /var/vm/sleepimage\n"
               " powernap             1\n"
               " networkoversleep     0\n"
               " disksleep            10\n"
               " sleep                1 (sleep prevented by powerd)\n"
               " hibernatemode        3\n"
               " ttyskeepawake        1\n"
               " displaysleep         2\n"
               " tcpkeepalive         1\n"
               " lowpowermode         0\n"
               " womp                 1\n";
    }

    std::string run(const PMSetCommand& command) override {
        Shared& s = *shared_;
        std::string event = "run";
        for (const auto& argument : command.arguments()) {
            event += " " + argument;
        }
        s.log.record(std::move(event));
        const std::size_t call = ++s.calls;

        Script::Outcome outcome;
        if (const auto found = s.scripts->find(call); found != s.scripts->end()) {
            outcome = found->second;
        } else if (s.failure) {
            outcome.error = s.failure;
        }
        if (outcome.error) {
            std::rethrow_exception(outcome.error);
        }
        if (!command.isRead() && !outcome.ignoresChange) {
            s.value = command.disablesSleep() ? 1 : 0;
        }
        if (outcome.text) {
            return *outcome.text;
        }
        // The real tool prints nothing when it changes a setting.
        return command.isRead() ? report(std::to_string(s.value)) : std::string();
    }

private:
    struct Shared {
        explicit Shared(EventLog eventLog) : log(std::move(eventLog)) {}
        EventLog log;
        int value = 0;
        std::size_t calls = 0;
        std::exception_ptr failure;
        std::shared_ptr<std::map<std::size_t, Script::Outcome>> scripts =
            std::make_shared<std::map<std::size_t, Script::Outcome>>();
    };
    std::shared_ptr<Shared> shared_;
};

} // namespace zelvo::fakes
