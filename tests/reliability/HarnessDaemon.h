#pragma once

// The daemon tests' harness (a real testbed daemon on a private bus, the pmset stand-in, its own
// folders) driven outside a test run, and what the campaigns read of the running daemon.

#include "Campaign.h"
#include "DaemonHarness.h"

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

namespace zelvo::reliability {

class HarnessDaemon final : public daemontest::DaemonTest {
public:
    using DaemonTest::bus;
    using DaemonTest::daemon;
    using DaemonTest::daemonErrors;
    using DaemonTest::daemonRunning;
    using DaemonTest::nameOwned;
    using DaemonTest::pmset;
    using DaemonTest::pmsetRuns;
    using DaemonTest::startBus;
    using DaemonTest::startDaemon;
    using DaemonTest::stateBytes;
    using DaemonTest::stateDirectory;
    using DaemonTest::statePath;
    using DaemonTest::waitForExit;
    using DaemonTest::writeState;

    // Starts the daemon and waits (bound 20 s) until it owns its name; false when it did not.
    bool startAndAwaitName();
    // SIGTERM, then its exit status within 20 s (nothing when it did not end).
    std::optional<int> terminate();
    // The pids of every pmset run so far, from the stand-in's calls log.
    [[nodiscard]] std::vector<pid_t> pmsetPids() const;
    // True when the state file holds exactly the record not held.
    [[nodiscard]] bool recordNotHeld() const;

private:
    void TestBody() override {}
};

// The daemon's children, zombies included (every thread's children list).
[[nodiscard]] std::vector<pid_t> childrenOf(pid_t pid);

// The lowest descriptor count of the process over a quiet second, so that a pmset run's pipe and
// pidfd in passing are not counted.
[[nodiscard]] int quietDescriptorCount(pid_t pid);

// The process's resident set in KiB (VmRSS), or -1 when it cannot be read.
[[nodiscard]] long residentKiB(pid_t pid);

} // namespace zelvo::reliability
