// Hostile clients: one running testbed daemon on a private bus (whose policy lets everyone call, so
// that the daemon's own check is what refuses outsiders), under
// - 200 concurrent clients, each with its own connection, sending holds, releases and status
//   requests at random for a fixed time, each waiting for its reply;
// - clients that send calls and leave the bus before the reply;
// - malformed calls (wrong argument types or counts, unknown members, interfaces and paths);
// - a flood of pipelined calls from a few connections, beyond the daemon's backlog;
// - a member (another user, in a child process) that floods from several connections and never
//   reads a reply, on a bus with a distribution's system bus limits, while root asks for status;
// - callers outside the group (another user, in a child process).
// Checked: every call of a waiting client is answered (no time-out, no refusal as busy), every
// malformed call gets an error reply, a flood is answered in full (beyond the backlog with the
// busy error), the member's flood leaves root answered and the daemon's memory bounded, outsiders
// are refused and cause no pmset run or save, the daemon's descriptors and
// memory after a second spell of load are no more than after the first, nothing crashes, and the
// final state agrees with itself: the status, the setting and the state file, then SIGTERM.

#include "Campaign.h"
#include "HarnessDaemon.h"
#include "Listener.h"
#include "PowerHelperClient.h"
#include "PowerHelperConstants.h"
#include "PrivateBus.h"
#include "UnreadCalls.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <csignal>
#include <iostream>
#include <mutex>
#include <poll.h>
#include <random>
#include <sdbus-c++/sdbus-c++.h>
#include <set>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace zelvo::reliability {
namespace {

namespace fs = std::filesystem;
namespace constants = PowerHelperConstants;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int waitingClients = 200;
constexpr int leavingClients = 8;
constexpr int malformedClients = 2;
constexpr int floodConnections = 6;
constexpr int floodCallsEach = 120; // under the bus's own bound of 128 calls in flight
constexpr long memoryGrowthBoundKiB = 16 * 1024;
constexpr int unreadFloodConnections = 5;
// Whatever callers do, the daemon stays under this.
constexpr long residentBoundKiB = 16 * 1024;
// A member user the campaign makes and puts in the client group.
const std::string memberName = "zelvo-power-test";

// The limits of a distribution's system bus (/usr/share/dbus-1/system.conf), stated so that the
// flood meets the bounds a real system bus sets, whatever this dbus-daemon's built-in defaults.
const std::string systemBusLimits = R"(
  <limit name="max_incoming_bytes">133169152</limit>
  <limit name="max_incoming_unix_fds">64</limit>
  <limit name="max_outgoing_bytes">133169152</limit>
  <limit name="max_outgoing_unix_fds">64</limit>
  <limit name="max_message_size">33554432</limit>
  <limit name="max_message_unix_fds">16</limit>
  <limit name="service_start_timeout">25000</limit>
  <limit name="auth_timeout">5000</limit>
  <limit name="pending_fd_timeout">150000</limit>
  <limit name="max_completed_connections">2048</limit>
  <limit name="max_incomplete_connections">64</limit>
  <limit name="max_connections_per_user">256</limit>
  <limit name="max_pending_service_starts">512</limit>
  <limit name="max_names_per_connection">512</limit>
  <limit name="max_match_rules_per_connection">512</limit>
  <limit name="max_replies_per_connection">128</limit>
)";
constexpr const char* busyError = "org.freedesktop.DBus.Error.LimitsExceeded";

const std::string serviceName(constants::machServiceName);
const std::string objectPath(constants::objectPath);
const std::string interfaceName(constants::interfaceName);

// What the load threads saw; the first few surprises are kept for the report.
class Tally {
public:
    void surprise(const std::string& what) {
        ++surprises;
        const std::lock_guard lock(mutex_);
        if (examples_.size() < 10) {
            examples_.push_back(what);
        }
    }
    [[nodiscard]] std::vector<std::string> examples() const {
        const std::lock_guard lock(mutex_);
        return examples_;
    }

    std::atomic<long> answered{0};
    std::atomic<long> abandoned{0};
    std::atomic<long> malformed{0};
    std::atomic<long> surprises{0};

private:
    mutable std::mutex mutex_;
    std::vector<std::string> examples_;
};

struct Malformed {
    std::string path;
    std::string interface;
    std::string member;
    std::function<void(sdbus::MethodCall&)> arguments;
    std::set<std::string> errors; // the error names it may be answered with
};

