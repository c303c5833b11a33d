#pragma once

// What every reliability campaign shares: its command line, its one line of figures, and the
// checks for what a run may leave behind (processes, descriptors, temporary files).

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace zelvo::reliability {

// --long (the long form; the short one otherwise), --seed N (randomised campaigns), --mutant NAME
// (a deliberately broken variant, which the campaign must catch). Exits with status 2 on anything
// else.
struct Options {
    bool longForm = false;
    std::uint64_t seed = 0;
    bool seedGiven = false;
    std::string mutant;
};
[[nodiscard]] Options parseOptions(int argc, char** argv);

// The figures of one campaign. Violations are counted and the first few described on standard
// error; finish() prints the one line of figures on standard output.
class Figures {
public:
    explicit Figures(std::string campaign) : campaign_(std::move(campaign)) {}

    void violation(const std::string& what);
    // Extra "name value" pairs printed after the standard figures, for what a campaign measures
    // beyond them (not counted as violations).
    void note(const std::string& name, long value);

    long cases = 0;
    long leakedProcesses = 0;
    long leakedDescriptors = 0;
    long leftoverTemporaryFiles = 0;

    [[nodiscard]] long violations() const noexcept { return violations_; }
    // Prints the line; the exit status: 0 when no violation and nothing leaked or left behind.
    [[nodiscard]] int finish(std::chrono::steady_clock::duration elapsed) const;

private:
    std::string campaign_;
    long violations_ = 0;
    std::vector<std::pair<std::string, long>> notes_;
};

// Polls every 5 ms until the condition holds or the bound runs out; true when it held.
bool eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds bound = std::chrono::seconds(10));

// A fresh temporary folder (mode 0755), removed with all it holds when destroyed.
class TemporaryFolder {
public:
    explicit TemporaryFolder(const std::string& prefix = "zelvo-reliability");
    ~TemporaryFolder();
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;
    [[nodiscard]] const std::filesystem::path& path() const noexcept { return path_; }

private:
    std::filesystem::path path_;
};

// The descriptors a process has open (this one by default), counted from /proc.
[[nodiscard]] int openDescriptorCount(std::optional<pid_t> pid = std::nullopt);

// The names of the state file's temporary files (".power-state-*.tmp") in a folder; none when
// the folder does not exist.
[[nodiscard]] std::vector<std::string> temporaryFiles(const std::filesystem::path& directory);

// Makes this process the reaper of its orphaned descendants (a pmset child whose parent was
// killed comes back to us), so that their end can be awaited and their zombies reaped.
void becomeSubreaper();

// True while the process runs; reaps it when it is our zombie.
[[nodiscard]] bool processRunning(pid_t pid);

// Waits (generously) for each pid to end; returns how many were still running at the bound.
[[nodiscard]] long awaitEnd(const std::vector<pid_t>& pids,
                            std::chrono::milliseconds bound = std::chrono::seconds(15));

// The whole file, or nothing when it cannot be opened.
[[nodiscard]] std::optional<std::string> readFile(const std::filesystem::path& path);
// Writes the file whole with the given mode (replacing it).
void writeFile(const std::filesystem::path& path, const std::string& content, mode_t mode = 0600);

// The pids of the stand-in's runs, from its calls log.
[[nodiscard]] std::vector<pid_t> standinPids(const std::filesystem::path& standinFolder);

} // namespace zelvo::reliability
