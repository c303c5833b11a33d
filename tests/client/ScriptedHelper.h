#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sdbus-c++/sdbus-c++.h>
#include <string>
#include <vector>

namespace zelvo::test {

// How the scripted helper answers one hold or release request.
struct RequestAnswer {
    bool success = true;
    // The "as" of the reply; nothing leaves the array out (for a helper whose hold and release
    // are declared to reply "b").
    std::optional<std::vector<std::string>> error = std::vector<std::string>{};
    // A D-Bus error name: the request is answered with that error instead.
    std::string errorName;
    // Held back this long (or until the helper is destroyed) before answering.
    std::chrono::milliseconds delay{0};
};

inline RequestAnswer failure(std::string description) {
    return RequestAnswer{false, std::vector<std::string>{std::move(description)}, {}, {}};
}

// How it answers a status request: the class name and the a{sv} exactly as given.
struct StatusAnswer {
    std::string className = "ZelvoPowerHelperStatus";
    std::map<std::string, sdbus::Variant> fields;
};

// A stand-in for the daemon on a private bus: it owns the helper's name and serves the three
// requests from a script, recording each in one ordered log ("HoldLidSleepDisabled 60",
// "Release", "Status"). Requests are served on its own bus thread; the script may be changed at
// any time.
class ScriptedHelper {
public:
    // requestReplySignature declares what hold and release reply: the contract's "bas", or
    // another shape to serve a malformed reply; statusReplySignature likewise for status, where
    // "s" leaves the fields out.
    explicit ScriptedHelper(const std::string& busAddress,
                            const std::string& requestReplySignature = "bas",
                            const std::string& statusReplySignature = "sa{sv}");
    ~ScriptedHelper();

    // Answers used in order, one per request; the last one is repeated. Default: success.
    void scriptHold(std::vector<RequestAnswer> answers);
    void scriptRelease(std::vector<RequestAnswer> answers);
    void scriptStatus(StatusAnswer answer);

    [[nodiscard]] std::vector<std::string> calls() const;
    // Waits (bounded generously) until the log has at least count entries equal to call.
    bool waitForCalls(const std::string& call, std::size_t count) const;

private:
    void answerRequest(sdbus::MethodCall& call, std::vector<RequestAnswer>& script,
                       std::size_t& used, std::string logEntry);
    void record(std::string entry);

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool stopping_ = false;
    std::vector<std::string> calls_;
    std::vector<RequestAnswer> holdScript_{RequestAnswer{}};
    std::vector<RequestAnswer> releaseScript_{RequestAnswer{}};
    std::size_t holdsUsed_ = 0;
    std::size_t releasesUsed_ = 0;
    StatusAnswer status_;

    std::unique_ptr<sdbus::IConnection> connection_;
    std::unique_ptr<sdbus::IObject> object_;
};

} // namespace zelvo::test
