#include "HarnessDaemon.h"

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <sstream>
#include <thread>

namespace zelvo::reliability {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

bool HarnessDaemon::startAndAwaitName() {
    startDaemon(std::nullopt, false);
    return eventually([&] { return nameOwned() || !daemonRunning(); }, 20s) && nameOwned();
}

std::optional<int> HarnessDaemon::terminate() {
    if (!daemonRunning()) {
        return waitForExit(0ms);
    }
    ::kill(daemon, SIGTERM);
    return waitForExit(20s);
}

std::vector<pid_t> HarnessDaemon::pmsetPids() const {
    std::vector<pid_t> pids;
    for (const auto& call : pmset.calls()) {
        pids.push_back(static_cast<pid_t>(call.pid));
    }
    return pids;
}

bool HarnessDaemon::recordNotHeld() const {
    return stateBytes() == R"({"heldByHelper":false})";
}

std::vector<pid_t> childrenOf(pid_t pid) {
    std::vector<pid_t> children;
    std::error_code error;
    const fs::path tasks = fs::path("/proc") / std::to_string(pid) / "task";
    for (auto it = fs::directory_iterator(tasks, error); !error && it != fs::directory_iterator();
         it.increment(error)) {
        std::istringstream list(readFile(it->path() / "children").value_or(""));
        for (pid_t child = 0; list >> child;) {
            children.push_back(child);
        }
    }
    return children;
}

int quietDescriptorCount(pid_t pid) {
    int lowest = -1;
    for (int i = 0; i < 20; ++i) {
        const int count = openDescriptorCount(pid);
        lowest = lowest < 0 ? count : std::min(lowest, count);
        std::this_thread::sleep_for(50ms);
    }
    return lowest;
}

long residentKiB(pid_t pid) {
    std::istringstream status(
        readFile(fs::path("/proc") / std::to_string(pid) / "status").value_or(""));
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::strtol(line.c_str() + 6, nullptr, 10);
        }
    }
    return -1;
}

} // namespace zelvo::reliability
