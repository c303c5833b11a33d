#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace zelvo::fakes {

using Events = std::vector<std::string>;

// One ordered log of what the fakes were asked to do, shared by every fake of a test, so that a
// test states the whole sequence of runs and saves in one line:
//
//   EXPECT_EQ(log.events(), (Events{"run -g", "save held", "run -a disablesleep 1", "run -g"}));
//
// Copies share one log. Not thread-safe; the lease manager calls its seams one at a time.
class EventLog {
public:
    EventLog() : events_(std::make_shared<Events>()) {}

    void record(std::string event) const { events_->push_back(std::move(event)); }
    [[nodiscard]] const Events& events() const noexcept { return *events_; }
    // Forgets what was logged so far, for example what construction did.
    void clear() const { events_->clear(); }

private:
    std::shared_ptr<Events> events_;
};

} // namespace zelvo::fakes
