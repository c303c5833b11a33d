#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace zelvo::testbus {

struct PrivateBusOptions {
    // Include the shipped policy packaging/dbus/com.zelvo.Zelvo.power.conf (and make sure the group
    // it names exists, see ensureClientGroup).
    bool shippedPolicy = true;
    // A folder of activation files (*.service) the bus may start services from. The bus runs as
    // the test process's user (root in the suite) and starts them itself, in its process group.
    std::optional<std::filesystem::path> serviceDirectory = std::nullopt;
    // Folders of policy files (*.conf) the bus reads after its default policy, as a distribution's
    // system bus reads /usr/share/dbus-1/system.d: there the services it ships say who may own
    // their names and call them.
    std::vector<std::filesystem::path> includeDirectories = {};
    // Configuration elements placed last inside <busconfig>, after the shipped policy, so they
    // win; for example allowEveryoneToCall().
    std::string extraConfiguration = {};
};

// A real dbus-daemon of type system, private to one test: its configuration and socket live in a
// fresh temporary folder (mode 0755, so other users can reach the socket). The baseline policy is a
// distribution's system bus default: anyone may connect and talk to the bus driver, nobody may own
// a name or send a method call unless a policy allows it.
//
// The constructor starts the bus (dbus-daemon --nofork --print-address) in its own process group,
// waits for its address and sets DBUS_SYSTEM_BUS_ADDRESS in this process, so that sd-bus and every
// child started afterwards reach it. Call it before other threads exist (setenv is not
// thread-safe). Throws std::runtime_error when the bus does not come up within 10 seconds.
//
// The destructor sends SIGTERM to the bus's process group (the bus and everything it activated),
// waits up to 5 seconds, then SIGKILLs whatever is left of the group, reaps the bus, restores the
// previous DBUS_SYSTEM_BUS_ADDRESS (unless a later bus has set its own) and removes the folder.
// Should the test process die first, the bus gets SIGKILL when the thread that made it ends (its
// parent-death signal), so no bus outlives a crashed or timed-out test.
class PrivateBus {
public:
    explicit PrivateBus(PrivateBusOptions options = {});
    ~PrivateBus();

    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    // "unix:path=<folder>/bus.socket" with the bus's guid, as the bus printed it.
    [[nodiscard]] const std::string& address() const noexcept { return address_; }
    [[nodiscard]] const std::filesystem::path& directory() const noexcept { return directory_; }
    [[nodiscard]] pid_t pid() const noexcept { return pid_; }

    // SIGKILLs the dbus-daemon alone (what it activated stays) and reaps it, so a test can see
    // its clients lose the bus. Idempotent.
    void killBus();

    // A mandatory policy that lets every user send anything to busName: the bus then refuses no
    // caller, so only the service's own check stands.
    [[nodiscard]] static std::string allowEveryoneToCall(std::string_view busName);

private:
    std::filesystem::path directory_;
    std::string address_;
    pid_t pid_ = -1;
    bool reaped_ = false;
    std::optional<std::string> previousAddress_;
};

struct CommandResult {
    // The exit status, or 128 + the signal number when a signal ended the command.
    int exitStatus = -1;
    std::string standardOutput;
    std::string standardError;
};

// Runs argv[0] (looked up in PATH) with argv, in this process's environment, and waits for it,
// collecting both output streams. A command still running after timeoutSeconds is SIGKILLed.
// Throws std::system_error when it cannot be started.
[[nodiscard]] CommandResult runCommand(const std::vector<std::string>& argv,
                                       double timeoutSeconds = 30.0);

// The command that runs argv as userName with that user's primary group and the supplementary
// groups the user database gives it (setpriv --reuid --regid --init-groups). Throws
// std::runtime_error for an unknown user.
[[nodiscard]] std::vector<std::string> asUser(const std::string& userName,
                                              std::vector<std::string> argv);

// Makes sure the group zelvo-power exists (groupadd --system when it is missing) and returns its
// id. Needs root. Safe against a concurrent test process doing the same. Throws
// std::runtime_error when the group cannot be made.
gid_t ensureClientGroup();

// Makes sure a system user userName exists (useradd --system, no home, no login shell) and is a
// member of zelvo-power (usermod --append), and returns its id. Needs root. Throws
// std::runtime_error when that cannot be done.
uid_t ensureClientGroupMember(const std::string& userName);

} // namespace zelvo::testbus