const std::vector<Malformed>& malformedCalls() {
    static const std::set<std::string> invalid{"org.freedesktop.DBus.Error.InvalidArgs"};
    static const std::set<std::string> unknown{"org.freedesktop.DBus.Error.UnknownMethod",
                                               "org.freedesktop.DBus.Error.UnknownInterface",
                                               "org.freedesktop.DBus.Error.UnknownObject"};
    static const std::vector<Malformed> calls = {
        {objectPath, interfaceName, "HoldLidSleepDisabled",
         [](sdbus::MethodCall& m) { m << std::string("soon"); }, invalid},
        {objectPath, interfaceName, "HoldLidSleepDisabled", [](sdbus::MethodCall&) {}, invalid},
        {objectPath, interfaceName, "HoldLidSleepDisabled",
         [](sdbus::MethodCall& m) { m << std::int64_t{5} << std::int64_t{6}; }, invalid},
        {objectPath, interfaceName, "HoldLidSleepDisabled",
         [](sdbus::MethodCall& m) { m << std::int32_t{5}; }, invalid},
        {objectPath, interfaceName, "Release", [](sdbus::MethodCall& m) { m << true; }, invalid},
        {objectPath, interfaceName, "Status",
         [](sdbus::MethodCall& m) { m << std::vector<std::string>{"x"}; }, invalid},
        {objectPath, interfaceName, "Frobnicate", [](sdbus::MethodCall&) {}, unknown},
        {objectPath, "com.zelvo.Zelvo.power.Other", "Status", [](sdbus::MethodCall&) {}, unknown},
        {"/com/zelvo/Zelvo/other", interfaceName, "Status", [](sdbus::MethodCall&) {}, unknown},
    };
    return calls;
}

// The load: waiting, leaving and malformed clients, run in spells.
class Load {
public:
    Load(Tally& tally, std::uint64_t seed) : tally_(tally) {
        // One at a time, each with a first answered call: a bus takes only so many connections
        // that are still authenticating.
        for (int i = 0; i < waitingClients; ++i) {
            threads_.emplace_back([this, i, seed] { waiting(seed + i); });
            eventually([&] { return connected_ > i; }, 60s);
        }
        for (int i = 0; i < leavingClients; ++i) {
            threads_.emplace_back([this, i, seed] { leaving(seed + 1000 + i); });
        }
        for (int i = 0; i < malformedClients; ++i) {
            threads_.emplace_back([this] { malformed(); });
        }
    }
    ~Load() {
        stop_ = true;
        for (auto& thread : threads_) {
            thread.join();
        }
    }
    Load(const Load&) = delete;
    Load& operator=(const Load&) = delete;

    // Runs every client for the time given, then waits until each has its answer.
    void spell(std::chrono::milliseconds length) {
        running_ = true;
        std::this_thread::sleep_for(length);
        running_ = false;
        if (!eventually([&] { return busy_ == 0; }, 120s)) {
            tally_.surprise("clients still waiting 120 s after the spell");
        }
    }

private:
    void waiting(std::uint64_t seed) {
        std::mt19937_64 random(seed);
        PowerHelperClient client(60s);
        call(client, 19);
        ++connected_;
        while (!stop_) {
            if (!running_) {
                std::this_thread::sleep_for(5ms);
                continue;
            }
            ++busy_;
            if (running_) {
                call(client, static_cast<int>(random() % 20));
            }
            --busy_;
        }
    }

    void call(PowerHelperClient& client, int action) {
        try {
            if (action < 9) {
                client.hold(static_cast<std::int64_t>(1 + action * 7));
            } else if (action < 13) {
                client.release();
            } else {
                (void)client.status();
            }
            ++tally_.answered;
        } catch (const std::exception& error) {
            tally_.surprise(std::string("a waiting client got: ") + error.what());
        }
    }

