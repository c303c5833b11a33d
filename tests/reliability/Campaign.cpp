#include "Campaign.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <sstream>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace zelvo::reliability {

namespace fs = std::filesystem;

namespace {
constexpr long describedViolations = 20;
}

Options parseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--long") {
            options.longForm = true;
        } else if (argument == "--short") {
            options.longForm = false;
        } else if (argument == "--seed" && i + 1 < argc) {
            options.seed = std::strtoull(argv[++i], nullptr, 10);
            options.seedGiven = true;
        } else if (argument == "--mutant" && i + 1 < argc) {
            options.mutant = argv[++i];
        } else {
            std::cerr << "usage: " << argv[0] << " [--short|--long] [--seed N] [--mutant NAME]\n";
            std::exit(2);
        }
    }
    return options;
}

void Figures::violation(const std::string& what) {
    if (++violations_ <= describedViolations) {
        std::cerr << campaign_ << ": violation: " << what << '\n';
    }
}

void Figures::note(const std::string& name, long value) {
    for (auto& [existing, total] : notes_) {
        if (existing == name) {
            total += value;
            return;
        }
    }
    notes_.emplace_back(name, value);
}

int Figures::finish(std::chrono::steady_clock::duration elapsed) const {
    std::ostringstream line;
    line << campaign_ << ": cases " << cases << ", violations " << violations_
         << ", leaked processes " << leakedProcesses << ", leaked descriptors " << leakedDescriptors
         << ", leftover temporary files " << leftoverTemporaryFiles;
    for (const auto& [name, value] : notes_) {
        line << ", " << name << ' ' << value;
    }
    line << ", seconds " << std::chrono::duration_cast<std::chrono::seconds>(elapsed).count()
         << '\n';
    std::cout << line.str() << std::flush;
    const bool clean = violations_ == 0 && leakedProcesses == 0 && leakedDescriptors == 0 &&
                       leftoverTemporaryFiles == 0;
    return clean ? 0 : 1;
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

TemporaryFolder::TemporaryFolder(const std::string& prefix) {
    std::string name = (fs::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (::mkdtemp(name.data()) == nullptr) {
        throw std::system_error(errno, std::system_category(), "mkdtemp");
    }
    path_ = name;
    fs::permissions(path_, fs::perms(0755));
}

TemporaryFolder::~TemporaryFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

int openDescriptorCount(std::optional<pid_t> pid) {
    const fs::path folder =
        pid ? fs::path("/proc") / std::to_string(*pid) / "fd" : fs::path("/proc/self/fd");
    std::error_code error;
    int count = 0;
    for (auto it = fs::directory_iterator(folder, error); !error && it != fs::directory_iterator();
         it.increment(error)) {
        ++count;
    }
    // The iterator's own descriptor is among those counted for this process.
    return pid ? count : count - 1;
}

std::vector<std::string> temporaryFiles(const fs::path& directory) {
    std::vector<std::string> names;
    std::error_code error;
    for (auto it = fs::directory_iterator(directory, error);
         !error && it != fs::directory_iterator(); it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.rfind(".power-state-", 0) == 0 && name.size() > 4 &&
            name.compare(name.size() - 4, 4, ".tmp") == 0) {
            names.push_back(name);
        }
    }
    return names;
}

void becomeSubreaper() {
    if (::prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
        throw std::system_error(errno, std::system_category(), "PR_SET_CHILD_SUBREAPER");
    }
}

bool processRunning(pid_t pid) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) {
        return false;
    }
    const auto stat = readFile(fs::path("/proc") / std::to_string(pid) / "stat");
    if (!stat) {
        return false;
    }
    // The state follows the command name, which is in parentheses and may hold blanks.
    const std::size_t close = stat->rfind(')');
    return close != std::string::npos && close + 2 < stat->size() && (*stat)[close + 2] != 'Z';
}

long awaitEnd(const std::vector<pid_t>& pids, std::chrono::milliseconds bound) {
    long running = 0;
    const auto deadline = std::chrono::steady_clock::now() + bound;
    for (const pid_t pid : pids) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (!eventually([&] { return !processRunning(pid); },
                        std::max(left, std::chrono::milliseconds(0)))) {
            ++running;
        }
    }
    return running;
}

std::optional<std::string> readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void writeFile(const fs::path& path, const std::string& content, mode_t mode) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) {
        throw std::system_error(errno, std::system_category(), "open " + path.string());
    }
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            const int error = errno;
            ::close(fd);
            throw std::system_error(error, std::system_category(), "write " + path.string());
        }
        done += static_cast<std::size_t>(n);
    }
    ::fchmod(fd, mode);
    ::close(fd);
}

std::vector<pid_t> standinPids(const fs::path& standinFolder) {
    std::vector<pid_t> pids;
    std::istringstream log(readFile(standinFolder / "calls.log").value_or(""));
    for (std::string line; std::getline(log, line);) {
        const long pid = std::strtol(line.c_str(), nullptr, 10);
        if (pid > 0) {
            pids.push_back(static_cast<pid_t>(pid));
        }
    }
    return pids;
}

} // namespace zelvo::reliability
