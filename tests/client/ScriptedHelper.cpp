#include "ScriptedHelper.h"

#include "PowerHelperConstants.h"

#include <algorithm>

namespace zelvo::test {

namespace Constants = PowerHelperConstants;

ScriptedHelper::ScriptedHelper(const std::string& busAddress,
                               const std::string& requestReplySignature,
                               const std::string& statusReplySignature)
    : connection_(sdbus::createSessionBusConnectionWithAddress(busAddress)) {
    connection_->requestName(std::string(Constants::machServiceName));
    object_ = sdbus::createObject(*connection_, std::string(Constants::objectPath));
    const std::string interface(Constants::interfaceName);
    object_->registerMethod(interface, "HoldLidSleepDisabled", "x", requestReplySignature,
                            [this](sdbus::MethodCall call) {
                                std::int64_t leaseSeconds = 0;
                                call >> leaseSeconds;
                                answerRequest(call, holdScript_, holdsUsed_,
                                              "HoldLidSleepDisabled " +
                                                  std::to_string(leaseSeconds));
                            });
    object_->registerMethod(interface, "Release", "", requestReplySignature,
                            [this](sdbus::MethodCall call) {
                                answerRequest(call, releaseScript_, releasesUsed_, "Release");
                            });
    const bool withFields = statusReplySignature != "s";
    object_->registerMethod(interface, "Status", "", statusReplySignature,
                            [this, withFields](sdbus::MethodCall call) {
                                StatusAnswer answer;
                                {
                                    std::lock_guard lock(mutex_);
                                    answer = status_;
                                }
                                record("Status");
                                auto reply = call.createReply();
                                reply << answer.className;
                                if (withFields) {
                                    reply << answer.fields;
                                }
                                reply.send();
                            });
    object_->finishRegistration();
    connection_->enterEventLoopAsync();
}

ScriptedHelper::~ScriptedHelper() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    connection_->leaveEventLoop();
}

void ScriptedHelper::scriptHold(std::vector<RequestAnswer> answers) {
    std::lock_guard lock(mutex_);
    holdScript_ = std::move(answers);
    holdsUsed_ = 0;
}

void ScriptedHelper::scriptRelease(std::vector<RequestAnswer> answers) {
    std::lock_guard lock(mutex_);
    releaseScript_ = std::move(answers);
    releasesUsed_ = 0;
}

void ScriptedHelper::scriptStatus(StatusAnswer answer) {
    std::lock_guard lock(mutex_);
    status_ = std::move(answer);
}

std::vector<std::string> ScriptedHelper::calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

bool ScriptedHelper::waitForCalls(const std::string& call, std::size_t count) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(20), [&] {
        return static_cast<std::size_t>(std::count(calls_.begin(), calls_.end(), call)) >= count;
    });
}

void ScriptedHelper::record(std::string entry) {
    {
        std::lock_guard lock(mutex_);
        calls_.push_back(std::move(entry));
    }
    changed_.notify_all();
}

void ScriptedHelper::answerRequest(sdbus::MethodCall& call, std::vector<RequestAnswer>& script,
                                   std::size_t& used, std::string logEntry) {
    RequestAnswer answer;
    {
        std::unique_lock lock(mutex_);
        answer = script.at(std::min(used, script.size() - 1));
        ++used;
        changed_.wait_for(lock, answer.delay, [this] { return stopping_; });
    }
    record(std::move(logEntry));
    if (!answer.errorName.empty()) {
        call.createErrorReply(sdbus::Error(answer.errorName, "scripted refusal")).send();
        return;
    }
    auto reply = call.createReply();
    reply << answer.success;
    if (answer.error) {
        reply << *answer.error;
    }
    reply.send();
}

} // namespace zelvo::test
