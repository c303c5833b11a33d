#pragma once

#include "ChildProcess.h"
#include "PrivateBus.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace zelvo::logindworld {

// One row of org.freedesktop.login1.Manager.ListInhibitors.
struct Inhibitor {
    std::string what, who, why, mode;
    std::uint32_t uid = 0, pid = 0;
    bool operator==(const Inhibitor&) const = default;
};

struct LogindWorldOptions {
    // polkitd on the world's bus, with a rule that lets LogindWorld::suspendingUser suspend (and
    // nothing more: a suspend that a block lock stands against still needs an administrator).
    bool polkit = false;
    // Run login1-standin with this scenario (see Login1StandIn.cpp) in place of the real logind.
    std::optional<std::string> standIn = std::nullopt;
    // A folder of activation files the world's bus starts services from (see PrivateBusOptions),
    // so that a daemon can be started on demand inside the world.
    std::optional<std::filesystem::path> serviceDirectory = std::nullopt;
};

// A machine's login manager, private to one test: a private system bus (testbus::PrivateBus, with
// the shipped policy and the distribution's service policies), a private mount namespace kept by a
// sleeping process (tmpfs over /run/systemd, a fake /sys/power/state reading "freeze mem", and,
// with polkit, a private rules folder over /etc/polkit-1/rules.d), the real systemd-logind
// running in it (or login1-standin), systemd1-standin owning org.freedesktop.systemd1 so that
// logind's suspend decisions end in a recorded StartUnit instead of a suspend, and optionally
// polkitd. Nothing reaches the host's logind, bus or /run/systemd. Worlds in parallel processes
// do not share anything.
//
// Every process it starts leads its own process group, which the world ends on destruction, and
// gets SIGKILL when the thread that made the world ends, so nothing outlives a crashed test. Make
// and use a world from one thread, before other threads exist (the bus sets
// DBUS_SYSTEM_BUS_ADDRESS in this process). Waits are bounded; a bound that runs out throws
// std::runtime_error with what the process logged.
class LogindWorld {
public:
    // The user that the polkit rule lets suspend; ensureSuspendingUser makes it.
    static constexpr const char* suspendingUser = "zelvo-suspender";

    // Why a world with these options cannot be made here ("not root", "no
    // /lib/systemd/systemd-logind", "unshare -m failed: ...", "no /usr/lib/polkit-1/polkitd"), or
    // nothing. Tests GTEST_SKIP() with it. What all worlds need is checked once per process.
    [[nodiscard]] static std::optional<std::string>
    unavailableReason(const LogindWorldOptions& options = {});

    // Makes sure suspendingUser exists (a system user in the client group, see
    // testbus::ensureClientGroupMember) and returns its name. Throws std::runtime_error.
    static std::string ensureSuspendingUser();

    // Brings everything up and waits until login1 (and PolicyKit1) have owners. Throws
    // std::runtime_error when a part does not come up.
    explicit LogindWorld(LogindWorldOptions options = {});
    // Ends everything it started, waits for it, and removes its folder.
    ~LogindWorld();

    LogindWorld(const LogindWorld&) = delete;
    LogindWorld& operator=(const LogindWorld&) = delete;

    [[nodiscard]] const std::string& busAddress() const noexcept { return bus_.address(); }
    [[nodiscard]] testbus::PrivateBus& bus() noexcept { return bus_; }
    // The world's folder: the fake state file, the scenario, the record of started units and what
    // each process logged (login1.log, systemd1.log, polkit.log, namespace.log).
    [[nodiscard]] const std::filesystem::path& directory() const noexcept { return directory_; }
    // The pid of logind (or the stand-in); -1 while stopped.
    [[nodiscard]] pid_t login1Pid() const noexcept { return login1_.pid(); }

    // Ends logind (or the stand-in) and waits until org.freedesktop.login1 has no owner.
    void stopLogin1();
    // Starts it again in the same namespace and waits until it owns org.freedesktop.login1.
    void startLogin1();
    void restartLogin1();

    // login1's answers, asked over a fresh connection; throw std::runtime_error on a bus error.
    [[nodiscard]] std::vector<Inhibitor> listInhibitors() const;
    [[nodiscard]] std::string blockInhibited() const;
    // The units systemd1-standin was asked to start, in order.
    [[nodiscard]] std::vector<std::string> startedUnits() const;

    // Asks login1 to Suspend(false) as userName (root, or a user such as suspendingUser): "" when
    // it accepted, else the D-Bus error's message.
    [[nodiscard]] std::string suspendAs(const std::string& userName) const;

    // Switches login1-standin's scenario; it takes effect at its next call.
    void setStandInScenario(const std::string& scenario);

private:
    void startSystemd1();
    void startPolkit();

    LogindWorldOptions options_;
    testbus::PrivateBus bus_;
    std::filesystem::path directory_;
    std::filesystem::path log_;
    testbus::ChildProcess namespaceKeeper_;
    testbus::ChildProcess systemd1_;
    testbus::ChildProcess polkit_;
    testbus::ChildProcess login1_;
};

} // namespace zelvo::logindworld
