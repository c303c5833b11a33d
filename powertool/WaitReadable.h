#pragma once

#include <cerrno>
#include <chrono>
#include <climits>
#include <poll.h>

namespace zelvo::powertool {

// True once `fd` is readable or hung up; false when `deadline` has passed first or poll fails.
// Again after EINTR.
inline bool waitReadable(int fd, std::chrono::steady_clock::time_point deadline) noexcept {
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd entry{fd, POLLIN, 0};
        const int ready =
            ::poll(&entry, 1, left.count() > INT_MAX ? INT_MAX : static_cast<int>(left.count()));
        if (ready > 0) {
            return true;
        }
        if (ready < 0 && errno != EINTR) {
            return false;
        }
    }
}

} // namespace zelvo::powertool
