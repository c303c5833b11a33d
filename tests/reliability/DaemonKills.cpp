// Random kills of the real daemon: the test-only daemon on a private bus, with the pmset stand-in
// behind a probe that reads the state file before every raise, serves several clients (threads,
// each with its own bus connection) that hold, renew, release and ask for status at random. At a
// random moment the daemon gets SIGKILL (or, now and then, SIGTERM). Checked each round:
// - every raise found the state file saying held (the probe's log);
// - with the daemon dead and its pmset children ended, a setting at 1 is recorded as held;
//   after SIGTERM the setting is 0, the record not held and the exit status 0;
// - a daemon started again on the same folder puts the setting back at 0 and records not held
//   once the lease has ended (polled with a generous bound);
// - the daemon's descriptors do not grow over a round, no child outlives it, and no temporary
//   file remains but those of a save that SIGKILL interrupted.

#include "Campaign.h"
#include "PmsetStandin.h"
#include "PowerHelperClient.h"
#include "PowerStateFile.h"
#include "PrivateBus.h"

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <iostream>
#include <random>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace zelvo::reliability {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

constexpr int clientCount = 3;

// Clients that call the daemon at random until stopped; they can be paused between calls.
class Clients {
public:
    explicit Clients(std::uint64_t seed) {
        for (int i = 0; i < clientCount; ++i) {
            threads_.emplace_back(
                [this, seed, i] { run(seed + static_cast<std::uint64_t>(i), i); });
        }
    }
    ~Clients() {
        stop_ = true;
        for (auto& thread : threads_) {
            thread.join();
        }
    }
    Clients(const Clients&) = delete;
    Clients& operator=(const Clients&) = delete;

    void pause() {
        paused_ = true;
        eventually([this] { return busy_ == 0; }, std::chrono::seconds(30));
    }
    void resume() { paused_ = false; }
    // Waits until every client has had an answer since `since` (an earlier successes()).
    bool eachAnsweredSince(const std::vector<long>& since) const {
        return eventually(
            [&] {
                for (int i = 0; i < clientCount; ++i) {
                    if (answered_[i] <= since[static_cast<std::size_t>(i)]) {
                        return false;
                    }
                }
                return true;
            },
            std::chrono::seconds(20));
    }
    [[nodiscard]] std::vector<long> successes() const {
        std::vector<long> counts;
        for (const auto& count : answered_) {
            counts.push_back(count);
        }
        return counts;
    }
    [[nodiscard]] long calls() const { return calls_; }
    [[nodiscard]] long failures() const { return failures_; }

private:
    void run(std::uint64_t seed, int index) {
        std::mt19937_64 random(seed);
        PowerHelperClient client(std::chrono::seconds(10));
        while (!stop_) {
            if (paused_) {
                std::this_thread::sleep_for(milliseconds(5));
                continue;
            }
            ++busy_;
            if (!paused_) {
                const int action = static_cast<int>(random() % 10);
                try {
                    if (action < 6) {
                        client.hold(static_cast<std::int64_t>(1 + random() % 3));
                    } else if (action < 8) {
                        (void)client.status();
                    } else {
                        client.release();
                    }
                    ++answered_[index];
                } catch (const std::exception&) {
                    ++failures_;
                }
                ++calls_;
            }
            --busy_;
            std::this_thread::sleep_for(milliseconds(random() % 120));
        }
    }

    std::atomic<bool> stop_{false};
    std::atomic<bool> paused_{true};
    std::atomic<int> busy_{0};
    std::atomic<long> calls_{0};
    std::atomic<long> failures_{0};
    std::atomic<long> answered_[clientCount] = {};
    std::vector<std::thread> threads_;
};

class Campaign {
public:
    Campaign(Figures& figures, std::uint64_t seed)
        : figures_(figures), random_(seed), statePath_(work_.path() / "state" / "state.json") {
        fs::create_directory(statePath_.parent_path());
        fs::permissions(statePath_.parent_path(), fs::perms(0700));
        // The probe takes the stand-in's place as "pmset" and hands over to it.
        fs::remove(standin_.path() / "pmset");
        fs::create_symlink(ZELVO_PROBE_PATH, standin_.path() / "pmset");
        writeFile(standin_.path() / "probe.conf",
                  std::string(pmsetstandin::builtExecutable) + "\n" + statePath_.string() + "\n");
        bus_ = std::make_unique<testbus::PrivateBus>();
    }
    ~Campaign() {
        if (daemon_ > 0) {
            ::kill(daemon_, SIGKILL);
            ::waitpid(daemon_, nullptr, 0);
        }
    }
    Campaign(const Campaign&) = delete;
    Campaign& operator=(const Campaign&) = delete;

