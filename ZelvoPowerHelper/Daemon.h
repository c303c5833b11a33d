#pragma once

#include <string>

namespace zelvo {

// What differs between the daemon and its test-only twin: where pmset and the state file are.
struct DaemonPaths {
    std::string pmset;
    std::string statePath;
};

// The daemon's start-up: refuses unless root, locks the state directory against a second
// instance, builds the lease manager (which puts back a hold an earlier run left behind), starts
// the monitoring, publishes the service on the system bus and parks the main thread. A resource
// it cannot have (a descriptor, a thread, the lock, the bus or its name) ends the process with
// status 1 after one line "ZelvoPowerHelper startup failed: <description>", and after putting
// back a hold the lease manager had adopted. Never returns: the process ends through an exit of
// its own.
[[noreturn]] void runDaemon(const DaemonPaths& paths);

} // namespace zelvo
