#include "LogindWorld.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <systemd/sd-bus.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace zelvo::logindworld {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* logindPath = "/lib/systemd/systemd-logind";
constexpr const char* polkitdPath = "/usr/lib/polkit-1/polkitd";
constexpr const char* login1Name = "org.freedesktop.login1";
// Generous: a loaded machine or a sanitizer build starts these slowly.
constexpr auto startBound = std::chrono::seconds(30);

// Mounts the world's view in the new namespace, says so, and keeps the namespace alive.
constexpr const char* namespaceScript = R"(set -e
mount -t tmpfs -o mode=0755 tmpfs /run/systemd
mkdir -p /run/systemd/logind.conf.d
mount --bind "$1" /sys/power/state
if [ -n "$2" ]; then mount --bind "$2" /etc/polkit-1/rules.d; fi
echo ready
exec sleep infinity >/dev/null)";

// Lets the suspending user suspend when nothing stands against it; overriding a lock
// (suspend-ignore-inhibit) is left to the default: an administrator's password.
constexpr const char* polkitRule = R"(polkit.addRule(function(action, subject) {
    if ((action.id == "org.freedesktop.login1.suspend" ||
         action.id == "org.freedesktop.login1.suspend-multiple-sessions") &&
        subject.user == "zelvo-suspender") {
        return polkit.Result.YES;
    }
});
)";

