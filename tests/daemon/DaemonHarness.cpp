#include "DaemonHarness.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace zelvo::daemontest {

namespace fs = std::filesystem;

DaemonTest::DaemonTest() {
    std::string name = (fs::temp_directory_path() / "zelvo-daemon-XXXXXX").string();
    if (::mkdtemp(name.data()) == nullptr) {
        throw std::system_error(errno, std::system_category(), "mkdtemp");
    }
    work_ = name;
    // Reachable by other users, for the refusal tests; the state directory itself is the daemon's.
    fs::permissions(work_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                               fs::perms::others_read | fs::perms::others_exec);
    stateDirectory = work_ / "Application Support" / "Zelvo";
    statePath = stateDirectory / "power-helper-state.json";
    errorsPath_ = work_ / "daemon.err";
}

DaemonTest::~DaemonTest() {
    if (daemon > 0 && !exitStatus_) {
        ::kill(daemon, SIGKILL);
        ::waitpid(daemon, nullptr, 0);
    }
    bus.reset();
    std::error_code ignored;
    fs::remove_all(work_, ignored);
}

void DaemonTest::startBus(bool activation) {
    testbus::PrivateBusOptions options;
    if (activation) {
        const fs::path services = work_ / "services";
        fs::create_directories(services);
        std::ofstream(services / "com.zelvo.Zelvo.power.service")
            << "[D-BUS Service]\nName=com.zelvo.Zelvo.power\nExec=\"" << ZELVO_TESTBED_PATH
            << "\" --pmset \"" << pmset.executable() << "\" --state \"" << statePath.string()
            << "\"\nUser=root\n";
        options.serviceDirectory = services;
    }
    bus = std::make_unique<testbus::PrivateBus>(options);
}

void DaemonTest::startDaemon(std::optional<std::string> asUser, bool waitForName) {
    std::vector<std::string> argv{ZELVO_TESTBED_PATH, "--pmset", pmset.executable(), "--state",
                                  statePath.string()};
    if (asUser) {
        argv = testbus::asUser(*asUser, argv);
    }
    argv.insert(argv.begin(), launchPrefix.begin(), launchPrefix.end());
    std::vector<char*> args;
    for (auto& arg : argv) {
        args.push_back(arg.data());
    }
    args.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, errorsPath_.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
    const int error = posix_spawnp(&daemon, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        throw std::system_error(error, std::system_category(), "posix_spawn");
    }
    exitStatus_.reset();
    if (waitForName) {
        ASSERT_TRUE(eventually([&] { return nameOwned() || !daemonRunning(); }));
        ASSERT_TRUE(nameOwned()) << "the daemon ended: " << daemonErrors();
    }
}

std::optional<int> DaemonTest::waitForExit(std::chrono::milliseconds bound) {
    eventually([&] { return !daemonRunning(); }, bound);
    return exitStatus_;
}

bool DaemonTest::daemonRunning() {
    if (daemon <= 0 || exitStatus_) {
        return false;
    }
    int status = 0;
    const pid_t reaped = ::waitpid(daemon, &status, WNOHANG);
    if (reaped == 0) {
        return true;
    }
    exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return false;
}

void DaemonTest::signalDaemon(int signalNumber) {
    ASSERT_TRUE(daemonRunning());
    ASSERT_EQ(::kill(daemon, signalNumber), 0);
}

bool DaemonTest::nameOwned() const {
    const auto result =
        busctl({"call", "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                "NameHasOwner", "s", "com.zelvo.Zelvo.power"});
    return result.standardOutput == "b true\n";
}

void DaemonTest::writeState(const std::string& document, mode_t mode) const {
    fs::create_directories(stateDirectory);
    fs::permissions(stateDirectory, fs::perms::owner_all);
    {
        std::ofstream out(statePath, std::ios::binary | std::ios::trunc);
        out << document;
    }
    ::chmod(statePath.c_str(), mode);
}

std::string DaemonTest::stateBytes() const {
    return pmsetstandin::readFileText(statePath);
}

std::string DaemonTest::daemonErrors() const {
    return pmsetstandin::readFileText(errorsPath_);
}

std::vector<std::string> DaemonTest::pmsetRuns() const {
    std::vector<std::string> runs;
    for (const auto& call : pmset.calls()) {
        std::string joined;
        for (const auto& argument : call.arguments) {
            joined += (joined.empty() ? "" : " ") + argument;
        }
        runs.push_back(joined);
    }
    return runs;
}

testbus::CommandResult DaemonTest::busctl(const std::vector<std::string>& arguments,
                                          std::optional<std::string> asUser) const {
    std::vector<std::string> argv{"busctl", "--address=" + bus->address()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return asUser ? testbus::runCommand(testbus::asUser(*asUser, argv)) : testbus::runCommand(argv);
}

testbus::CommandResult DaemonTest::client(const std::vector<std::string>& arguments) const {
    std::vector<std::string> argv{ZELVO_CLIENT_PATH};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return testbus::runCommand(argv);
}

} // namespace zelvo::daemontest