    // Sends a few calls and leaves the bus before their replies can come.
    void leaving(std::uint64_t seed) {
        std::mt19937_64 random(seed);
        while (!stop_) {
            if (!running_) {
                std::this_thread::sleep_for(5ms);
                continue;
            }
            ++busy_;
            try {
                auto connection = sdbus::createSystemBusConnection();
                auto proxy = sdbus::createProxy(*connection, serviceName, objectPath);
                const int calls = 1 + static_cast<int>(random() % 3);
                for (int i = 0; i < calls; ++i) {
                    const int kind = static_cast<int>(random() % 3);
                    auto message =
                        proxy->createMethodCall(interfaceName, kind == 0   ? "HoldLidSleepDisabled"
                                                               : kind == 1 ? "Release"
                                                                           : "Status");
                    if (kind == 0) {
                        message << std::int64_t{3};
                    }
                    proxy->callMethod(
                        message, [](sdbus::MethodReply&, const sdbus::Error*) {}, 60'000'000);
                    ++tally_.abandoned;
                }
                connection->processPendingRequest(); // flushes the calls out
                std::this_thread::sleep_for(std::chrono::milliseconds(random() % 20));
                proxy.reset();
                connection.reset();
                // The daemon still runs what they asked: at a rate the queue keeps up with, so
                // that they do not become a flood themselves.
                std::this_thread::sleep_for(std::chrono::milliseconds(300 + random() % 500));
            } catch (const std::exception& error) {
                tally_.surprise(std::string("a leaving client: ") + error.what());
            }
            --busy_;
        }
    }

    void malformed() {
        std::unique_ptr<sdbus::IConnection> connection;
        try {
            connection = sdbus::createSystemBusConnection();
        } catch (const std::exception& error) {
            tally_.surprise(std::string("a malformed client could not connect: ") + error.what());
            return;
        }
        std::size_t next = 0;
        while (!stop_) {
            if (!running_) {
                std::this_thread::sleep_for(5ms);
                continue;
            }
            ++busy_;
            const Malformed& m = malformedCalls()[next++ % malformedCalls().size()];
            try {
                auto proxy = sdbus::createProxy(*connection, serviceName, m.path);
                auto message = proxy->createMethodCall(m.interface, m.member);
                m.arguments(message);
                proxy->callMethod(message, 60'000'000);
                tally_.surprise(m.member + " on " + m.path + " (" + m.interface + ") succeeded");
            } catch (const sdbus::Error& error) {
                if (m.errors.count(error.getName()) == 0) {
                    tally_.surprise(m.member + " on " + m.interface + " was answered with " +
                                    error.getName() + ": " + error.getMessage());
                }
                ++tally_.malformed;
            }
            --busy_;
            std::this_thread::sleep_for(2ms);
        }
    }

    Tally& tally_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> running_{false};
    std::atomic<int> busy_{0};
    std::atomic<int> connected_{0};
    std::vector<std::thread> threads_;
};

// A flood: a few connections each pipeline calls without waiting; each call ends answered or
// refused as busy, nothing else.
struct FloodResult {
    long answered = 0;
    long busy = 0;
    long other = 0;
    std::string example;
};

