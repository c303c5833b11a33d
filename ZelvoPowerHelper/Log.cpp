#include "Log.h"

#include <cerrno>
#include <string>
#include <unistd.h>

namespace zelvo {

void writeStandardErrorLine(std::string_view text) noexcept {
    try {
        std::string line;
        line.reserve(text.size() + 1);
        line.append(text).push_back('\n');
        std::string_view rest = line;
        while (!rest.empty()) {
            const ssize_t written = ::write(STDERR_FILENO, rest.data(), rest.size());
            if (written < 0 && errno == EINTR) {
                continue;
            }
            if (written <= 0) {
                return;
            }
            rest.remove_prefix(static_cast<std::size_t>(written));
        }
    } catch (...) {
        // Out of memory for one line: nothing sensible is left to do.
    }
}

} // namespace zelvo
