// Kill at every step, then cut the power: the real lease manager, state file and pmset runner (on
// the stand-in) run a hold and release cycle in a child process whose every system call of the
// state file and every pmset run is a numbered step. For each k the child dies by SIGKILL right
// before step k (and, for a pmset step, also while the stand-in runs). The parent replays the
// child's record of its steps through the power-cut model and checks:
// - whenever SleepDisabled may be 1, every cut of the state folder leaves a record saying held;
// - every cut leaves the whole old or the whole new record;
// - a restart on the folder (the real pure kill, and each cut) with the clock past the lease puts
//   the setting back at 0 and leaves the record not held, within one tick;
// - nothing leaks: processes, descriptors, temporary files (but the killed save's own).

#include "Campaign.h"
#include "PmsetStandin.h"
#include "PowerCutModel.h"
#include "PowerLease.h"
#include "PowerStateFile.h"
#include "StateDocument.h"
#include "SystemPMSetRunner.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace zelvo::reliability {
namespace {

namespace fs = std::filesystem;
using Names = PowerCutModel::Names;
using Data = PowerCutModel::Data;

constexpr double start = 1'700'000'000.0;
constexpr double restartAt = start + 1000.0;
constexpr const char* stateName = "power-helper-state.json";

struct Scenario {
    std::string name;
    bool directory;
    std::optional<std::string> file;
    int setting;
};

std::vector<Scenario> scenarios() {
    return {
        {"fresh", true, std::nullopt, 0},
        {"not-held", true, R"({"heldByHelper":false})", 0},
        {"held-run-out", true, StateDocument::encode({true, Instant{start - 10}}), 1},
        {"no-directory", false, std::nullopt, 0},
    };
}

std::string hex(const void* data, std::size_t size) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < size; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

std::string unhex(const std::string& text) {
    std::string bytes;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        bytes += static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16));
    }
    return bytes;
}

// --- the child: the cycle, with every step numbered and recorded ---

// Writes one line per event to the side log, in one write each, so that what the parent reads
// after a SIGKILL is exactly what happened before it.
class Recorder {
public:
    Recorder(int logFd, long killAt, bool killDuring)
        : logFd_(logFd), killAt_(killAt), killDuring_(killDuring) {}

    void event(std::string line) const {
        const int saved = errno;
        line += '\n';
        (void)!::write(logFd_, line.data(), line.size());
        errno = saved;
    }
    // Numbers the step and dies before it when it is the one; true when it is to die during it.
    bool step(const std::string& what) {
        ++step_;
        event("step\t" + std::to_string(step_) + "\t" + what);
        if (step_ == killAt_ && !killDuring_) {
            ::raise(SIGKILL);
        }
        return step_ == killAt_ && killDuring_;
    }

    std::map<int, std::string> paths;

private:
    int logFd_;
    long killAt_;
    bool killDuring_;
    long step_ = 0;
};

ino_t inodeOf(int fd) {
    struct stat status {};
    return ::fstat(fd, &status) == 0 ? status.st_ino : 0;
}

