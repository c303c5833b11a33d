#include "EventSource.h"

#include "SerialQueue.h"

#include <utility>

namespace zelvo::dispatch {

EventSource::EventSource(SerialQueue& queue, UniqueFd fd, Drain drain) noexcept
    : queue_(queue), fd_(std::move(fd)), drain_(drain) {}

EventSource::~EventSource() {
    if (resumed_) {
        queue_.unwatch(fd_.get());
    }
}

void EventSource::setEventHandler(std::function<void()> handler) {
    handler_ = std::make_shared<const std::function<void()>>(std::move(handler));
}

void EventSource::resume() {
    if (resumed_) {
        return;
    }
    // Set first: the callback may run, and destroy this source, before watch returns.
    resumed_ = true;
    try {
        queue_.watch(fd_.get(), [this] { onReadable(); });
    } catch (...) {
        resumed_ = false;
        throw;
    }
}

void EventSource::onReadable() {
    if (!drain_(fd_.get())) {
        return;
    }
    const auto handler = handler_;
    if (handler && *handler) {
        (*handler)();
    }
    // Nothing of this object is touched after the handler: it may have destroyed the source.
}

} // namespace zelvo::dispatch
