#pragma once

#include <string>

namespace zelvo {

// What differs between the daemon and its test-only twin: where pmset and the state file are.
struct DaemonPaths {
    std::string pmset;
    std::string statePath;
};

// The daemon's start-up: refuses unless root, builds the lease manager (which puts back a hold an
// earlier run left behind), publishes the service on the system bus, starts the monitoring and
// parks the main thread. Never returns: the process ends through an exit of its own.
[[noreturn]] void runDaemon(const DaemonPaths& paths);

} // namespace zelvo
