#include "Measure.h"

#include "Floors.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sdbus-c++/sdbus-c++.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace zelvo::bench {

Summary summarize(std::vector<double> samples) {
    if (samples.empty()) {
        return {};
    }
    std::sort(samples.begin(), samples.end());
    const auto rank = [&](double fraction) {
        const auto index =
            static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(samples.size())));
        return samples[std::clamp<std::size_t>(index, 1, samples.size()) - 1];
    };
    return Summary{samples.size(), rank(0.5), rank(0.99)};
}

std::vector<char*> argvOf(const std::string& program, const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    return argv;
}

Process::Process(const std::string& program, const std::vector<std::string>& arguments,
                 const std::string& logPath) {
    std::vector<char*> argv = argvOf(program, arguments);

    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, logPath.c_str(),
                                       O_WRONLY | O_CREAT | O_APPEND, 0644);
    ::posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    startedAt_ = Clock::now();
    const int error =
        ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        throw std::system_error(error, std::system_category(), program);
    }
}

Process::~Process() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
}

int Process::terminate() {
    if (pid_ <= 0) {
        return -1;
    }
    ::kill(pid_, SIGTERM);
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    int status = 0;
    for (;;) {
        const pid_t got = ::waitpid(pid_, &status, WNOHANG);
        if (got == pid_) {
            break;
        }
        if (got < 0 && errno != EINTR) {
            throw std::system_error(errno, std::system_category(), "waitpid");
        }
        if (Clock::now() > deadline) {
            ::kill(pid_, SIGKILL);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    pid_ = -1;
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

namespace {

std::string readText(const std::string& path) {
    std::ifstream in(path);
    if (!in) {
        throw std::runtime_error("cannot read " + path);
    }
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The number after "Key:" in a /proc status file; 0 when the key is missing.
double statusField(const std::string& text, const std::string& key) {
    std::string label = "\n";
    label.append(key).append(":");
    const std::size_t at = text.find(label);
    if (at == std::string::npos) {
        return 0;
    }
    return std::strtod(text.c_str() + at + key.size() + 2, nullptr);
}

std::vector<std::string> taskFolders(pid_t pid) {
    const std::string base = "/proc/" + std::to_string(pid) + "/task";
    std::vector<std::string> folders;
    DIR* dir = ::opendir(base.c_str());
    if (dir == nullptr) {
        throw std::system_error(errno, std::system_category(), base);
    }
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.') {
            folders.push_back(base + "/" + entry->d_name);
        }
    }
    ::closedir(dir);
    return folders;
}

} // namespace

Footprint footprintOf(pid_t pid) {
    std::string text = "\n";
    text.append(readText("/proc/" + std::to_string(pid) + "/status"));
    return Footprint{statusField(text, "VmRSS"), statusField(text, "RssAnon"),
                     static_cast<int>(statusField(text, "Threads"))};
}

double cpuSecondsOf(pid_t pid) {
    double nanoseconds = 0;
    for (const auto& task : taskFolders(pid)) {
        // "run-time wait-time timeslices"
        nanoseconds += std::strtod(readText(task + "/schedstat").c_str(), nullptr);
    }
    return nanoseconds / 1e9;
}

long contextSwitchesOf(pid_t pid) {
    long switches = 0;
    for (const auto& task : taskFolders(pid)) {
        std::string text = "\n";
        text.append(readText(task + "/status"));
        switches += static_cast<long>(statusField(text, "voluntary_ctxt_switches") +
                                      statusField(text, "nonvoluntary_ctxt_switches"));
    }
    return switches;
}

std::size_t sharedLibraryCount(const std::string& executable) {
    const std::string listing = spawnAndRead("/usr/bin/ldd", {executable});
    std::size_t count = 0;
    for (std::size_t at = listing.find("=>"); at != std::string::npos;
         at = listing.find("=>", at + 2)) {
        ++count;
    }
    return count;
}

double fileSizeKiB(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        throw std::system_error(errno, std::system_category(), path);
    }
    return static_cast<double>(status.st_size) / 1024.0;
}

struct NameWatcher::Impl {
    struct Change {
        std::string name;
        bool owned;
        Clock::time_point at;
    };

    std::unique_ptr<sdbus::IConnection> bus = sdbus::createSystemBusConnection();
    std::unique_ptr<sdbus::IProxy> driver =
        sdbus::createProxy(*bus, "org.freedesktop.DBus", "/org/freedesktop/DBus");
    std::vector<sdbus::Slot> matches;
    std::vector<Change> changes;

    // Handles what has arrived, waiting up to `until` for something to arrive.
    void pump(Clock::time_point until) {
        while (bus->processPendingRequest()) {
        }
        const auto poll = bus->getEventLoopPollData();
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
        int timeout = static_cast<int>(std::max<long>(0, left.count()));
        if (poll.getPollTimeout() >= 0) {
            timeout = std::min(timeout, poll.getPollTimeout());
        }
        pollfd entry{poll.fd, poll.events, 0};
        if (::poll(&entry, 1, timeout) < 0 && errno != EINTR) {
            throw std::system_error(errno, std::system_category(), "poll");
        }
        while (bus->processPendingRequest()) {
        }
    }

    template <typename Found>
    void waitFor(const std::string& name, std::chrono::milliseconds timeout, Found found) {
        const auto deadline = Clock::now() + timeout;
        for (;;) {
            for (const auto& change : changes) {
                if (change.name == name && found(change)) {
                    return;
                }
            }
            if (Clock::now() > deadline) {
                throw std::runtime_error("timed out waiting for a change of " + name);
            }
            pump(deadline);
        }
    }
};

NameWatcher::NameWatcher(const std::vector<std::string>& names) : impl_(std::make_unique<Impl>()) {
    for (const auto& name : names) {
        impl_->matches.push_back(impl_->bus->addMatch(
            "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
            "member='NameOwnerChanged',arg0='" +
                name + "'",
            [impl = impl_.get()](sdbus::Message& message) {
                const auto at = Clock::now();
                std::string changed;
                std::string oldOwner;
                std::string newOwner;
                message >> changed >> oldOwner >> newOwner;
                impl->changes.push_back(Impl::Change{changed, !newOwner.empty(), at});
            }));
    }
}

NameWatcher::~NameWatcher() = default;

void NameWatcher::clear() {
    while (impl_->bus->processPendingRequest()) {
    }
    impl_->changes.clear();
}

Clock::time_point NameWatcher::waitForOwner(const std::string& name,
                                            std::chrono::milliseconds timeout) {
    Clock::time_point at;
    impl_->waitFor(name, timeout, [&](const Impl::Change& change) {
        at = change.at;
        return change.owned;
    });
    return at;
}

void NameWatcher::waitForNoOwner(const std::string& name, std::chrono::milliseconds timeout) {
    auto query = impl_->driver->createMethodCall("org.freedesktop.DBus", "NameHasOwner");
    query << name;
    auto reply = impl_->driver->callMethod(query);
    bool owned = false;
    reply >> owned;
    if (!owned) {
        return;
    }
    impl_->waitFor(name, timeout, [](const Impl::Change& change) { return !change.owned; });
}

pid_t NameWatcher::ownerPid(const std::string& name) {
    auto query =
        impl_->driver->createMethodCall("org.freedesktop.DBus", "GetConnectionUnixProcessID");
    query << name;
    auto reply = impl_->driver->callMethod(query);
    std::uint32_t pid = 0;
    reply >> pid;
    return static_cast<pid_t>(pid);
}

} // namespace zelvo::bench
