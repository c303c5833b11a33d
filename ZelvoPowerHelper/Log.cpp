#include "Log.h"

#include "WriteAll.h"

#include <string>
#include <unistd.h>

namespace zelvo {

void writeStandardErrorLine(std::string_view text) noexcept {
    try {
        std::string line;
        line.reserve(text.size() + 1);
        line.append(text).push_back('\n');
        (void)writeAll(STDERR_FILENO, line);
    } catch (...) {
        // Out of memory for one line: nothing sensible is left to do.
    }
}

} // namespace zelvo
