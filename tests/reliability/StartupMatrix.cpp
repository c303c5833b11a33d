// Start-up matrix: the test-only daemon started on every kind of state file it may find. Each is
// either refused or served as the daemon should:
// - refused (empty, truncated, garbage, a symbolic link, a FIFO, another owner, mode 0644, over
//   16 KB, a hold without a lease, a date outside the years 0000 to 9999): exactly the line
//   "ZelvoPowerHelper startup failed: <description>" (the description the state file gives for
//   that file), exit status 1, the bus name never owned, no pmset run, and the state directory
//   left exactly as found (every entry's type, mode, owner, size, inode, times and bytes);
// - served: a missing file (serves, creates only the empty state directory it locks, ends with 0:
//   by the idle exit in the long form, by SIGTERM in the short one), 16 KB exactly,
//   leftover temporary files (ignored and left alone, also across saves), a lease in the past
//   (put back at start-up, before any request; and, when pmset fails then, retried by the ticks),
//   a lease far in the future (adopted without a pmset run, put back on release or on SIGTERM).
// Nothing may hang: every start is awaited with a generous bound.

#include "Campaign.h"
#include "HarnessDaemon.h"
#include "PowerHelperClient.h"
#include "PowerHelperError.h"
#include "PowerStateFile.h"

#include <atomic>
#include <csignal>
#include <cstring>
#include <iostream>
#include <map>
#include <random>
#include <sdbus-c++/sdbus-c++.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace zelvo::reliability {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* notHeld = R"({"heldByHelper":false})";
constexpr const char* failedPrefix = "ZelvoPowerHelper startup failed: ";
constexpr const char* restoreFailedPrefix = "ZelvoPowerHelper startup restore failed; retrying: ";
constexpr const char* busName = "com.zelvo.Zelvo.power";
constexpr uid_t otherUser = 65534;

std::string heldUntil(const std::string& date) {
    return R"({"heldByHelper":true,"leaseUntil":")" + date + "\"}";
}

// Counts every change of the helper name's owner on the current private bus, from before the
// daemon starts: a refused start must never have owned it, not even for a moment.
class NameWatch {
public:
    NameWatch() : connection_(sdbus::createSystemBusConnection()) {
        slot_ = connection_->addMatch(
            std::string("type='signal',sender='org.freedesktop.DBus',member='NameOwnerChanged',"
                        "arg0='") +
                busName + "'",
            [this](sdbus::Message&) { ++changes_; });
        connection_->enterEventLoopAsync();
    }
    ~NameWatch() {
        connection_->leaveEventLoop();
        slot_.reset();
    }
    NameWatch(const NameWatch&) = delete;
    NameWatch& operator=(const NameWatch&) = delete;
    [[nodiscard]] int changes() const { return changes_; }

private:
    std::unique_ptr<sdbus::IConnection> connection_;
    sdbus::Slot slot_;
    std::atomic<int> changes_{0};
};

// What a directory entry is, as far as anyone could tell it had been touched.
struct Entry {
    struct stat status {};
    std::string content; // a regular file's bytes, a link's target

    bool operator==(const Entry& other) const {
        const auto sameTime = [](const timespec& a, const timespec& b) {
            return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
        };
        return status.st_mode == other.status.st_mode && status.st_uid == other.status.st_uid &&
               status.st_gid == other.status.st_gid && status.st_size == other.status.st_size &&
               status.st_ino == other.status.st_ino &&
               sameTime(status.st_mtim, other.status.st_mtim) &&
               sameTime(status.st_ctim, other.status.st_ctim) && content == other.content;
    }
};
using Snapshot = std::map<std::string, Entry>;

Snapshot snapshot(const fs::path& directory) {
    Snapshot entries;
    std::error_code error;
    for (auto it = fs::directory_iterator(directory, error);
         !error && it != fs::directory_iterator(); it.increment(error)) {
        Entry entry;
        if (::lstat(it->path().c_str(), &entry.status) != 0) {
            continue;
        }
        if (S_ISREG(entry.status.st_mode)) {
            entry.content = readFile(it->path()).value_or("");
        } else if (S_ISLNK(entry.status.st_mode)) {
            entry.content = fs::read_symlink(it->path(), error).string();
        }
        entries.emplace(it->path().filename().string(), std::move(entry));
    }
    return entries;
}

// The description the state file gives for what lies at the path; none when it loads.
std::optional<std::string> loadFailure(const fs::path& statePath) {
    try {
        (void)PowerStateFile(statePath.string()).load();
        return std::nullopt;
    } catch (const std::exception& error) {
        return descriptionOf(error);
    }
}

