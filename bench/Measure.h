#pragma once

// What the driver measures with: sample summaries, the processes it starts, their footprint and
// CPU time read from /proc, and a watcher of bus name ownership. Errors throw std::system_error or
// std::runtime_error.

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace zelvo::bench {

using Clock = std::chrono::steady_clock;

[[nodiscard]] inline double millisecondsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// Milliseconds that `work()` took.
template <typename Work>
[[nodiscard]] double timed(Work work) {
    const auto start = Clock::now();
    work();
    return millisecondsBetween(start, Clock::now());
}

struct Summary {
    std::size_t count = 0;
    double median = 0;
    double p99 = 0;
};

// program then arguments, null-terminated, for posix_spawn; points into the strings given.
[[nodiscard]] std::vector<char*> argvOf(const std::string& program,
                                        const std::vector<std::string>& arguments);

// Median and 99th percentile (nearest rank) of the samples; all zero for none.
[[nodiscard]] Summary summarize(std::vector<double> samples);

// A child process started with posix_spawn, its output appended to `logPath`. The destructor
// SIGKILLs and reaps a child that is still running.
class Process {
public:
    Process(const std::string& program, const std::vector<std::string>& arguments,
            const std::string& logPath);
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    [[nodiscard]] pid_t pid() const noexcept { return pid_; }
    [[nodiscard]] Clock::time_point startedAt() const noexcept { return startedAt_; }
    // SIGTERM, then waits for the end (SIGKILL after 10 s); the exit status, or 128 + signal.
    int terminate();

private:
    pid_t pid_ = -1;
    Clock::time_point startedAt_;
};

struct Footprint {
    double residentKiB = 0;  // VmRSS
    double anonymousKiB = 0; // RssAnon
    int threads = 0;
};

[[nodiscard]] Footprint footprintOf(pid_t pid);
// CPU time of all the process's threads so far (scheduler statistics, nanosecond precision).
[[nodiscard]] double cpuSecondsOf(pid_t pid);
// Context switches of all its threads so far: each is a wake-up or a preemption.
[[nodiscard]] long contextSwitchesOf(pid_t pid);
// The executable's shared libraries as the dynamic loader resolves them (ldd), and its size.
[[nodiscard]] std::size_t sharedLibraryCount(const std::string& executable);
[[nodiscard]] double fileSizeKiB(const std::string& path);

// Watches NameOwnerChanged for a few well-known names on its own bus connection, so that the
// moment a name is taken is seen without polling the bus. Not for concurrent use.
class NameWatcher {
public:
    explicit NameWatcher(const std::vector<std::string>& names);
    ~NameWatcher();
    NameWatcher(const NameWatcher&) = delete;
    NameWatcher& operator=(const NameWatcher&) = delete;

    // Forgets the changes seen so far.
    void clear();
    // When `name` got an owner, after the last clear(); waits for it up to `timeout`.
    [[nodiscard]] Clock::time_point waitForOwner(const std::string& name,
                                                 std::chrono::milliseconds timeout);
    // Waits until `name` has no owner.
    void waitForNoOwner(const std::string& name, std::chrono::milliseconds timeout);
    // The process that owns `name`, as the bus recorded it.
    [[nodiscard]] pid_t ownerPid(const std::string& name);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace zelvo::bench