FileSystemCalls instrumented(Recorder& r, const std::string& mutant) {
    const FileSystemCalls real;
    FileSystemCalls c;
    c.mkdir = [&r, real](const char* path, mode_t mode) {
        r.step("mkdir");
        const int result = real.mkdir(path, mode);
        struct stat status {};
        if (result == 0 && ::lstat(path, &status) == 0) {
            r.event(std::string("create\t") + path + "\t" + std::to_string(status.st_ino) + "\t1");
        }
        return result;
    };
    c.getrandom = [&r, real](void* buffer, std::size_t length, unsigned flags) {
        r.step("getrandom");
        return real.getrandom(buffer, length, flags);
    };
    c.open = [&r, real](const char* path, int flags, mode_t mode) {
        r.step("open directory");
        const int fd = real.open(path, flags, mode);
        if (fd >= 0) {
            r.paths[fd] = path;
        }
        return fd;
    };
    c.openat = [&r, real](int directoryFd, const char* name, int flags, mode_t mode) {
        r.step((flags & O_CREAT) ? "create" : "open");
        const int fd = real.openat(directoryFd, name, flags, mode);
        if (fd >= 0) {
            const std::string path = r.paths[directoryFd] + "/" + name;
            r.paths[fd] = path;
            if (flags & O_CREAT) {
                r.event("create\t" + path + "\t" + std::to_string(inodeOf(fd)) + "\t0");
            }
        }
        return fd;
    };
    c.fstat = [&r, real](int fd, struct stat* status) {
        r.step("fstat");
        return real.fstat(fd, status);
    };
    c.fchmod = [&r, real](int fd, mode_t mode) {
        r.step("fchmod");
        return real.fchmod(fd, mode);
    };
    c.read = [&r, real](int fd, void* buffer, std::size_t length) {
        r.step("read");
        return real.read(fd, buffer, length);
    };
    c.write = [&r, real](int fd, const void* buffer, std::size_t length) {
        r.step("write");
        const ssize_t n = real.write(fd, buffer, length);
        if (n > 0) {
            r.event("write\t" + std::to_string(inodeOf(fd)) + "\t" +
                    hex(buffer, static_cast<std::size_t>(n)));
        }
        return n;
    };
    c.fsync = [&r, real, mutant](int fd) {
        struct stat status {};
        const bool directory = ::fstat(fd, &status) == 0 && S_ISDIR(status.st_mode);
        r.step(directory ? "fsync directory" : "fsync");
        if ((mutant == "lying-fsync" && !directory) ||
            (mutant == "no-directory-fsync" && directory)) {
            return 0;
        }
        const int result = real.fsync(fd);
        if (result == 0) {
            r.event(directory ? "dirsync\t" + r.paths[fd]
                              : "fsync\t" + std::to_string(status.st_ino));
        }
        return result;
    };
    c.renameat = [&r, real](int fromDirectoryFd, const char* from, int toDirectoryFd,
                            const char* to) {
        r.step("rename");
        const int result = real.renameat(fromDirectoryFd, from, toDirectoryFd, to);
        if (result == 0) {
            r.event("rename\t" + r.paths[fromDirectoryFd] + "/" + from + "\t" +
                    r.paths[toDirectoryFd] + "/" + to);
        }
        return result;
    };
    c.unlinkat = [&r, real](int directoryFd, const char* name, int flags) {
        r.step("unlink");
        const int result = real.unlinkat(directoryFd, name, flags);
        if (result == 0) {
            r.event("unlink\t" + r.paths[directoryFd] + "/" + name);
        }
        return result;
    };
    c.close = [&r, real](int fd) {
        r.step("close");
        r.paths.erase(fd);
        return real.close(fd);
    };
    return c;
}