enum class Outcome {
    refused,        // the start-up failure line and status 1
    serves,         // serves without a line, ends with 0 on SIGTERM, the file as found
    putBack,        // a lease in the past: put back before any request
    putBackLater,   // ... and pmset fails at start-up: the line, then the ticks put it back
    adoptedRelease, // a far-future lease: adopted, put back on release
    adoptedSigterm, // ... put back on SIGTERM
    leftovers,      // leftover temporary files: served, and never touched
};

struct Case {
    std::string name;
    Outcome outcome;
    // Lays out the state directory (which exists, mode 0700, when it is called).
    std::function<void(HarnessDaemon&)> prepare;
    // For refusals: a part the description must contain.
    std::string fragment;
    int setting = 0;
};

const std::string refusedFile = "state must be an owned regular 0600 file of at most 16 KB";

void writeWith(HarnessDaemon& daemon, const std::string& document, mode_t mode = 0600) {
    daemon.writeState(document, mode);
}

std::string padded(const std::string& document, std::size_t size) {
    return document + std::string(size - document.size(), ' ');
}

std::string garbage(std::uint64_t seed) {
    std::mt19937_64 random(seed);
    std::string bytes(1 + random() % 600, '\0');
    for (auto& byte : bytes) {
        byte = static_cast<char>(random());
    }
    bytes[0] = '\xFE'; // so that it can never start a JSON document
    return bytes;
}

std::vector<Case> matrix(bool longForm) {
    const std::string held = heldUntil("2031-05-06T07:08:09Z");
    std::vector<Case> cases = {
        {"empty", Outcome::refused, [](HarnessDaemon& d) { writeWith(d, ""); }, "", 0},
        {"symbolic link to a valid file", Outcome::refused,
         [](HarnessDaemon& d) {
             writeFile(d.stateDirectory / "elsewhere.json", notHeld);
             fs::create_symlink(d.stateDirectory / "elsewhere.json", d.statePath);
         },
         std::string("open: ") + std::strerror(ELOOP), 0},
        {"FIFO", Outcome::refused,
         [](HarnessDaemon& d) {
             if (::mkfifo(d.statePath.c_str(), 0600) != 0) {
                 throw std::system_error(errno, std::system_category(), "mkfifo");
             }
         },
         refusedFile, 0},
        {"other owner", Outcome::refused,
         [](HarnessDaemon& d) {
             writeWith(d, notHeld);
             if (::chown(d.statePath.c_str(), otherUser, otherUser) != 0) {
                 throw std::system_error(errno, std::system_category(), "chown");
             }
         },
         refusedFile, 0},
        {"mode 0644", Outcome::refused, [](HarnessDaemon& d) { writeWith(d, notHeld, 0644); },
         refusedFile, 0},
        {"over 16 KB", Outcome::refused,
         [](HarnessDaemon& d) { writeWith(d, padded(notHeld, 16385)); }, refusedFile, 0},
        {"16 KB exactly", Outcome::serves,
         [](HarnessDaemon& d) { writeWith(d, padded(notHeld, 16384)); }, "", 0},
        {"held without a lease", Outcome::refused,
         [](HarnessDaemon& d) { writeWith(d, R"({"heldByHelper":true})"); },
         "a hold must have a finite lease", 1},
        {"date of year 10000", Outcome::refused,
         [](HarnessDaemon& d) { writeWith(d, heldUntil("10000-01-01T00:00:00Z")); }, "", 1},
        {"date before year 0000", Outcome::refused,
         [](HarnessDaemon& d) { writeWith(d, heldUntil("-0001-12-31T23:59:59Z")); }, "", 1},
        {"leftover temporary files", Outcome::leftovers,
         [](HarnessDaemon& d) {
             writeWith(d, notHeld);
             writeFile(d.stateDirectory / ".power-state-0A1B2C3D-0000-4000-8000-00000000DEAD.tmp",
                       heldUntil("2001-01-01T00:00:00Z"));
             writeFile(d.stateDirectory / ".power-state-FFFFFFFF-FFFF-4FFF-BFFF-FFFFFFFFFFFF.tmp",
                       "\xFE half a record", 0644);
         },
         "", 0},
        {"lease in the past", Outcome::putBack,
         [](HarnessDaemon& d) { writeWith(d, heldUntil("2001-01-01T00:00:00Z")); }, "", 1},
        {"lease at the first instant of year 0000", Outcome::putBack,
         [](HarnessDaemon& d) { writeWith(d, heldUntil("0000-01-01T00:00:00Z")); }, "", 1},
        {"lease in the past, pmset failing at start-up", Outcome::putBackLater,
         [](HarnessDaemon& d) {
             writeWith(d, heldUntil("2001-01-01T00:00:00Z"));
             d.pmset.setControl("set exit 1 refused for now\n");
         },
         "", 1},
        {"lease far in the future, then released", Outcome::adoptedRelease,
         [](HarnessDaemon& d) { writeWith(d, heldUntil("9999-12-31T23:59:59Z")); }, "", 1},
        {"lease far in the future, then SIGTERM", Outcome::adoptedSigterm,
         [](HarnessDaemon& d) { writeWith(d, heldUntil("9999-12-31T23:59:59Z")); }, "", 1},
    };
    // Truncations of a held record: the short form cuts it near both ends and in the middle, the
    // long form at every byte.
    std::vector<std::size_t> cuts = {1, held.size() / 2, held.size() - 1};
    if (longForm) {
        cuts.clear();
        for (std::size_t cut = 1; cut < held.size(); ++cut) {
            cuts.push_back(cut);
        }
    }
    for (const std::size_t cut : cuts) {
        cases.push_back(
            {"truncated to " + std::to_string(cut) + " bytes", Outcome::refused,
             [document = held.substr(0, cut)](HarnessDaemon& d) { writeWith(d, document); }, "",
             1});
    }
    for (std::uint64_t seed = 1; seed <= (longForm ? 20u : 2u); ++seed) {
        cases.push_back({"garbage " + std::to_string(seed), Outcome::refused,
                         [seed](HarnessDaemon& d) { writeWith(d, garbage(seed)); }, "", 0});
    }
    return cases;
}

