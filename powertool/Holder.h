#pragma once

#include "UniqueFd.h"

#include <sys/types.h>

namespace zelvo::powertool {

// Starts the holder: a process that takes our lock from logind itself (so logind lists the
// holder's pid), keeps only the lock's descriptor, and listens on `claimed` (a bound control
// socket, see ControlSocket) until one of these ends it, dropping the lock:
// - `ownerPidfd` says the process that ran the tool has ended, however it ended;
// - SIGTERM;
// - a release request from a peer of uid 0 (anybody else's is answered "refused" and changes
//   nothing).
// The holder is detached from the tool: a session of its own, descriptors 0-2 on /dev/null and
// no other descriptor than its own, so the runner's pipe reaches end of file and a time-out that
// kills the tool's process group does not reach it.
//
// Returns the holder's pid once it holds the lock and listens. Throws ToolFailure with logind's
// own error text when logind refused the lock, and when the holder could not be started, ended
// without a report, or did not report within ToolLimits::holderReport (it is killed then).
// The caller must be single-threaded (the holder is forked, not executed).
[[nodiscard]] pid_t startHolder(UniqueFd claimed, UniqueFd ownerPidfd);

} // namespace zelvo::powertool
