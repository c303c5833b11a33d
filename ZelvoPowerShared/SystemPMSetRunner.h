#pragma once

#include "PMSet.h"

#include <string>

namespace zelvo {

// Runs pmset as a child process: both output streams on one pipe, at most 5 s from the launch.
//
// - exit status 0: returns the output, decoded as UTF-8 (invalid bytes become U+FFFD), untrimmed;
// - non-zero status: throws commandFailed("exit N: " + trimmed output);
// - not finished, or its output not closed, 5 s after the launch: throws commandFailed("timed out");
//   the child's process group gets SIGTERM, then SIGKILL after a short grace, and is reaped;
// - the launch fails: throws std::system_error with the launch's error number.
//
// The child starts with default signal dispositions, an empty signal mask, and no descriptor of the
// daemon but the pipe on 1 and 2. No zombie is ever left behind. Stateless: calls from several
// threads do not interfere.
class SystemPMSetRunner final : public PMSetRunning {
public:
    static constexpr const char* defaultExecutable = "/usr/bin/pmset";
    static constexpr double timeLimitSeconds = 5.0;

    SystemPMSetRunner() : SystemPMSetRunner(defaultExecutable) {}
    // For tests and the test-only daemon: another program in pmset's place.
    explicit SystemPMSetRunner(std::string executable) : executable_(std::move(executable)) {}

    std::string run(const PMSetCommand& command) override;

    [[nodiscard]] const std::string& executable() const noexcept { return executable_; }

private:
    std::string executable_;
};

} // namespace zelvo
