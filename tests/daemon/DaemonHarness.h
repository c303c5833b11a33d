#pragma once

// A real daemon (the test-only twin of the installed one) on a private bus, with the pmset
// stand-in in a temporary folder and the state file in another.

#include "Eventually.h"
#include "PmsetStandin.h"
#include "PrivateBus.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace zelvo::daemontest {

using testbus::eventually;

class DaemonTest : public ::testing::Test {
protected:
    DaemonTest();
    ~DaemonTest() override;

    // Starts the private bus; with activation the bus starts the daemon on the first call.
    void startBus(bool activation = false);
    // Starts the daemon directly (as another user when given) and, unless it is expected to
    // fail, waits until it owns its bus name.
    void startDaemon(std::optional<std::string> asUser = std::nullopt, bool waitForName = true);
    // The exit status of the daemon once it ended within the bound, or nothing.
    std::optional<int> waitForExit(std::chrono::milliseconds bound = std::chrono::seconds(20));
    [[nodiscard]] bool daemonRunning();
    void signalDaemon(int signalNumber);
    [[nodiscard]] bool nameOwned() const;

    // Writes a state document with mode 0600 before the daemon starts.
    void writeState(const std::string& document, mode_t mode = 0600) const;
    [[nodiscard]] std::string stateBytes() const;
    // What the daemon started last wrote to standard error.
    [[nodiscard]] std::string daemonErrors() const;
    // The arguments of each pmset run so far, joined by blanks: {"-g", "-a disablesleep 1", ...}.
    [[nodiscard]] std::vector<std::string> pmsetRuns() const;
    // busctl against the private bus: "call" of the helper's interface, with its arguments.
    [[nodiscard]] testbus::CommandResult busctl(const std::vector<std::string>& arguments,
                                                std::optional<std::string> asUser = {}) const;
    [[nodiscard]] testbus::CommandResult client(const std::vector<std::string>& arguments) const;

    // A command the daemon is started through, for example to run it without capabilities.
    std::vector<std::string> launchPrefix;
    pmsetstandin::Folder pmset;
    std::filesystem::path stateDirectory;
    std::filesystem::path statePath;
    std::unique_ptr<testbus::PrivateBus> bus;
    pid_t daemon = -1;

private:
    std::filesystem::path work_;
    std::filesystem::path errorsPath_;
    std::optional<int> exitStatus_;
};

} // namespace zelvo::daemontest
