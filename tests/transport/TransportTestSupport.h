#pragma once

#include "Listener.h"
#include "PowerHelperConstants.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace zelvo::transport::test {

using namespace std::chrono_literals;

// Polls until done() holds, for at most `bound`; the bound is generous and never the assertion.
inline bool eventually(const std::function<bool()>& done, std::chrono::milliseconds bound = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// One thread that runs each task once its delay has passed, as the daemon's queue would answer.
class LaterThread {
public:
    LaterThread() : thread_([this] { run(); }) {}
    ~LaterThread() {
        {
            const std::lock_guard lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    void after(std::chrono::milliseconds delay, std::function<void()> task) {
        {
            const std::lock_guard lock(mutex_);
            tasks_.emplace(std::chrono::steady_clock::now() + delay, std::move(task));
        }
        wake_.notify_all();
    }

private:
    void run() {
        std::unique_lock lock(mutex_);
        while (!stop_) {
            if (tasks_.empty()) {
                wake_.wait(lock);
                continue;
            }
            const auto due = tasks_.begin()->first;
            if (std::chrono::steady_clock::now() < due) {
                wake_.wait_until(lock, due);
                continue;
            }
            auto task = std::move(tasks_.begin()->second);
            tasks_.erase(tasks_.begin());
            lock.unlock();
            task();
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::multimap<std::chrono::steady_clock::time_point, std::function<void()>> tasks_;
    bool stop_ = false;
    std::thread thread_;
};

// Every call the exported objects of one delegate have seen, in arrival order; it outlives them.
class CallLog {
public:
    void record(std::string call) {
        const std::lock_guard lock(mutex_);
        calls_.push_back(std::move(call));
    }
    [[nodiscard]] std::vector<std::string> calls() const {
        const std::lock_guard lock(mutex_);
        return calls_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
};

// How the scripted object answers.
enum class Answering {
    immediately, // on the bus thread, inside the call
    later,       // from another thread after `delay`
    never,       // drops the reply function unanswered
    twice,       // answers, then answers again with the opposite outcome
    throwing,    // throws instead of answering
    kept,        // keeps the reply function for the test to call
};

// An exported object that records its calls and answers as scripted. Hold and release answer
// success when error is empty and failure with that text otherwise; a hold whose lease is negative
// answers failure with the lease as its text, which lets a test match replies to requests.
class ScriptedObject final : public ZelvoPowerHelperProtocol {
public:
    struct Script {
        Answering answering = Answering::immediately;
        std::chrono::milliseconds delay = 0ms;
        std::optional<std::string> error = std::nullopt;
        HelperStatus status = HelperStatus("1.1.0", false, 0, 0, std::nullopt);
    };

    ScriptedObject(Script script, LaterThread& later, CallLog& log)
        : script_(std::move(script)), later_(later), log_(log) {}

    void holdLidSleepDisabled(std::int64_t leaseSeconds, Reply reply) override {
        record("hold " + std::to_string(leaseSeconds));
        answerBasic(std::move(reply),
                    leaseSeconds < 0 ? std::optional(std::to_string(leaseSeconds)) : script_.error);
    }
    void release(Reply reply) override {
        record("release");
        answerBasic(std::move(reply), script_.error);
    }
    void status(StatusReply reply) override {
        record("status");
        const HelperStatus status = script_.status;
        answer([reply, status](bool) { reply(status); }, [] {});
    }

    // Answers every kept hold or release reply with success.
    void answerKept() {
        std::vector<Reply> kept;
        {
            const std::lock_guard lock(mutex_);
            kept.swap(keptBasic_);
        }
        for (auto& reply : kept) {
            reply(true, std::nullopt);
        }
    }

private:
    void record(std::string call) { log_.record(std::move(call)); }
    // Hold and release answer alike: success, or the scripted error (flipped when asked to).
    void answerBasic(Reply reply, std::optional<std::string> error) {
        answer(
            [reply, error](bool flip) {
                reply(flip ? error.has_value() : !error.has_value(), flip ? std::nullopt : error);
            },
            [this, reply] {
                const std::lock_guard lock(mutex_);
                keptBasic_.push_back(reply);
            });
    }
    void answer(std::function<void(bool)> send, const std::function<void()>& keep) {
        switch (script_.answering) {
        case Answering::immediately:
            send(false);
            break;
        case Answering::later:
            later_.after(script_.delay, [send] { send(false); });
            break;
        case Answering::never:
            break;
        case Answering::twice:
            send(false);
            send(true);
            break;
        case Answering::throwing:
            throw std::runtime_error("scripted failure");
        case Answering::kept:
            keep();
            break;
        }
    }

    Script script_;
    LaterThread& later_;
    CallLog& log_;
    std::mutex mutex_;
    std::vector<Reply> keptBasic_;
};

// A delegate that records every offer and configures each connection with a fresh ScriptedObject.
class ScriptedDelegate final : public ListenerDelegate {
public:
    struct Script {
        bool accept = true;
        bool connectionRequirement = true;
        bool exportInterface = true;
        bool resume = true;
        bool throwing = false;
        ScriptedObject::Script object = {};
    };

    ScriptedDelegate(Script script, LaterThread& later)
        : script_(std::move(script)), later_(later) {}

    bool shouldAcceptNewConnection(Listener&, Connection& connection) override {
        auto object = std::make_shared<ScriptedObject>(script_.object, later_, log_);
        {
            const std::lock_guard lock(mutex_);
            offers_.push_back(connection.peerName());
            objects_[connection.peerName()] = object;
        }
        if (script_.throwing) {
            throw std::runtime_error("scripted delegate failure");
        }
        if (script_.connectionRequirement) {
            connection.setCodeSigningRequirement(
                std::string(PowerHelperConstants::clientRequirement));
        }
        if (script_.exportInterface) {
            connection.setExportedInterface(powerHelperInterface());
        }
        connection.setExportedObject(object);
        if (script_.resume) {
            connection.resume();
        }
        return script_.accept;
    }

    [[nodiscard]] std::vector<std::string> offers() const {
        const std::lock_guard lock(mutex_);
        return offers_;
    }
    // The object exported to that peer, while its connection lives.
    [[nodiscard]] std::shared_ptr<ScriptedObject> objectFor(const std::string& peer) const {
        const std::lock_guard lock(mutex_);
        const auto found = objects_.find(peer);
        return found == objects_.end() ? nullptr : found->second.lock();
    }
    // Every call the exported objects have seen.
    [[nodiscard]] std::vector<std::string> calls() const { return log_.calls(); }

private:
    Script script_;
    LaterThread& later_;
    mutable std::mutex mutex_;
    std::vector<std::string> offers_;
    std::map<std::string, std::weak_ptr<ScriptedObject>> objects_;
    CallLog log_;
};

} // namespace zelvo::transport::test