std::string readFile(const std::filesystem::path& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

void writeFile(const std::filesystem::path& path, const std::string& text) {
    std::ofstream file(path);
    file << text;
    if (!file.flush()) {
        throw std::runtime_error("Cannot write " + path.string());
    }
}

// A client connection to the world's bus, closed when it goes.
class Connection {
public:
    explicit Connection(const std::string& address) {
        int r = sd_bus_new(&bus_);
        if (r >= 0) {
            r = sd_bus_set_address(bus_, address.c_str());
        }
        if (r >= 0) {
            r = sd_bus_set_bus_client(bus_, 1);
        }
        if (r >= 0) {
            r = sd_bus_start(bus_);
        }
        if (r < 0) {
            sd_bus_unref(bus_);
            throw std::runtime_error("Cannot connect to " + address + ": " + std::strerror(-r));
        }
    }
    ~Connection() { sd_bus_flush_close_unref(bus_); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Calls member on login1's manager (or the bus driver) and returns the reply.
    std::unique_ptr<sd_bus_message, decltype(&sd_bus_message_unref)>
    call(const char* destination, const char* path, const char* interface, const char* member,
         const char* signature = nullptr, const char* argument = nullptr) {
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message* reply = nullptr;
        const int r = signature == nullptr
                          ? sd_bus_call_method(bus_, destination, path, interface, member, &error,
                                               &reply, nullptr)
                          : sd_bus_call_method(bus_, destination, path, interface, member, &error,
                                               &reply, signature, argument);
        if (r < 0) {
            const std::string message =
                std::string(member) + ": " + (error.message ? error.message : std::strerror(-r));
            sd_bus_error_free(&error);
            throw std::runtime_error(message);
        }
        return {reply, sd_bus_message_unref};
    }

    [[nodiscard]] sd_bus* get() const noexcept { return bus_; }

    bool hasOwner(const char* name) {
        auto reply = call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                          "NameHasOwner", "s", name);
        int owned = 0;
        sd_bus_message_read(reply.get(), "b", &owned);
        return owned != 0;
    }

private:
    sd_bus* bus_ = nullptr;
};

void check(int r, const char* what) {
    if (r < 0) {
        throw std::runtime_error(std::string(what) + ": " + std::strerror(-r));
    }
}

// Waits until name has (or, with owned false, has no) owner; fails early when process, which
// should own it, has ended.
void waitForName(const std::string& address, const char* name, bool owned,
                 const testbus::ChildProcess* process, const std::filesystem::path& log) {
    const auto deadline = Clock::now() + startBound;
    Connection connection(address);
    while (connection.hasOwner(name) != owned) {
        if (process != nullptr && process->hasExited()) {
            throw std::runtime_error(std::string("The owner of ") + name + " ended; it logged:\n" +
                                     readFile(log));
        }
        if (Clock::now() >= deadline) {
            throw std::runtime_error(
                std::string(name) + (owned ? " got no owner" : " kept its owner") + " within " +
                std::to_string(startBound.count()) + " s; its log:\n" + readFile(log));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.pop_back();
    }
    return text;
}

} // namespace

std::optional<std::string> LogindWorld::unavailableReason(const LogindWorldOptions& options) {
    static const std::optional<std::string> common = []() -> std::optional<std::string> {
        if (::geteuid() != 0) {
            return "not root";
        }
        if (::access(logindPath, X_OK) != 0) {
            return std::string("no ") + logindPath;
        }
        if (!std::filesystem::is_directory("/run/systemd")) {
            return "no /run/systemd to mount over";
        }
        if (!std::filesystem::exists("/sys/power/state")) {
            return "no /sys/power/state to mount over";
        }
        try {
            const auto tried =
                testbus::runCommand({"unshare", "-m", "--propagation", "private", "mount", "-t",
                                     "tmpfs", "tmpfs", "/run/systemd"});
            if (tried.exitStatus != 0) {
                return "unshare -m failed: " + trimmed(tried.standardError);
            }
        } catch (const std::exception& error) {
            return std::string("unshare -m failed: ") + error.what();
        }
        return std::nullopt;
    }();
    if (common) {
        return common;
    }
    if (options.polkit && ::access(polkitdPath, X_OK) != 0) {
        return std::string("no ") + polkitdPath;
    }
    if (options.polkit && !std::filesystem::is_directory("/etc/polkit-1/rules.d")) {
        return "no /etc/polkit-1/rules.d to mount over";
    }
    return std::nullopt;
}

std::string LogindWorld::ensureSuspendingUser() {
    testbus::ensureClientGroupMember(suspendingUser);
    return suspendingUser;
}

LogindWorld::LogindWorld(LogindWorldOptions options)
    : options_(std::move(options)),
      bus_(testbus::PrivateBusOptions{.serviceDirectory = options_.serviceDirectory,
                                      .includeDirectories = {"/usr/share/dbus-1/system.d"}}),
      directory_(bus_.directory() / "world") {
    if (const auto reason = unavailableReason(options_)) {
        throw std::runtime_error("No logind world here: " + *reason);
    }
    std::filesystem::create_directory(directory_);
    std::filesystem::permissions(directory_, std::filesystem::perms(0755));
    writeFile(directory_ / "power-state", "freeze mem\n");
    std::string rules;
    if (options_.polkit) {
        const auto folder = directory_ / "polkit-rules";
        std::filesystem::create_directory(folder);
        std::filesystem::permissions(folder, std::filesystem::perms(0755));
        writeFile(folder / "50-zelvo-world.rules", polkitRule);
        rules = folder.string();
    }

    auto ready = testbus::makePipe();
    const auto namespaceLog = directory_ / "namespace.log";
    namespaceKeeper_ =
        testbus::ChildProcess({"unshare", "-m", "--propagation", "private", "sh", "-c",
                               namespaceScript, "sh", (directory_ / "power-state").string(), rules},
                              namespaceLog, ready.write.get());
    ready.write.reset();
    try {
        (void)testbus::readLine(ready.read.get(), startBound);
    } catch (const std::runtime_error& error) {
        throw std::runtime_error(std::string("The mount namespace did not come up (") +
                                 error.what() + "); it logged:\n" + readFile(namespaceLog));
    }

    // Before logind, which subscribes to the service manager as it starts.
    startSystemd1();
    if (options_.polkit) {
        startPolkit();
    }
    if (options_.standIn) {
        setStandInScenario(*options_.standIn);
    }
    startLogin1();
}

LogindWorld::~LogindWorld() = default;

void LogindWorld::startSystemd1() {
    const auto log = directory_ / "systemd1.log";
    systemd1_ = testbus::ChildProcess(
        {ZELVO_SYSTEMD1_STANDIN_PATH, (directory_ / "started-units").string()}, log);
    waitForName(busAddress(), "org.freedesktop.systemd1", true, &systemd1_, log);
}

void LogindWorld::startPolkit() {
    // polkitd reads its rules from fixed folders only; the namespace shows it a private one.
    const auto log = directory_ / "polkit.log";
    polkit_ = testbus::ChildProcess({"nsenter", "-t", std::to_string(namespaceKeeper_.pid()), "-m",
                                     "--", polkitdPath, "--no-debug"},
                                    log);
    waitForName(busAddress(), "org.freedesktop.PolicyKit1", true, &polkit_, log);
}

void LogindWorld::startLogin1() {
    if (login1_.started()) {
        return;
    }
    const auto log = directory_ / "login1.log";
    if (options_.standIn) {
        login1_ = testbus::ChildProcess(
            {ZELVO_LOGIN1_STANDIN_PATH, (directory_ / "scenario").string()}, log);
    } else {
        login1_ = testbus::ChildProcess(
            {"nsenter", "-t", std::to_string(namespaceKeeper_.pid()), "-m", "--", logindPath}, log);
    }
    waitForName(busAddress(), login1Name, true, &login1_, log);
}

void LogindWorld::stopLogin1() {
    login1_.stop();
    waitForName(busAddress(), login1Name, false, nullptr, directory_ / "login1.log");
}

void LogindWorld::restartLogin1() {
    stopLogin1();
    startLogin1();
}

std::vector<Inhibitor> LogindWorld::listInhibitors() const {
    Connection connection(busAddress());
    auto reply = connection.call(login1Name, "/org/freedesktop/login1",
                                 "org.freedesktop.login1.Manager", "ListInhibitors");
    std::vector<Inhibitor> rows;
    check(sd_bus_message_enter_container(reply.get(), 'a', "(ssssuu)"), "ListInhibitors reply");
    for (;;) {
        const char* fields[4] = {};
        Inhibitor row;
        const int r = sd_bus_message_read(reply.get(), "(ssssuu)", &fields[0], &fields[1],
                                          &fields[2], &fields[3], &row.uid, &row.pid);
        check(r, "ListInhibitors row");
        if (r == 0) {
            break;
        }
        row.what = fields[0];
        row.who = fields[1];
        row.why = fields[2];
        row.mode = fields[3];
        rows.push_back(std::move(row));
    }
    return rows;
}

std::string LogindWorld::blockInhibited() const {
    Connection connection(busAddress());
    sd_bus_error error = SD_BUS_ERROR_NULL;
    char* value = nullptr;
    const int r = sd_bus_get_property_string(
        connection.get(), login1Name, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
        "BlockInhibited", &error, &value);
    if (r < 0) {
        const std::string message =
            std::string("BlockInhibited: ") + (error.message ? error.message : std::strerror(-r));
        sd_bus_error_free(&error);
        throw std::runtime_error(message);
    }
    std::string text = value;
    std::free(value);
    return text;
}

std::vector<std::string> LogindWorld::startedUnits() const {
    std::ifstream file(directory_ / "started-units");
    std::vector<std::string> units;
    for (std::string unit; std::getline(file, unit);) {
        units.push_back(unit);
    }
    return units;
}

std::string LogindWorld::suspendAs(const std::string& userName) const {
    const auto result = testbus::runCommand(
        testbus::asUser(userName, {"busctl", "--address=" + busAddress(), "call", login1Name,
                                   "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                                   "Suspend", "b", "false"}));
    if (result.exitStatus == 0) {
        return "";
    }
    std::string message = trimmed(result.standardError);
    constexpr std::string_view prefix = "Call failed: ";
    if (message.rfind(prefix, 0) == 0) {
        message.erase(0, prefix.size());
    }
    return message.empty() ? "busctl exited with " + std::to_string(result.exitStatus) : message;
}

void LogindWorld::setStandInScenario(const std::string& scenario) {
    // Replaced whole, so the stand-in never reads half a name.
    const auto path = directory_ / "scenario";
    writeFile(path.string() + ".new", scenario + "\n");
    std::filesystem::rename(path.string() + ".new", path);
}

} // namespace zelvo::logindworld