std::size_t lineCount(const fs::path& path) {
    const std::string text = readFile(path).value_or("");
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

// The real runner, each run a step. To die during a run, the stand-in is slowed for that run and
// a watcher ends the process once the stand-in has logged its start.
class SteppedRunner final : public PMSetRunning {
public:
    SteppedRunner(Recorder& recorder, const pmsetstandin::Folder& standin)
        : recorder_(recorder), standin_(standin), inner_(standin.executable()) {}

    std::string run(const PMSetCommand& command) override {
        const std::string kind = command.isRead()          ? "read"
                                 : command.disablesSleep() ? "set1"
                                                           : "set0";
        const bool during = recorder_.step("pmset " + kind);
        recorder_.event("pmset-begin\t" + kind);
        if (during) {
            const fs::path log = standin_.path() / pmsetstandin::callsLog;
            const std::size_t before = lineCount(log);
            standin_.setControl("all sleep 150\n");
            std::thread([log, before] {
                while (lineCount(log) <= before) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
                ::raise(SIGKILL);
            }).detach();
        }
        std::string output = inner_.run(command);
        while (during) {
            ::pause();
        }
        int value = -1;
        if (command.isRead()) {
            try {
                value = PMSetParser::sleepDisabled(output);
            } catch (const std::exception&) {
            }
        }
        recorder_.event("pmset-end\t" + kind + "\t" + std::to_string(value));
        return output;
    }

private:
    Recorder& recorder_;
    const pmsetstandin::Folder& standin_;
    SystemPMSetRunner inner_;
};

[[noreturn]] void runChild(const fs::path& logPath, const fs::path& statePath,
                           const pmsetstandin::Folder& standin, long killAt, bool during,
                           const std::string& mutant) {
    const int logFd = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (logFd < 0) {
        ::_exit(3);
    }
    Recorder recorder(logFd, killAt, during);
    const int descriptorsBefore = openDescriptorCount();
    try {
        const FileSystemCalls calls = instrumented(recorder, mutant);
        std::unique_ptr<PowerLeaseManager> manager;
        const auto op = [&](const std::string& name, const std::function<void()>& body) {
            recorder.event("op\t" + name);
            try {
                body();
            } catch (const std::exception& error) {
                recorder.event("op-failed\t" + name + "\t" + error.what());
            }
        };
        op("construct", [&] {
            manager = std::make_unique<PowerLeaseManager>(
                std::make_unique<SteppedRunner>(recorder, standin),
                std::make_unique<PowerStateFile>(statePath.string(), calls), Instant{start});
        });
        if (manager) {
            op("hold", [&] { manager->hold(30, Instant{start + 1}); });
            op("renew", [&] { manager->hold(30, Instant{start + 11}); });
            op("release", [&] { manager->release(Instant{start + 21}); });
            op("hold", [&] { manager->hold(5, Instant{start + 31}); });
            op("hold after the lease ran out", [&] { manager->hold(10, Instant{start + 40}); });
            op("tick", [&] { manager->expireIfNeeded(Instant{start + 60}); });
            op("hold", [&] { manager->hold(5, Instant{start + 61}); });
            op("status", [&] { (void)manager->status(Instant{start + 70}); });
        }
        manager.reset();
    } catch (const std::exception& error) {
        recorder.event(std::string("child-failed\t") + error.what());
    }
    recorder.event("descriptors\t" + std::to_string(descriptorsBefore) + "\t" +
                   std::to_string(openDescriptorCount()));
    recorder.event("done");
    ::_exit(0);
}

// --- the parent: replay, cut, restart, check ---

std::vector<std::string> fields(const std::string& line) {
    std::vector<std::string> out;
    std::istringstream split(line);
    for (std::string field; std::getline(split, field, '\t');) {
        out.push_back(field);
    }
    return out;
}

bool saysHeld(const std::optional<std::string>& document) {
    if (!document) {
        return false;
    }
    try {
        const PowerHelperState state = StateDocument::decode(*document);
        state.validate();
        return state.heldByHelper;
    } catch (const std::exception&) {
        return false;
    }
}

std::string shown(const std::optional<std::string>& document) {
    return document ? "\"" + *document + "\"" : "absent";
}

struct Cut {
    Names names;
    Data data;
    const char* label;
};
constexpr Cut cuts[] = {
    {Names::durable, Data::synced, "names and data as synced"},
    {Names::asLeft, Data::synced, "names as left, data as synced"},
    {Names::durable, Data::asLeft, "names as synced, data as left"},
};

class Campaign {
public:
    Campaign(Figures& figures, const Options& options) : figures_(figures), options_(options) {}

    // The number of steps of a whole cycle, and which of them are pmset runs.
    std::vector<std::string> countSteps(const Scenario& scenario) {
        return runCase(scenario, LONG_MAX, false);
    }

    // Runs one case; returns the step descriptions the child recorded.
    std::vector<std::string> runCase(const Scenario& scenario, long killAt, bool during) {
        ++figures_.cases;
        const std::string label =
            scenario.name + " step " +
            (killAt == LONG_MAX ? std::string("none") : std::to_string(killAt)) +
            (during ? " (during)" : "");
        TemporaryFolder work;
        const fs::path root = work.path() / "root";
        fs::create_directory(root);
        fs::permissions(root, fs::perms(0755));
        const fs::path stateDirectory = root / "state";
        const fs::path statePath = stateDirectory / stateName;
        if (scenario.directory) {
            fs::create_directory(stateDirectory);
            fs::permissions(stateDirectory, fs::perms(0700));
            if (scenario.file) {
                writeFile(statePath, *scenario.file);
            }
        }
        pmsetstandin::Folder standin;
        standin.setSleepDisabled(scenario.setting);
        PowerCutModel model(root);
        const fs::path logPath = work.path() / "steps.log";

        const pid_t child = ::fork();
        if (child < 0) {
            throw std::system_error(errno, std::system_category(), "fork");
        }
        if (child == 0) {
            runChild(logPath, statePath, standin, killAt, during, options_.mutant);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        const bool killed = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
        if (killAt != LONG_MAX && !killed) {
            figures_.violation(label + ": the child was not killed at its step");
        }
        figures_.leakedProcesses += awaitEnd(standinPids(standin.path()));
        standin.clearControl();
        const int settingAtCut = standin.sleepDisabled();

        // Replay.
        std::vector<std::string> steps;
        std::set<std::string> documents;
        if (scenario.file) {
            documents.insert(*scenario.file);
        }
        std::string currentTemporary;
        bool mayBeRaised = scenario.setting == 1;
        bool raiseRunning = false;
        bool unguarded = false;
        bool done = false;
        std::istringstream log(readFile(logPath).value_or(""));
        for (std::string line; std::getline(log, line);) {
            const auto f = fields(line);
            const std::string& kind = f.at(0);
            if (kind == "step") {
                steps.push_back(f.at(2));
            } else if (kind == "create") {
                model.created(f.at(1), std::stoul(f.at(2)), f.at(3) == "1");
                if (fs::path(f.at(1)).filename().string().rfind(".power-state-", 0) == 0) {
                    currentTemporary = f.at(1);
                }
            } else if (kind == "write") {
                model.wrote(std::stoul(f.at(1)), f.size() > 2 ? unhex(f.at(2)) : "");
            } else if (kind == "fsync") {
                model.synced(std::stoul(f.at(1)));
                if (!currentTemporary.empty()) {
                    documents.insert(
                        model.fileAfterCut(currentTemporary, Names::asLeft, Data::synced)
                            .value_or(""));
                }
            } else if (kind == "dirsync") {
                model.directorySynced(f.at(1));
            } else if (kind == "rename") {
                model.renamed(f.at(1), f.at(2));
                if (f.at(1) == currentTemporary) {
                    currentTemporary.clear();
                }
            } else if (kind == "unlink") {
                model.unlinked(f.at(1));
                if (f.at(1) == currentTemporary) {
                    currentTemporary.clear();
                }
            } else if (kind == "pmset-begin" && f.at(1) == "set1") {
                mayBeRaised = true;
                raiseRunning = true;
            } else if (kind == "pmset-end" && f.at(1) == "set1") {
                raiseRunning = false;
            } else if (kind == "pmset-end" && f.at(1) == "read" && f.at(2) == "0" &&
                       !raiseRunning) {
                mayBeRaised = false;
            } else if (kind == "op-failed" || kind == "child-failed") {
                figures_.violation(label + ": " + f.at(1) +
                                   " failed without any fault: " + (f.size() > 2 ? f.at(2) : ""));
            } else if (kind == "descriptors") {
                const long grown = std::stol(f.at(2)) - std::stol(f.at(1));
                figures_.leakedDescriptors += std::max(0L, grown);
            } else if (kind == "done") {
                done = true;
            }
            if (mayBeRaised && !unguarded) {
                for (const Cut& cut : cuts) {
                    const auto record = model.fileAfterCut(statePath, cut.names, cut.data);
                    if (!saysHeld(record)) {
                        figures_.violation(label + ": SleepDisabled may be 1 after step " +
                                           std::to_string(steps.size()) + " (" +
                                           (steps.empty() ? "" : steps.back()) +
                                           ") while a power cut (" + cut.label +
                                           ") leaves the record " + shown(record));
                        unguarded = true;
                        break;
                    }
                }
            }
        }
        if (killAt == LONG_MAX && !done) {
            figures_.violation(label + ": the cycle did not finish");
        }
        if (model.leftTree() != realTree(root)) {
            figures_.violation(label + ": the power-cut model does not match the folder as left");
        }
        long leftovers = 0;
        for (const auto& name : temporaryFiles(stateDirectory)) {
            if ((stateDirectory / name).string() == currentTemporary) {
                figures_.note("temporary files of killed saves", 1);
            } else {
                ++leftovers;
            }
        }
        if (leftovers > 0) {
            figures_.violation(label + ": temporary files left by finished saves");
            figures_.leftoverTemporaryFiles += leftovers;
        }

        // Each cut, then the real folder as the kill left it.
        int index = 0;
        for (const Cut& cut : cuts) {
            const fs::path cutRoot = work.path() / ("cut-" + std::to_string(index++));
            fs::create_directory(cutRoot);
            model.materialise(cutRoot, cut.names, cut.data);
            checkRecordWhole(label + ", " + cut.label, cutRoot / "state" / stateName, documents,
                             scenario);
            restartAndCheck(label + ", " + cut.label, cutRoot / "state" / stateName, standin,
                            settingAtCut);
        }
        checkRecordWhole(label + ", as killed", statePath, documents, scenario);
        restartAndCheck(label + ", as killed", statePath, standin, settingAtCut);
        return steps;
    }

private:
    void checkRecordWhole(const std::string& label, const fs::path& statePath,
                          const std::set<std::string>& documents, const Scenario& scenario) {
        const auto record = readFile(statePath);
        if (record ? !documents.count(*record) : scenario.file.has_value()) {
            figures_.violation(
                label +
                ": the record is neither the whole old nor a whole new one: " + shown(record));
        }
    }

    void restartAndCheck(const std::string& label, const fs::path& statePath,
                         const pmsetstandin::Folder& standin, int settingAtCut) {
        standin.setSleepDisabled(settingAtCut);
        const auto temporariesBefore = temporaryFiles(statePath.parent_path());
        const int descriptorsBefore = openDescriptorCount();
        try {
            PowerLeaseManager manager(std::make_unique<SystemPMSetRunner>(standin.executable()),
                                      std::make_unique<PowerStateFile>(statePath.string()),
                                      Instant{restartAt});
            manager.expireIfNeeded(Instant{restartAt + 1});
        } catch (const std::exception& error) {
            figures_.violation(label + ": the restart failed: " + error.what());
        }
        if (standin.sleepDisabled() != 0) {
            figures_.violation(label +
                               ": SleepDisabled is 1 after the restart and the lease's end");
        }
        try {
            const auto record = PowerStateFile(statePath.string()).load();
            if (record && record->heldByHelper) {
                figures_.violation(label + ": the record says held after the lease's end");
            }
        } catch (const std::exception& error) {
            figures_.violation(label +
                               ": the record cannot be loaded after the restart: " + error.what());
        }
        figures_.leakedDescriptors += std::max(0, openDescriptorCount() - descriptorsBefore);
        const long temporaries = static_cast<long>(temporaryFiles(statePath.parent_path()).size()) -
                                 static_cast<long>(temporariesBefore.size());
        if (temporaries > 0) {
            figures_.violation(label + ": the restart left temporary files");
            figures_.leftoverTemporaryFiles += temporaries;
        }
    }

    Figures& figures_;
    const Options& options_;
};

} // namespace
} // namespace zelvo::reliability