    void run(int rounds) {
        Clients clients(random_());
        startDaemon();
        for (int round = 1; round <= rounds; ++round) {
            ++figures_.cases;
            const std::string label = "round " + std::to_string(round);
            // Two spells of calls: the descriptors open after the first (once the daemon has
            // answered each client, so that each has its connection) must still be all that is
            // open after the second.
            const auto answered = clients.successes();
            clients.resume();
            std::this_thread::sleep_for(milliseconds(100 + random_() % 900));
            if (!clients.eachAnsweredSince(answered)) {
                figures_.violation(label + ": a client got no answer from the new daemon");
            }
            clients.pause();
            // The bus library makes a pseudo-connection of two eventfds, once, when the bus
            // thread first encodes a variant (the first status reply): have it made before the
            // count, so that only growth per call is counted.
            try {
                (void)PowerHelperClient().status();
            } catch (const std::exception&) {
            }
            const int descriptorsAtRest = quietDescriptorCount();
            clients.resume();
            std::this_thread::sleep_for(milliseconds(100 + random_() % 900));
            clients.pause();
            const int descriptorsAfter = quietDescriptorCount();
            if (descriptorsAtRest >= 0 && descriptorsAfter > descriptorsAtRest) {
                figures_.leakedDescriptors += descriptorsAfter - descriptorsAtRest;
                figures_.violation(label + ": the daemon's descriptors grew from " +
                                   std::to_string(descriptorsAtRest) + " to " +
                                   std::to_string(descriptorsAfter) + ":" + descriptorTargets());
            }
            clients.resume();
            std::this_thread::sleep_for(milliseconds(random_() % 400));

            // Every fourth end is a SIGTERM, which must put the setting back itself.
            const bool terminate = round % 4 == 0;
            const bool wasRunning = daemonRunning();
            if (wasRunning) {
                ::kill(daemon_, terminate ? SIGTERM : SIGKILL);
            }
            const auto status = waitDaemon();
            clients.pause();
            figures_.leakedProcesses += awaitEnd(standinPids(standin_.path()));
            checkProbe(label);
            if (wasRunning) {
                checkAfterEnd(label, terminate, status);
            } else {
                figures_.note("rounds whose daemon had left by itself", 1);
            }
            figures_.note(terminate ? "SIGTERM" : "SIGKILL", 1);

            // The next start on the same folder puts a recorded hold back once its lease ends.
            startDaemon();
            const bool restored =
                eventually([&] { return standin_.sleepDisabled() == 0 && recordNotHeld(); },
                           std::chrono::seconds(20));
            if (!restored) {
                figures_.violation(label +
                                   ": after the restart and the lease's end, SleepDisabled " +
                                   std::to_string(standin_.sleepDisabled()) + " and record " +
                                   readFile(statePath_).value_or("absent"));
            }
        }
        clients.pause();
        ::kill(daemon_, SIGTERM);
        const auto status = waitDaemon();
        checkAfterEnd("final SIGTERM", true, status);
        figures_.leakedProcesses += awaitEnd(standinPids(standin_.path()));
        figures_.note("client calls", clients.calls());
        figures_.note("client calls that failed", clients.failures());
        figures_.note("pmset runs", static_cast<long>(standinPids(standin_.path()).size()));
    }

private:
    void startDaemon() {
        std::vector<std::string> argv{ZELVO_TESTBED_PATH, "--pmset", standin_.executable(),
                                      "--state", statePath_.string()};
        std::vector<char*> args;
        for (auto& argument : argv) {
            args.push_back(argument.data());
        }
        args.push_back(nullptr);
        const std::string errors = (work_.path() / "daemon.err").string();
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                         0644);
        const int error = ::posix_spawn(&daemon_, args[0], &actions, nullptr, args.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (error != 0) {
            throw std::system_error(error, std::system_category(), "posix_spawn");
        }
        if (!eventually([&] { return nameOwned() || !daemonRunning(); },
                        std::chrono::seconds(20)) ||
            !nameOwned()) {
            figures_.violation("the daemon did not come up: " + readFile(errors).value_or(""));
        }
    }

    bool daemonRunning() { return daemon_ > 0 && processRunning(daemon_); }

