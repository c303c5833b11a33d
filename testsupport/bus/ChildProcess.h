#pragma once

#include "UniqueFd.h"

#include <chrono>
#include <filesystem>
#include <spawn.h>
#include <string>
#include <sys/types.h>
#include <vector>

namespace zelvo::testbus {

struct Pipe {
    UniqueFd read;
    UniqueFd write;
};

// A pipe whose two ends are closed on exec. Throws std::system_error.
[[nodiscard]] Pipe makePipe();

// The exit status, or 128 + the signal number when a signal ended the process.
[[nodiscard]] int exitStatusOf(int status);

// Waits for pid and reaps it, retrying on EINTR; its exit status as exitStatusOf gives it, or -1.
int reap(pid_t pid);

// Waits up to bound for pid to end without reaping it, so its pid (and process group id) stays
// reserved and may still be signalled safely. True when it has ended.
bool waitForExitKeepingPid(pid_t pid, std::chrono::milliseconds bound);

// Reads fd up to its first newline and returns what came before it. Throws std::runtime_error when
// the writer closes first or no full line arrives within bound.
[[nodiscard]] std::string readLine(int fd, std::chrono::milliseconds bound);

// argv run through setpriv --pdeathsig KILL: the program (setpriv execs it, so the pid is the
// same) gets SIGKILL when the thread that started it ends, so it cannot outlive a crashed test.
[[nodiscard]] std::vector<std::string> killedWithParent(std::vector<std::string> argv);

// posix_spawn attributes and file actions, released on every exit.
class SpawnSetup {
public:
    SpawnSetup();
    ~SpawnSetup();
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    // The child starts with default dispositions and an empty mask, whatever this process blocks
    // or ignores, optionally as the leader of a new process group.
    void cleanSignals(bool ownProcessGroup);
    void dupTo(int from, int to);
    void open(int to, const std::filesystem::path& path, int flags);

    // Starts argv[0], looked up in PATH, in this process's environment. Throws std::system_error.
    pid_t spawn(const std::vector<std::string>& argv);

private:
    posix_spawnattr_t attributes_;
    posix_spawn_file_actions_t actions_;
};

// A child process that cannot outlive the thread that started it: the leader of its own process
// group, killed with its parent (killedWithParent), ended with its whole group on destruction.
// Not thread-safe: use one from one thread.
class ChildProcess {
public:
    ChildProcess() noexcept = default;
    // Starts argv with standard input on /dev/null, standard output on standardOutput when it is
    // given (>= 0) and both output streams otherwise appended to log. Throws std::system_error.
    ChildProcess(const std::vector<std::string>& argv, const std::filesystem::path& log,
                 int standardOutput = -1);
    ~ChildProcess() { stop(); }

    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    [[nodiscard]] pid_t pid() const noexcept { return pid_; }
    // True while started and not yet stopped, even when it has already ended by itself.
    [[nodiscard]] bool started() const noexcept { return pid_ > 0; }
    // True when it has ended by itself (it is not reaped, so pid() stays reserved).
    [[nodiscard]] bool hasExited() const;

    // Sends signal to the process alone.
    void signal(int signal) const;

    // Sends SIGTERM to the process group, waits up to grace for the leader to end, then SIGKILLs
    // what is left of the group and reaps the leader. Returns its exit status (exitStatusOf), or
    // -1 when nothing was started. Idempotent.
    int stop(std::chrono::milliseconds grace = std::chrono::seconds(5));

private:
    pid_t pid_ = -1;
};

} // namespace zelvo::testbus