FloodResult flood() {
    std::mutex mutex;
    FloodResult result;
    std::vector<std::thread> threads;
    const std::string busyMessage =
        "ZelvoPowerHelper is busy: " + std::to_string(transport::Listener::maximumPendingReplies) +
        " requests are waiting";
    for (int c = 0; c < floodConnections; ++c) {
        threads.emplace_back([&] {
            try {
                auto connection = sdbus::createSystemBusConnection();
                auto proxy = sdbus::createProxy(*connection, serviceName, objectPath);
                int ended = 0;
                for (int i = 0; i < floodCallsEach; ++i) {
                    auto message = proxy->createMethodCall(interfaceName, "Status");
                    proxy->callMethod(
                        message,
                        [&](sdbus::MethodReply&, const sdbus::Error* error) {
                            ++ended;
                            const std::lock_guard lock(mutex);
                            if (error == nullptr) {
                                ++result.answered;
                            } else if (error->getName() == busyError &&
                                       error->getMessage() == busyMessage) {
                                ++result.busy;
                            } else {
                                ++result.other;
                                result.example = error->getName() + ": " + error->getMessage();
                            }
                        },
                        120'000'000);
                }
                const auto deadline = Clock::now() + 150s;
                while (ended < floodCallsEach && Clock::now() < deadline) {
                    while (connection->processPendingRequest()) {
                    }
                    const auto data = connection->getEventLoopPollData();
                    pollfd fd{data.fd, data.events, 0};
                    ::poll(&fd, 1, 50);
                }
                const std::lock_guard lock(mutex);
                result.other += floodCallsEach - ended;
            } catch (const std::exception& error) {
                const std::lock_guard lock(mutex);
                ++result.other;
                result.example = error.what();
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    return result;
}

// Run as a member: connections that send status calls until the time is up and never read a
// reply; prints "sent N".
int unreadFlood(int connections, int seconds) {
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    std::atomic<long> sent{0};
    std::vector<std::thread> threads;
    for (int c = 0; c < connections; ++c) {
        threads.emplace_back([&] {
            try {
                UnreadCaller caller;
                sent += caller.sendUntil(end, serviceName, objectPath, interfaceName, "Status");
            } catch (const std::exception& error) {
                std::cerr << error.what() << std::endl;
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    std::cout << "sent " << sent << std::endl;
    return 0;
}

// Of the pids of pmset runs, those still running as this process's children: with the daemon
// gone, a pmset it left running has come back to us (we are its reaper). Thousands of runs
// recycle pids on a busy machine, so a recorded pid running under another parent is someone
// else's process.
std::vector<pid_t> orphansAmong(const std::vector<pid_t>& pids) {
    std::vector<pid_t> orphans;
    for (const pid_t pid : pids) {
        const auto stat = readFile(fs::path("/proc") / std::to_string(pid) / "stat");
        const std::size_t close = stat ? stat->rfind(')') : std::string::npos;
        if (close == std::string::npos) {
            continue;
        }
        // After the command name: the state, then the parent's pid.
        std::istringstream fields(stat->substr(close + 1));
        std::string state;
        pid_t parent = 0;
        if (fields >> state >> parent && parent == ::getpid()) {
            orphans.push_back(pid);
        }
    }
    return orphans;
}

// The value below which the given share of the sorted values lies.
double percentile(std::vector<double> values, double share) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(share * static_cast<double>(values.size() - 1));
    return values[index];
}

// Run as another user: each request a few times; prints "denied N other M".
int outsider(int rounds) {
    long denied = 0;
    long other = 0;
    PowerHelperClient client(30s);
    for (int i = 0; i < rounds; ++i) {
        for (int kind = 0; kind < 3; ++kind) {
            try {
                if (kind == 0) {
                    client.hold(30);
                } else if (kind == 1) {
                    client.release();
                } else {
                    (void)client.status();
                }
                ++other;
            } catch (const HelperUnreachable& error) {
                ++(std::string(error.what()).rfind("access denied", 0) == 0 ? denied : other);
            } catch (const std::exception&) {
                ++other;
            }
        }
    }
    std::cout << "denied " << denied << " other " << other << std::endl;
    return 0;
}

class Campaign {
public:
    Campaign(Figures& figures, std::uint64_t seed, bool longForm)
        : figures_(figures), seed_(seed), longForm_(longForm) {
        daemon_.bus = std::make_unique<testbus::PrivateBus>(testbus::PrivateBusOptions{
            .extraConfiguration =
                testbus::PrivateBus::allowEveryoneToCall(serviceName) + systemBusLimits});
        if (!daemon_.startAndAwaitName()) {
            throw std::runtime_error("the daemon did not come up: " + daemon_.daemonErrors());
        }
    }

    void run() {
        const auto spellLength = longForm_ ? 30s : 3s;
        {
            std::atomic<bool> sampling{true};
            std::atomic<long> peak{residentKiB(daemon_.daemon)};
            const long start = peak;
            std::thread sampler([&] {
                while (sampling) {
                    peak = std::max(peak.load(), residentKiB(daemon_.daemon));
                    std::this_thread::sleep_for(50ms);
                }
            });
            Load load(tally_, seed_);
            figures_.cases += waitingClients;
            load.spell(spellLength);
            const int descriptorsFirst = quietDescriptorCount(daemon_.daemon);
            const long memoryFirst = residentKiB(daemon_.daemon);
            load.spell(spellLength);
            const int descriptorsSecond = quietDescriptorCount(daemon_.daemon);
            const long memorySecond = residentKiB(daemon_.daemon);
            sampling = false;
            sampler.join();
            figures_.note("daemon memory at start KiB", start);
            figures_.note("daemon memory peak KiB", peak);
            if (descriptorsSecond > descriptorsFirst) {
                figures_.leakedDescriptors += descriptorsSecond - descriptorsFirst;
                fail("the daemon's descriptors grew from " + std::to_string(descriptorsFirst) +
                     " to " + std::to_string(descriptorsSecond) + " over the second spell");
            }
            if (memorySecond - memoryFirst > memoryGrowthBoundKiB) {
                fail("the daemon's memory grew from " + std::to_string(memoryFirst) + " to " +
                     std::to_string(memorySecond) + " KiB over the second spell");
            }
            figures_.note("daemon descriptors under load", descriptorsSecond);
        }
        checkAlive("the load");
        runFlood();
        checkAlive("the flood");
        runUnreadFlood();
        checkAlive("the member's flood");
        runOutsiders();
        checkAlive("the outsiders");
        finalState();

        figures_.note("answered calls of waiting clients", tally_.answered);
        figures_.note("calls abandoned by leaving clients", tally_.abandoned);
        figures_.note("malformed calls answered with an error", tally_.malformed);
        if (tally_.surprises > 0) {
            for (const auto& example : tally_.examples()) {
                fail(example);
            }
            fail(std::to_string(tally_.surprises.load()) + " calls went wrong in all");
        }
    }

private:
    void runFlood() {
        // A slowed read keeps the queue busy while the flood arrives.
        daemon_.pmset.setControl("get sleep 5\n");
        const FloodResult result = flood();
        daemon_.pmset.clearControl();
        figures_.cases += floodConnections * floodCallsEach;
        figures_.note("flood calls answered", result.answered);
        figures_.note("flood calls refused as busy", result.busy);
        if (result.other > 0) {
            fail(std::to_string(result.other) + " flood calls ended otherwise, for example " +
                 result.example);
        }
        if (result.busy == 0) {
            fail("the flood never met the backlog's bound");
        }
    }

    // A member floods from several connections and reads nothing; root keeps asking for status,
    // each answer awaited. The daemon's and the bus's memory are sampled throughout.
    void runUnreadFlood() {
        ++figures_.cases;
        testbus::ensureClientGroupMember(memberName);
        const int seconds = longForm_ ? 60 : 3;
        const pid_t busPid = daemon_.bus->pid();
        std::atomic<bool> flooding{true};
        std::atomic<long> daemonPeak{residentKiB(daemon_.daemon)};
        std::atomic<long> busPeak{residentKiB(busPid)};
        figures_.note("bus memory at start KiB", busPeak);
        testbus::CommandResult flooder;
        std::thread flood([&] {
            flooder = testbus::runCommand(
                testbus::asUser(memberName,
                                {self_, "--unread-flood", std::to_string(unreadFloodConnections),
                                 std::to_string(seconds)}),
                seconds + 120.0);
            flooding = false;
        });
        std::thread sampler([&] {
            while (flooding) {
                daemonPeak = std::max(daemonPeak.load(), residentKiB(daemon_.daemon));
                busPeak = std::max(busPeak.load(), residentKiB(busPid));
                std::this_thread::sleep_for(20ms);
            }
        });
        std::vector<double> latencies;
        long failures = 0;
        std::string example;
        try {
            PowerHelperClient client(60s);
            while (flooding) {
                const auto began = Clock::now();
                try {
                    (void)client.status();
                    latencies.push_back(
                        std::chrono::duration<double, std::milli>(Clock::now() - began).count());
                } catch (const std::exception& error) {
                    ++failures;
                    example = error.what();
                }
                std::this_thread::sleep_for(10ms);
            }
        } catch (const std::exception& error) {
            ++failures;
            example = error.what();
        }
        flood.join();
        sampler.join();
        // The daemon takes calls in order: once a call sent after the flood is answered, nothing
        // of the flood is left to run (the outsiders' check counts pmset runs).
        try {
            (void)PowerHelperClient(60s).status();
        } catch (const std::exception& error) {
            ++failures;
            example = error.what();
        }
        figures_.note("member flood calls sent",
                      std::strtol(flooder.standardOutput.c_str() + 5, nullptr, 10));
        figures_.note("root status calls during the member's flood",
                      static_cast<long>(latencies.size()));
        figures_.note("root status p50 ms", std::lround(percentile(latencies, 0.50)));
        figures_.note("root status p99 ms", std::lround(percentile(latencies, 0.99)));
        figures_.note("root status max ms", std::lround(percentile(latencies, 1.0)));
        figures_.note("daemon memory peak in the member's flood KiB", daemonPeak);
        figures_.note("bus memory peak in the member's flood KiB", busPeak);
        if (flooder.exitStatus != 0 || flooder.standardOutput.rfind("sent ", 0) != 0) {
            fail("the member's flood did not run: " + flooder.standardError);
        }
        if (failures > 0) {
            fail(std::to_string(failures) +
                 " of root's status calls failed in the member's flood, "
                 "for example " +
                 example);
        }
        if (daemonPeak > residentBoundKiB) {
            fail("the daemon reached " + std::to_string(daemonPeak.load()) +
                 " KiB in the member's flood");
        }
    }

    void runOutsiders() {
        ++figures_.cases;
        const std::size_t runsBefore = daemon_.pmset.calls().size();
        const std::string stateBefore = daemon_.stateBytes();
        const int rounds = longForm_ ? 50 : 5;
        const auto result = testbus::runCommand(
            testbus::asUser("nobody", {self_, "--outsider", std::to_string(rounds)}));
        const std::string expected = "denied " + std::to_string(rounds * 3) + " other 0\n";
        if (result.exitStatus != 0 || result.standardOutput != expected) {
            fail("an outsider got \"" + result.standardOutput + "\" (" + result.standardError +
                 ")");
        }
        if (daemon_.pmset.calls().size() != runsBefore || daemon_.stateBytes() != stateBefore) {
            fail("an outsider's calls ran pmset or saved");
        }
        figures_.note("outsider calls denied", rounds * 3);
    }

    void checkAlive(const std::string& after) {
        if (!daemon_.daemonRunning()) {
            fail("the daemon ended during " + after);
            throw std::runtime_error("the daemon is gone");
        }
    }

    // The status, the setting and the state file agree; a release and SIGTERM end it all at 0.
    void finalState() {
        try {
            PowerHelperClient client(60s);
            const HelperStatus status = client.status();
            const bool recordHeld = !daemon_.recordNotHeld();
            const int setting = daemon_.pmset.sleepDisabled();
            if (status.errorMessage() || status.heldByHelper() != recordHeld ||
                status.systemSleepDisabled() != setting || setting != (recordHeld ? 1 : 0)) {
                fail("the final state disagrees: status held " +
                     std::to_string(status.heldByHelper()) + " setting " +
                     std::to_string(status.systemSleepDisabled()) + ", stand-in " +
                     std::to_string(setting) + ", record " + daemon_.stateBytes());
            }
            client.release();
        } catch (const std::exception& error) {
            fail(std::string("the final requests failed: ") + error.what());
        }
        if (daemon_.pmset.sleepDisabled() != 0 || !daemon_.recordNotHeld()) {
            fail("after the final release, SleepDisabled " +
                 std::to_string(daemon_.pmset.sleepDisabled()) + ", record " +
                 daemon_.stateBytes());
        }
        const auto status = daemon_.terminate();
        if (status != 0) {
            fail("SIGTERM ended the daemon with " +
                 (status ? std::to_string(*status) : std::string("nothing")));
        }
        if (!daemon_.daemonErrors().empty()) {
            fail("the daemon wrote: " + daemon_.daemonErrors().substr(0, 400));
        }
        figures_.leakedProcesses += awaitEnd(orphansAmong(daemon_.pmsetPids()));
        figures_.leftoverTemporaryFiles +=
            static_cast<long>(temporaryFiles(daemon_.stateDirectory).size());
        figures_.note("pmset runs", static_cast<long>(daemon_.pmsetPids().size()));
    }

    void fail(const std::string& what) { figures_.violation(what); }

    Figures& figures_;
    std::uint64_t seed_;
    bool longForm_;
    HarnessDaemon daemon_;
    Tally tally_;
    std::string self_ = fs::read_symlink("/proc/self/exe").string();
};

} // namespace
} // namespace zelvo::reliability

int main(int argc, char** argv) {
    using namespace zelvo::reliability;
    if (argc == 3 && std::string(argv[1]) == "--outsider") {
        return outsider(std::atoi(argv[2]));
    }
    if (argc == 4 && std::string(argv[1]) == "--unread-flood") {
        return unreadFlood(std::atoi(argv[2]), std::atoi(argv[3]));
    }
    const Options options = parseOptions(argc, argv);
    const auto began = std::chrono::steady_clock::now();
    becomeSubreaper();
    const std::uint64_t seed = options.seedGiven ? options.seed : std::random_device()();
    Figures figures("hostile-clients");
    figures.note("seed", static_cast<long>(seed));
    try {
        Campaign campaign(figures, seed, options.longForm);
        campaign.run();
    } catch (const std::exception& error) {
        figures.violation(error.what());
    }
    return figures.finish(std::chrono::steady_clock::now() - began);
}
