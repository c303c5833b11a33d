#include "PrivateBus.h"

#include "ChildProcess.h"
#include "PowerHelperConstants.h"
#include "UniqueFd.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>
#include <utility>

namespace zelvo::testbus {
namespace {

using Clock = std::chrono::steady_clock;

std::string shippedPolicyElement(bool wanted) {
    return wanted ? "  <include>" ZELVO_SHIPPED_BUS_POLICY "</include>\n" : "";
}

std::string configuration(const std::filesystem::path& socket, const PrivateBusOptions& options) {
    std::string text =
        "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
        " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
        "<busconfig>\n"
        "  <type>system</type>\n"
        "  <listen>unix:path=" +
        socket.string() +
        "</listen>\n"
        "  <auth>EXTERNAL</auth>\n";
    if (options.serviceDirectory) {
        text += "  <servicedir>" + options.serviceDirectory->string() + "</servicedir>\n";
    }
    text += R"(  <policy context="default">
    <allow user="*"/>
    <deny own="*"/>
    <deny send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"/>
    <allow send_destination="org.freedesktop.DBus"
           send_interface="org.freedesktop.DBus.Introspectable"/>
    <allow send_destination="org.freedesktop.DBus"
           send_interface="org.freedesktop.DBus.Properties"/>
    <deny send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"
          send_member="UpdateActivationEnvironment"/>
    <deny send_destination="org.freedesktop.DBus"
          send_interface="org.freedesktop.DBus.Debug.Stats"/>
    <deny send_destination="org.freedesktop.DBus"
          send_interface="org.freedesktop.systemd1.Activator"/>
  </policy>
)";
    for (const auto& folder : options.includeDirectories) {
        text += "  <includedir>" + folder.string() + "</includedir>\n";
    }
    text += shippedPolicyElement(options.shippedPolicy);
    text += options.extraConfiguration;
    text += "\n</busconfig>\n";
    return text;
}

std::filesystem::path makeTemporaryDirectory() {
    std::string pattern = "/tmp/zelvo-bus.XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::system_error(errno, std::generic_category(), "mkdtemp");
    }
    ::chmod(pattern.c_str(), 0755);
    return pattern;
}

std::optional<passwd> lookUpUser(const std::string& name, std::vector<char>& buffer) {
    passwd entry{};
    passwd* found = nullptr;
    buffer.assign(1 << 16, '\0');
    if (::getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr) {
        return std::nullopt;
    }
    return entry;
}

std::optional<gid_t> clientGroupId() {
    group entry{};
    group* found = nullptr;
    std::vector<char> buffer(1 << 16);
    const std::string name(PowerHelperConstants::clientGroup);
    if (::getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr) {
        return std::nullopt;
    }
    return entry.gr_gid;
}

bool inClientGroup(const passwd& user, gid_t clientGroup) {
    std::vector<gid_t> groups(256);
    int count = static_cast<int>(groups.size());
    if (::getgrouplist(user.pw_name, user.pw_gid, groups.data(), &count) < 0) {
        groups.resize(static_cast<std::size_t>(count));
        if (::getgrouplist(user.pw_name, user.pw_gid, groups.data(), &count) < 0) {
            return false;
        }
    }
    groups.resize(static_cast<std::size_t>(count));
    return std::find(groups.begin(), groups.end(), clientGroup) != groups.end();
}

} // namespace

PrivateBus::PrivateBus(PrivateBusOptions options) : directory_(makeTemporaryDirectory()) {
    try {
        if (options.shippedPolicy) {
            // The policy names the group; the bus resolves it once, when it reads the policy.
            ensureClientGroup();
        }
        const auto configPath = directory_ / "bus.conf";
        {
            std::ofstream file(configPath);
            file << configuration(directory_ / "bus.socket", options);
            if (!file.flush()) {
                throw std::runtime_error("Cannot write " + configPath.string());
            }
        }

        Pipe address = makePipe();
        SpawnSetup setup;
        setup.cleanSignals(true);
        setup.dupTo(address.write.get(), STDOUT_FILENO);
        pid_ = setup.spawn(killedWithParent({"dbus-daemon", "--nofork", "--print-address",
                                             "--config-file=" + configPath.string()}));
        address.write.reset();

        try {
            address_ = readLine(address.read.get(), std::chrono::seconds(10));
        } catch (const std::runtime_error& error) {
            throw std::runtime_error(std::string("dbus-daemon printed no address: ") +
                                     error.what());
        }

        if (const char* previous = std::getenv("DBUS_SYSTEM_BUS_ADDRESS")) {
            previousAddress_ = previous;
        }
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);
    } catch (...) {
        if (pid_ > 0) {
            ::kill(-pid_, SIGKILL);
            reap(pid_);
        }
        std::error_code ignored;
        std::filesystem::remove_all(directory_, ignored);
        throw;
    }
}

