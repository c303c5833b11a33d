// The daemon's own events: the one-second tick and the termination signals. All run on the
// service's queue, after whatever request is running, so no lease call is ever cut in half.

#include "PowerHelperError.h"
#include "PowerHelperService.h"
#include "Process.h"
#include "SignalSource.h"
#include "TimerSource.h"

#include <csignal>
#include <memory>

namespace zelvo {

namespace {

constexpr double tickSeconds = 1.0;

} // namespace

void PowerHelperService::startMonitoring() {
    std::weak_ptr<PowerHelperService> weakSelf = weak_from_this();

    auto timer = std::make_unique<dispatch::TimerSource>(queue_);
    timer->schedule(tickSeconds, tickSeconds, 0);
    timer->setEventHandler([weakSelf] {
        if (auto self = weakSelf.lock()) {
            self->onTick();
        }
    });
    timer_ = std::move(timer);
    timer_->resume();

    for (const int signalNumber : terminationSignals) {
        dispatch::ignoreSignal(signalNumber);
        auto source = std::make_unique<dispatch::SignalSource>(signalNumber, queue_);
        source->setEventHandler([weakSelf] {
            auto self = weakSelf.lock();
            if (!self) {
                dispatch::exitProcess(1);
            }
            endProcess(*self->lease_, 0);
        });
        terminationSources_.push_back(std::move(source));
        terminationSources_.back()->resume();
    }
}

void PowerHelperService::onTick() {
    try {
        lease_->expireIfNeeded(Instant::now());
    } catch (const std::exception& error) {
        // Retried by the next tick for as long as the hold is recorded.
        log("Lease restore failed: " + descriptionOf(error));
    }
    if (lease_->shouldExit(Instant::now())) {
        dispatch::exitProcess(0);
    }
}

void PowerHelperService::endProcess(PowerLeaseManager& lease, int statusWhenRestored) {
    try {
        lease.release(Instant::now());
    } catch (const std::exception& error) {
        log("Termination restore failed: " + descriptionOf(error));
        dispatch::exitProcess(1);
    }
    dispatch::exitProcess(statusWhenRestored);
}

} // namespace zelvo
