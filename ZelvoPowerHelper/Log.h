#pragma once

#include <string_view>

namespace zelvo {

// Writes text and one line feed to standard error as one write(2), repeated on EINTR and short
// writes, so that lines from different threads never interleave. Never throws; a failure to write
// is dropped, since there is nowhere else to report it.
void writeStandardErrorLine(std::string_view text) noexcept;

} // namespace zelvo
