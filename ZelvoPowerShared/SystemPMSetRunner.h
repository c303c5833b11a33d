#pragma once

#include "PMSet.h"
#include "PowerHelperPaths.h"

#include <string>

namespace zelvo {

// Runs the power tool (pmset, or zelvo-pmset on Linux) as a child process: both output streams on
// one pipe, at most 5 s from the launch.
//
// - exit status 0: returns the output, decoded as UTF-8 (invalid bytes become U+FFFD), untrimmed;
// - non-zero status: throws commandFailed("exit N: " + trimmed output), N being the exit status or,
//   for a child ended by a signal, the signal's number;
// - not finished, or its output not closed, 5 s after the launch: throws
//   commandFailed("timed out"); the child's process group gets SIGTERM, then SIGKILL after a 1 s
//   grace, and is reaped on a detached thread; run() itself does not wait out the grace. The pipe
//   is read only after the child has ended, so output that overfills the pipe buffer times out;
//   output that keeps coming from a descendant after the child has ended times out once it passes 1
//   MiB;
// - the launch fails: throws std::system_error with the launch's error number;
// - poll, read or waitpid fail (not expected): throws std::system_error; the child is killed and
//   reaped first.
//
// The child starts with default signal dispositions, an empty signal mask, its own process group,
// and no descriptor of the daemon but the pipe on 1 and 2 (0 is inherited). No zombie is ever left
// behind, and no pid that may have been reused is ever signalled. Needs Linux 5.3 (pidfd) and
// assumes nothing else in the process reaps its children (SIGCHLD not ignored, no waitpid(-1)).
// Stateless: calls from several threads do not interfere.
class SystemPMSetRunner final : public PMSetRunning {
public:
    // On the original platform "/usr/bin/pmset"; on Linux the project's own zelvo-pmset, installed
    // in the libexec folder beside the daemon.
    static constexpr const char* defaultExecutable = PowerHelperPaths::pmset;
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