PrivateBus::~PrivateBus() {
    if (!reaped_) {
        ::kill(-pid_, SIGTERM);
        waitForExitKeepingPid(pid_, std::chrono::seconds(5));
        // The group id stays reserved while the bus is unreaped, so this cannot hit a stranger.
        ::kill(-pid_, SIGKILL);
        reap(pid_);
    } else {
        // The bus is gone; what it activated is signalled by its process group id only while
        // some member still keeps that group alive.
        ::kill(-pid_, SIGKILL);
    }
    // A bus made after this one owns the variable now.
    const char* current = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    if (current != nullptr && current == address_) {
        if (previousAddress_) {
            ::setenv("DBUS_SYSTEM_BUS_ADDRESS", previousAddress_->c_str(), 1);
        } else {
            ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
        }
    }
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
}

void PrivateBus::killBus() {
    if (reaped_) {
        return;
    }
    ::kill(pid_, SIGKILL);
    reap(pid_);
    reaped_ = true;
}

std::string PrivateBus::allowEveryoneToCall(std::string_view busName) {
    return "  <policy context=\"mandatory\">\n    <allow send_destination=\"" +
           std::string(busName) + "\"/>\n  </policy>\n";
}

CommandResult runCommand(const std::vector<std::string>& argv, double timeoutSeconds) {
    Pipe out = makePipe();
    Pipe err = makePipe();
    SpawnSetup setup;
    setup.cleanSignals(false);
    setup.dupTo(out.write.get(), STDOUT_FILENO);
    setup.dupTo(err.write.get(), STDERR_FILENO);
    const pid_t pid = setup.spawn(argv);
    out.write.reset();
    err.write.reset();

    CommandResult result;
    const auto deadline =
        Clock::now() + std::chrono::milliseconds(static_cast<long>(timeoutSeconds * 1000));
    bool killed = false;
    while (out.read.get() >= 0 || err.read.get() >= 0) {
        pollfd fds[2] = {{out.read.get(), POLLIN, 0}, {err.read.get(), POLLIN, 0}};
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 && !killed) {
            ::kill(pid, SIGKILL);
            killed = true;
        }
        if (::poll(fds, 2, killed ? 1000 : static_cast<int>(left.count())) < 0 && errno != EINTR) {
            break;
        }
        UniqueFd* streams[2] = {&out.read, &err.read};
        std::string* sinks[2] = {&result.standardOutput, &result.standardError};
        for (int i = 0; i < 2; ++i) {
            if (streams[i]->get() < 0 || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
                continue;
            }
            char buffer[4096];
            const ssize_t n = ::read(streams[i]->get(), buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                streams[i]->reset();
            }
        }
    }
    result.exitStatus = reap(pid);
    return result;
}

std::vector<std::string> asUser(const std::string& userName, std::vector<std::string> argv) {
    std::vector<char> buffer;
    const auto user = lookUpUser(userName, buffer);
    if (!user) {
        throw std::runtime_error("Unknown user " + userName);
    }
    std::vector<std::string> command = {"setpriv", "--reuid=" + std::to_string(user->pw_uid),
                                        "--regid=" + std::to_string(user->pw_gid), "--init-groups",
                                        "--"};
    command.insert(command.end(), argv.begin(), argv.end());
    return command;
}

gid_t ensureClientGroup() {
    if (const auto existing = clientGroupId()) {
        return *existing;
    }
    const auto made =
        runCommand({"groupadd", "--system", std::string(PowerHelperConstants::clientGroup)});
    // Another process may have made it meanwhile: the lookup decides.
    if (const auto existing = clientGroupId()) {
        return *existing;
    }
    throw std::runtime_error("groupadd failed: " + made.standardError);
}

uid_t ensureClientGroupMember(const std::string& userName) {
    const gid_t group = ensureClientGroup();
    const std::string groupName(PowerHelperConstants::clientGroup);
    std::vector<char> buffer;
    auto user = lookUpUser(userName, buffer);
    if (!user) {
        const auto made = runCommand({"useradd", "--system", "--no-create-home", "--shell",
                                      "/usr/sbin/nologin", "--groups", groupName, userName});
        user = lookUpUser(userName, buffer);
        if (!user) {
            throw std::runtime_error("useradd failed: " + made.standardError);
        }
    }
    if (!inClientGroup(*user, group)) {
        const auto added = runCommand({"usermod", "--append", "--groups", groupName, userName});
        if (!inClientGroup(*user, group)) {
            throw std::runtime_error("usermod failed: " + added.standardError);
        }
    }
    return user->pw_uid;
}

} // namespace zelvo::testbus
