#pragma once

#include <chrono>
#include <string>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

namespace zelvo::powertool::testing {

#ifdef ZELVO_PMSET_PATH
// The built tool.
inline constexpr char toolPath[] = ZELVO_PMSET_PATH;
#endif

// What the tool's parent reports of one run: the exit status, and its output and errors together.
struct ParentRun {
    int status = -1;
    std::string out;
};

// A small shell that runs the tool once for each request: a parent process of its own, for tests
// that need another "process that ran the tool" than this one, or one they can kill. It gets
// SIGKILL when the thread that made it ends.
class ToolParent {
public:
    explicit ToolParent(const std::string& tool);
    ~ToolParent();
    ToolParent(const ToolParent&) = delete;
    ToolParent& operator=(const ToolParent&) = delete;

    // Runs the tool, in this process's environment, with `arguments` (separated by spaces).
    // Throws std::runtime_error when no answer comes in 10 s.
    ParentRun run(const std::string& arguments);

    [[nodiscard]] pid_t pid() const noexcept { return pid_; }
    // SIGKILL, then reaped.
    void kill();

private:
    pid_t pid_ = -1;
    int requests_ = -1;
    int answers_ = -1;
    std::string pending_;
};

// Polls `condition` every few milliseconds until it holds; false when it still does not at
// `bound`.
template <typename Condition>
bool eventually(Condition condition,
                std::chrono::milliseconds bound = std::chrono::milliseconds(5000)) {
    const auto end = std::chrono::steady_clock::now() + bound;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        ::usleep(2000);
    }
    return true;
}

} // namespace zelvo::powertool::testing