class Campaign {
public:
    explicit Campaign(Figures& figures) : figures_(figures) {}

    // A missing file: the daemon serves, creates only the empty state directory (0700) that it
    // locks, and ends with 0. The long form waits
    // for the idle exit (a minute after start, so it runs on its own bus beside the other cases
    // and is awaited last); the short form ends it with SIGTERM.
    void startMissing() {
        ++figures_.cases;
        missing_ = std::make_unique<HarnessDaemon>();
        missing_->startBus();
        missingStarted_ = std::chrono::steady_clock::now();
        if (!missing_->startAndAwaitName()) {
            fail("missing", "the daemon did not come up: " + missing_->daemonErrors());
            return;
        }
        checkStatus("missing", false, 0);
    }

    void finishMissing(bool idleExit) {
        if (!missing_) {
            return;
        }
        HarnessDaemon& d = *missing_;
        std::optional<int> status;
        if (idleExit) {
            const auto left = 100s - (std::chrono::steady_clock::now() - missingStarted_);
            status = d.waitForExit(std::chrono::duration_cast<std::chrono::milliseconds>(left));
        } else {
            status = d.terminate();
        }
        if (status != 0) {
            fail("missing", std::string(idleExit ? "no idle exit within 100 s" : "SIGTERM") +
                                " ended it with " +
                                (status ? std::to_string(*status) : std::string("nothing")));
            if (!status) {
                ++figures_.leakedProcesses;
            }
        }
        struct stat made {};
        if (::lstat(d.stateDirectory.c_str(), &made) != 0 || !S_ISDIR(made.st_mode) ||
            (made.st_mode & 0777) != 0700 || !fs::is_empty(d.stateDirectory)) {
            fail("missing", "the state directory was not made empty with mode 0700");
        }
        if (!d.daemonErrors().empty()) {
            fail("missing", "it wrote: " + d.daemonErrors());
        }
        figures_.leakedProcesses += awaitEnd(d.pmsetPids());
        missing_.reset();
    }