int main(int argc, char** argv) {
    using namespace zelvo::reliability;
    const Options options = parseOptions(argc, argv);
    const auto began = std::chrono::steady_clock::now();
    becomeSubreaper();
    Figures figures(options.mutant.empty() ? "kill-steps" : "kill-steps/" + options.mutant);
    Campaign campaign(figures, options);
    const int descriptorsAtStart = openDescriptorCount();
    long steps = 0;
    for (const Scenario& scenario : scenarios()) {
        if (!options.mutant.empty() && scenario.name != "fresh") {
            continue;
        }
        const long violationsBefore = figures.violations();
        const auto kinds = campaign.countSteps(scenario);
        steps += static_cast<long>(kinds.size());
        for (long k = 1; k <= static_cast<long>(kinds.size()); ++k) {
            campaign.runCase(scenario, k, false);
            const bool pmsetStep = kinds[static_cast<std::size_t>(k - 1)].rfind("pmset", 0) == 0;
            // The short form dies during every raise; the long form during every run.
            if (pmsetStep &&
                (options.longForm || kinds[static_cast<std::size_t>(k - 1)] == "pmset set1")) {
                campaign.runCase(scenario, k, true);
            }
        }
        figures.note("violations in '" + scenario.name + "'",
                     figures.violations() - violationsBefore);
    }
    figures.note("steps per cycle, all scenarios", steps);
    figures.leakedDescriptors += std::max(0, openDescriptorCount() - descriptorsAtStart);
    return figures.finish(std::chrono::steady_clock::now() - began);
}