    // The daemon's exit status (128 + signal), once it has ended within a generous bound.
    std::optional<int> waitDaemon() {
        std::optional<int> status;
        eventually(
            [&] {
                int raw = 0;
                if (::waitpid(daemon_, &raw, WNOHANG) == daemon_) {
                    status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
                    return true;
                }
                return false;
            },
            std::chrono::seconds(20));
        if (!status) {
            ++figures_.leakedProcesses;
            ::kill(daemon_, SIGKILL);
            ::waitpid(daemon_, nullptr, 0);
        }
        daemon_ = -1;
        return status;
    }

    [[nodiscard]] bool nameOwned() const {
        const auto result = testbus::runCommand({"busctl", "--address=" + bus_->address(), "call",
                                                 "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                 "org.freedesktop.DBus", "NameHasOwner", "s",
                                                 "com.zelvo.Zelvo.power"});
        return result.standardOutput == "b true\n";
    }

    // The smallest count over a quiet second, so that a pmset run's pipe is not counted.
    int quietDescriptorCount() {
        int lowest = -1;
        for (int i = 0; i < 20; ++i) {
            const int count = openDescriptorCount(daemon_);
            lowest = lowest < 0 ? count : std::min(lowest, count);
            std::this_thread::sleep_for(milliseconds(30));
        }
        return lowest;
    }

    [[nodiscard]] std::string descriptorTargets() const {
        std::string targets;
        std::error_code error;
        const fs::path folder = fs::path("/proc") / std::to_string(daemon_) / "fd";
        for (auto it = fs::directory_iterator(folder, error);
             !error && it != fs::directory_iterator(); it.increment(error)) {
            std::error_code ignored;
            targets += " " + it->path().filename().string() + "=" +
                       fs::read_symlink(it->path(), ignored).string();
        }
        return targets;
    }

    bool recordNotHeld() {
        try {
            const auto record = PowerStateFile(statePath_.string()).load();
            return !record || !record->heldByHelper;
        } catch (const std::exception&) {
            return false;
        }
    }

    void checkProbe(const std::string& label) {
        const std::string log = readFile(standin_.path() / "probe.log").value_or("");
        std::istringstream lines(log.substr(std::min(probeRead_, log.size())));
        probeRead_ = log.size();
        for (std::string line; std::getline(lines, line);) {
            figures_.note("raises", 1);
            if (line.find("NOT-HELD") != std::string::npos) {
                figures_.violation(label +
                                   ": a raise while the state file did not say held: " + line);
            }
        }
    }

    void checkAfterEnd(const std::string& label, bool terminated, std::optional<int> status) {
        const int setting = standin_.sleepDisabled();
        if (terminated) {
            if (status != 0) {
                figures_.violation(label + ": SIGTERM ended the daemon with status " +
                                   (status ? std::to_string(*status) : std::string("none")));
            }
            if (setting != 0 || !recordNotHeld()) {
                figures_.violation(label + ": after SIGTERM, SleepDisabled " +
                                   std::to_string(setting) + " and record " +
                                   readFile(statePath_).value_or("absent"));
            }
        } else if (setting == 1 && recordNotHeld()) {
            figures_.violation(label + ": killed with SleepDisabled 1 and the record not held: " +
                               readFile(statePath_).value_or("absent"));
        }
        const auto temporaries = temporaryFiles(statePath_.parent_path());
        if (terminated) {
            figures_.leftoverTemporaryFiles += static_cast<long>(temporaries.size());
        } else {
            figures_.note("temporary files of killed saves", static_cast<long>(temporaries.size()));
        }
        for (const auto& name : temporaries) {
            fs::remove(statePath_.parent_path() / name);
        }
    }

    Figures& figures_;
    std::mt19937_64 random_;
    TemporaryFolder work_;
    pmsetstandin::Folder standin_;
    fs::path statePath_;
    std::unique_ptr<testbus::PrivateBus> bus_;
    pid_t daemon_ = -1;
    std::size_t probeRead_ = 0;
};

} // namespace
} // namespace zelvo::reliability

int main(int argc, char** argv) {
    using namespace zelvo::reliability;
    const Options options = parseOptions(argc, argv);
    const auto began = std::chrono::steady_clock::now();
    becomeSubreaper();
    const std::uint64_t seed = options.seedGiven ? options.seed : std::random_device()();
    Figures figures("daemon-kills");
    figures.note("seed", static_cast<long>(seed));
    {
        Campaign campaign(figures, seed);
        campaign.run(options.longForm ? 60 : 5);
    }
    return figures.finish(std::chrono::steady_clock::now() - began);
}
