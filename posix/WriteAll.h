#pragma once

#include <cerrno>
#include <cstddef>
#include <string_view>
#include <unistd.h>

namespace zelvo {

// Writes all of `data` to `fd`, again after EINTR and after a short write. False when a write fails
// (errno says why) or writes nothing. A line written through this in one piece is one write(2) as
// long as the descriptor takes it, so lines from processes sharing a stream do not interleave.
inline bool writeAll(int fd, std::string_view data) noexcept {
    while (!data.empty()) {
        const ssize_t written = ::write(fd, data.data(), data.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

} // namespace zelvo