    void run(const Case& c) {
        ++figures_.cases;
        HarnessDaemon d;
        d.startBus();
        fs::create_directories(d.stateDirectory);
        fs::permissions(d.stateDirectory, fs::perms::owner_all);
        d.pmset.setSleepDisabled(c.setting);
        c.prepare(d);
        const Snapshot found = snapshot(d.stateDirectory);
        std::set<std::string> planted;
        for (const auto& name : temporaryFiles(d.stateDirectory)) {
            planted.insert(name);
        }
        if (c.outcome == Outcome::refused) {
            refused(c, d, found);
        } else {
            served(c, d, found);
        }
        for (const auto& name : temporaryFiles(d.stateDirectory)) {
            if (planted.count(name) == 0) {
                ++figures_.leftoverTemporaryFiles;
                fail(c.name, "the temporary file " + name + " was left behind");
            }
        }
        figures_.leakedProcesses += awaitEnd(d.pmsetPids());
        if (d.daemonRunning()) {
            ++figures_.leakedProcesses;
            fail(c.name, "the daemon still runs at the case's end");
        }
    }

private:
    void refused(const Case& c, HarnessDaemon& d, const Snapshot& found) {
        std::optional<int> status;
        {
            const NameWatch watch;
            d.startDaemon(std::nullopt, false);
            status = d.waitForExit(20s);
            if (!status) {
                fail(c.name, "the refused start did not end within 20 s");
            } else if (*status != 1) {
                fail(c.name, "exit status " + std::to_string(*status));
            }
            // The watch sees any change that happened before the name query returns.
            if (d.nameOwned() || watch.changes() != 0) {
                fail(c.name, "the bus name was owned");
            }
        }
        const auto description = loadFailure(d.statePath);
        if (!description) {
            fail(c.name, "the file loads: not a refusal case");
        } else {
            const std::string expected = failedPrefix + *description + "\n";
            if (d.daemonErrors() != expected) {
                fail(c.name, "wrote \"" + d.daemonErrors() + "\", not \"" + expected + "\"");
            }
            if (description->find(c.fragment) == std::string::npos) {
                fail(c.name,
                     "the description \"" + *description + "\" lacks \"" + c.fragment + "\"");
            }
        }
        if (!d.pmsetRuns().empty()) {
            fail(c.name, "pmset ran " + std::to_string(d.pmsetRuns().size()) + " times");
        }
        if (snapshot(d.stateDirectory) != found) {
            fail(c.name, "the state directory was not left as found");
        }
    }

    void served(const Case& c, HarnessDaemon& d, const Snapshot& found) {
        if (!d.startAndAwaitName()) {
            fail(c.name, "the daemon did not come up: " + d.daemonErrors());
            return;
        }
        checkDescriptors(c.name, d);
        switch (c.outcome) {
        case Outcome::serves:
            checkStatus(c.name, false, 0);
            break;
        case Outcome::leftovers:
            checkStatus(c.name, false, 0);
            // Two saves go by the leftovers.
            try {
                PowerHelperClient client(30s);
                client.hold(5);
                client.release();
            } catch (const std::exception& error) {
                fail(c.name, std::string("hold and release failed: ") + error.what());
            }
            break;
        case Outcome::putBack:
            if (!eventually([&] { return d.pmset.sleepDisabled() == 0 && d.recordNotHeld(); },
                            20s)) {
                fail(c.name, "not put back at start-up: " + d.stateBytes());
            }
            if (d.pmsetRuns() != std::vector<std::string>{"-g", "-a disablesleep 0", "-g"}) {
                fail(c.name, "start-up ran pmset " + std::to_string(d.pmsetRuns().size()) +
                                 " times, not read, set 0, read");
            }
            break;
        case Outcome::putBackLater: {
            const bool lined = eventually(
                [&] { return d.daemonErrors().rfind(restoreFailedPrefix, 0) == 0; }, 20s);
            if (!lined) {
                fail(c.name, "no restore-failed line: " + d.daemonErrors());
            }
            d.pmset.clearControl();
            if (!eventually([&] { return d.pmset.sleepDisabled() == 0 && d.recordNotHeld(); },
                            20s)) {
                fail(c.name, "the ticks did not put it back: " + d.stateBytes());
            }
            break;
        }
        case Outcome::adoptedRelease:
        case Outcome::adoptedSigterm:
            if (!d.pmsetRuns().empty()) {
                fail(c.name, "adopting the lease ran pmset");
            }
            checkStatus(c.name, true, 1);
            if (c.outcome == Outcome::adoptedRelease) {
                try {
                    PowerHelperClient(30s).release();
                } catch (const std::exception& error) {
                    fail(c.name, std::string("release failed: ") + error.what());
                }
                if (d.pmset.sleepDisabled() != 0 || !d.recordNotHeld()) {
                    fail(c.name, "not put back on release: " + d.stateBytes());
                }
            }
            break;
        case Outcome::refused:
            break;
        }

        const auto status = d.terminate();
        if (status != 0) {
            fail(c.name, "SIGTERM ended it with " +
                             (status ? std::to_string(*status) : std::string("nothing")));
        }
        if (d.pmset.sleepDisabled() != 0 || (c.setting == 1 && !d.recordNotHeld())) {
            fail(c.name, "after SIGTERM, SleepDisabled " + std::to_string(d.pmset.sleepDisabled()) +
                             " and record " + d.stateBytes());
        }
        if (c.outcome == Outcome::putBackLater) {
            checkOnlyRestoreLines(c.name, d.daemonErrors());
        } else if (!d.daemonErrors().empty()) {
            fail(c.name, "it wrote: " + d.daemonErrors());
        }
        const Snapshot after = snapshot(d.stateDirectory);
        if (c.outcome == Outcome::serves && after != found) {
            fail(c.name, "the state directory was not left as found");
        }
        if (c.outcome == Outcome::leftovers) {
            for (const auto& [name, entry] : found) {
                const auto kept = after.find(name);
                if (name.rfind(".power-state-", 0) == 0 &&
                    (kept == after.end() || !(kept->second == entry))) {
                    fail(c.name, "the leftover " + name + " was touched");
                }
            }
        }
    }

    // A start whose putting back fails writes its line once, then each failed tick writes one
    // "Lease restore failed" line; nothing else.
    void checkOnlyRestoreLines(const std::string& name, const std::string& text) {
        std::istringstream lines(text);
        bool first = true;
        for (std::string line; std::getline(lines, line); first = false) {
            const char* expected =
                first ? restoreFailedPrefix : "ZelvoPowerHelper: Lease restore failed: ";
            if (line.rfind(expected, 0) != 0) {
                fail(name, "unexpected line: " + line);
            }
        }
    }

    void checkStatus(const std::string& name, bool held, int setting) {
        try {
            const HelperStatus status = PowerHelperClient(30s).status();
            if (status.heldByHelper() != held || status.systemSleepDisabled() != setting ||
                status.errorMessage() || (held && status.leaseSecondsRemaining() != 60)) {
                fail(name, "status held " + std::to_string(status.heldByHelper()) + ", setting " +
                               std::to_string(status.systemSleepDisabled()) + ", remaining " +
                               std::to_string(status.leaseSecondsRemaining()) + ", error " +
                               status.errorMessage().value_or("none"));
            }
        } catch (const std::exception& error) {
            fail(name, std::string("status failed: ") + error.what());
        }
    }

    // Once start-up is over, the daemon holds nothing open in the state directory (the directory
    // itself it keeps open, for its lock).
    void checkDescriptors(const std::string& name, HarnessDaemon& d) {
        std::error_code error;
        const fs::path folder = fs::path("/proc") / std::to_string(d.daemon) / "fd";
        const std::string directory = d.stateDirectory.string() + "/";
        for (auto it = fs::directory_iterator(folder, error);
             !error && it != fs::directory_iterator(); it.increment(error)) {
            std::error_code ignored;
            const std::string target = fs::read_symlink(it->path(), ignored).string();
            if (target.rfind(directory, 0) == 0) {
                ++figures_.leakedDescriptors;
                fail(name, "the daemon keeps " + target + " open");
            }
        }
    }

    void fail(const std::string& name, const std::string& what) {
        figures_.violation(name + ": " + what);
    }

    Figures& figures_;
    std::unique_ptr<HarnessDaemon> missing_;
    std::chrono::steady_clock::time_point missingStarted_;
};

} // namespace
} // namespace zelvo::reliability

int main(int argc, char** argv) {
    using namespace zelvo::reliability;
    const Options options = parseOptions(argc, argv);
    const auto began = std::chrono::steady_clock::now();
    becomeSubreaper();
    Figures figures("startup-matrix");
    {
        Campaign campaign(figures);
        campaign.startMissing();
        const auto cases = matrix(options.longForm);
        // Counted after the first case: the bus library keeps a few descriptors of its own once
        // it has been used.
        int descriptorsBefore = -1;
        for (const auto& c : cases) {
            campaign.run(c);
            if (descriptorsBefore < 0) {
                descriptorsBefore = openDescriptorCount();
            }
        }
        campaign.finishMissing(options.longForm);
        const int descriptorsAfter = openDescriptorCount();
        if (descriptorsAfter > descriptorsBefore) {
            figures.leakedDescriptors += descriptorsAfter - descriptorsBefore;
            figures.violation("the campaign's own descriptors grew from " +
                              std::to_string(descriptorsBefore) + " to " +
                              std::to_string(descriptorsAfter));
        }
    }
    return figures.finish(std::chrono::steady_clock::now() - began);
}
