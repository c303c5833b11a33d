// I/O errors: for every system call that a save or a load makes, fail the Nth call with EIO,
// ENOSPC or EINTR, or shorten it (a read or write of at most 1 byte, or of none), once or from
// then on, while the real lease manager runs over the real state file and the pmset stand-in.
// Checked for each case:
// - the setting is never raised unless the state file on disk says held (checked at each raise);
// - a save that returned normally is on disk, and a fault that was not retried was reported
//   (the call threw, or the start-up restore's recoveryError was set), so a failed flush never
//   counts as saved;
// - the file always holds a whole record that was saved or was there before;
// - no descriptor and no temporary file is left behind (but one whose own removal was failed);
// - a clean restart past the lease puts the setting back at 0 and leaves the record not held.

#include "Campaign.h"
#include "PmsetStandin.h"
#include "PowerLease.h"
#include "PowerStateFile.h"
#include "StateDocument.h"
#include "SystemPMSetRunner.h"

#include <cerrno>
#include <cmath>
#include <functional>
#include <iostream>
#include <memory>
#include <set>
#include <sys/stat.h>

namespace zelvo::reliability {
namespace {

namespace fs = std::filesystem;

constexpr double start = 1'700'000'000.0;
constexpr double restartAt = start + 1000.0;
// A call that the state file repeats on EINTR gets this many in a row, then goes through.
constexpr long interruptionsInARow = 100;

struct FaultKind {
    const char* name;
    int error;
    std::optional<std::size_t> byteLimit;
};
const FaultKind faultKinds[] = {
    {"EIO", EIO, std::nullopt},     {"ENOSPC", ENOSPC, std::nullopt},
    {"EINTR", EINTR, std::nullopt}, {"short 1", 0, std::size_t{1}},
    {"short 0", 0, std::size_t{0}},
};

bool transfersBytes(FileSystemCall call) {
    return call == FileSystemCall::read || call == FileSystemCall::write ||
           call == FileSystemCall::getrandom;
}

// Counts the calls while armed and fails the chosen one (and, for ever, every later one).
struct Plan {
    bool armed = false;
    long calls = 0;
    long failAt = 0; // 0: never
    bool forever = false;
    const FaultKind* kind = nullptr;
    long interruptions = 0;
    // What the plan did: did it fail a call that the caller must report, or the removal itself?
    bool mustBeReported = false;
    bool removalFailed = false;
    long injected = 0;
    std::vector<FileSystemCall> sequence;

    std::optional<FileSystemFault> next(FileSystemCall call) {
        if (!armed) {
            return std::nullopt;
        }
        ++calls;
        sequence.push_back(call);
        if (failAt == 0 || calls < failAt || (calls > failAt && !forever)) {
            return std::nullopt;
        }
        if (kind->byteLimit && !transfersBytes(call)) {
            return std::nullopt;
        }
        if (kind->error == EINTR && transfersBytes(call) && ++interruptions > interruptionsInARow) {
            return std::nullopt;
        }
        ++injected;
        // A read that ends early is an end of file, which the decoding then refuses; a wrong
        // record from it would show as a restart that leaves the setting raised.
        const bool retried = (kind->error == EINTR && transfersBytes(call)) ||
                             (kind->byteLimit && *kind->byteLimit > 0) ||
                             (kind->byteLimit && call == FileSystemCall::read);
        const bool ignored = call == FileSystemCall::close || call == FileSystemCall::unlinkat;
        if (!retried && !ignored) {
            mustBeReported = true;
        }
        if (call == FileSystemCall::unlinkat) {
            removalFailed = true;
        }
        return FileSystemFault{kind->error, kind->byteLimit};
    }
};

// The real state file, with every save's outcome recorded.
class RecordingStore final : public PowerHelperStateStoring {
public:
    RecordingStore(const std::string& path, const FileSystemCalls& calls) : file_(path, calls) {}
    std::optional<PowerHelperState> load() override { return file_.load(); }
    void save(const PowerHelperState& state) override {
        documents->insert(StateDocument::encode(state));
        file_.save(state);
        *lastSaved = state;
    }
    std::shared_ptr<std::set<std::string>> documents = std::make_shared<std::set<std::string>>();
    std::shared_ptr<std::optional<PowerHelperState>> lastSaved =
        std::make_shared<std::optional<PowerHelperState>>();

private:
    PowerStateFile file_;
};

// The real runner; before each raise it reads the state file as a restart would.
class CheckingRunner final : public PMSetRunning {
public:
    CheckingRunner(std::string executable, std::string statePath,
                   std::function<void(const std::string&)> violation)
        : inner_(std::move(executable)), statePath_(std::move(statePath)),
          violation_(std::move(violation)) {}

    std::string run(const PMSetCommand& command) override {
        if (!command.isRead() && command.disablesSleep()) {
            std::string problem;
            try {
                const auto record = PowerStateFile(statePath_).load();
                if (!record || !record->heldByHelper) {
                    problem = "the state file does not say held";
                }
            } catch (const std::exception& error) {
                problem = std::string("the state file cannot be loaded: ") + error.what();
            }
            if (!problem.empty()) {
                violation_("raised SleepDisabled while " + problem);
            }
        }
        return inner_.run(command);
    }

private:
    SystemPMSetRunner inner_;
    std::string statePath_;
    std::function<void(const std::string&)> violation_;
};

struct Operation {
    const char* name;
    std::function<void(PowerLeaseManager&)> body;
};

// A cycle: the state the folder starts in, the operations run before the faults are armed, and
// those run with them.
struct Cycle {
    std::string name;
    std::optional<std::string> file;
    int setting;
    bool armConstruction;
    std::vector<Operation> before;
    std::vector<Operation> armed;
};

const Operation hold{"hold", [](PowerLeaseManager& m) { m.hold(30, Instant{start + 1}); }};
const Operation renew{"renew", [](PowerLeaseManager& m) { m.hold(30, Instant{start + 11}); }};
const Operation release{"release", [](PowerLeaseManager& m) { m.release(Instant{start + 21}); }};
const Operation shortHold{"hold", [](PowerLeaseManager& m) { m.hold(5, Instant{start + 31}); }};
const Operation tick{"tick", [](PowerLeaseManager& m) { m.expireIfNeeded(Instant{start + 40}); }};

std::vector<Cycle> cycles(bool longForm) {
    const std::string runOut = StateDocument::encode({true, Instant{start - 10}});
    std::vector<Cycle> all = {
        {"start-up restore", runOut, 1, true, {}, {}},
        {"hold", std::nullopt, 0, false, {}, {hold}},
        {"renew", std::nullopt, 0, false, {hold}, {renew}},
        {"release", std::nullopt, 0, false, {hold}, {release}},
        {"tick restore", std::nullopt, 0, false, {shortHold}, {tick}},
    };
    if (longForm) {
        all.push_back(
            {"whole cycle", runOut, 1, true, {}, {hold, renew, release, shortHold, tick}});
    }
    return all;
}

class Campaign {
public:
    Campaign(Figures& figures, std::string mutant)
        : figures_(figures), mutant_(std::move(mutant)) {}

    // The calls the armed part makes when nothing fails.
    std::vector<FileSystemCall> calls(const Cycle& cycle) {
        Plan plan;
        runCase(cycle, plan, "no fault");
        return plan.sequence;
    }

    void runCase(const Cycle& cycle, Plan& plan, const std::string& label) {
        ++figures_.cases;
        TemporaryFolder work;
        const fs::path directory = work.path() / "state";
        fs::create_directory(directory);
        fs::permissions(directory, fs::perms(0700));
        const std::string statePath = (directory / "power-helper-state.json").string();
        std::set<std::string> documents;
        if (cycle.file) {
            writeFile(statePath, *cycle.file);
            documents.insert(*cycle.file);
        }
        pmsetstandin::Folder standin;
        standin.setSleepDisabled(cycle.setting);
        const auto violation = [&](const std::string& what) {
            figures_.violation(cycle.name + ", " + label + ": " + what);
        };

        const int descriptorsBefore = openDescriptorCount();
        auto planShared = std::shared_ptr<Plan>(&plan, [](Plan*) {});
        FileSystemCalls calls = withFaults(FileSystemCalls(), [planShared](FileSystemCall call) {
            return planShared->next(call);
        });
        if (mutant_ == "swallow-fsync-errors") {
            calls.fsync = [faulted = calls.fsync](int fd) {
                (void)faulted(fd);
                return 0;
            };
        }
        auto store = std::make_unique<RecordingStore>(statePath, calls);
        const auto saved = store->documents;
        const auto lastSaved = store->lastSaved;

        plan.armed = cycle.armConstruction;
        std::unique_ptr<PowerLeaseManager> manager;
        try {
            manager = std::make_unique<PowerLeaseManager>(
                std::make_unique<CheckingRunner>(standin.executable(), statePath, violation),
                std::move(store), Instant{start});
        } catch (const std::exception&) {
            // A start-up that cannot load is refused; the clean restart below must then recover.
        }
        if (manager && cycle.armConstruction) {
            const bool reported = manager->recoveryError().has_value();
            checkAfter(violation, plan, reported, *manager, statePath, documents, *saved,
                       *lastSaved);
        } else if (!manager && !cycle.armConstruction) {
            violation("the manager could not be made without any fault");
        }
        for (const auto& op : cycle.before) {
            if (manager) {
                op.body(*manager);
            }
        }
        plan.armed = true;
        for (const auto& op : cycle.armed) {
            if (!manager) {
                break;
            }
            lastSaved->reset();
            const bool mustBeReportedBefore = plan.mustBeReported;
            plan.mustBeReported = false;
            bool threw = false;
            try {
                op.body(*manager);
            } catch (const std::exception&) {
                threw = true;
            }
            checkAfter(violation, plan, threw, *manager, statePath, documents, *saved, *lastSaved);
            plan.mustBeReported = plan.mustBeReported || mustBeReportedBefore;
        }
        plan.armed = false;
        manager.reset();

        figures_.leakedDescriptors += std::max(0, openDescriptorCount() - descriptorsBefore);
        const long temporaries = static_cast<long>(temporaryFiles(directory).size());
        if (temporaries > 0 && !plan.removalFailed) {
            violation("temporary files left behind");
            figures_.leftoverTemporaryFiles += temporaries;
        } else if (temporaries > 0) {
            figures_.note("temporary files whose removal was failed", temporaries);
        }
        figures_.leakedProcesses += awaitEnd(standinPids(standin.path()));

        // A clean restart with the clock past every lease.
        try {
            PowerLeaseManager restarted(std::make_unique<SystemPMSetRunner>(standin.executable()),
                                        std::make_unique<PowerStateFile>(statePath),
                                        Instant{restartAt});
            restarted.expireIfNeeded(Instant{restartAt + 1});
        } catch (const std::exception& error) {
            violation(std::string("the clean restart failed: ") + error.what());
        }
        if (standin.sleepDisabled() != 0) {
            violation("SleepDisabled is 1 after the restart and the lease's end");
        }
        try {
            const auto record = PowerStateFile(statePath).load();
            if (record && record->heldByHelper) {
                violation("the record says held after the restart and the lease's end");
            }
        } catch (const std::exception& error) {
            violation(std::string("the record cannot be loaded after the restart: ") +
                      error.what());
        }
    }

private:
    void checkAfter(const std::function<void(const std::string&)>& violation, const Plan& plan,
                    bool reported, const PowerLeaseManager& manager, const std::string& statePath,
                    std::set<std::string>& documents, const std::set<std::string>& saved,
                    const std::optional<PowerHelperState>& lastSaved) {
        documents.insert(saved.begin(), saved.end());
        if (plan.mustBeReported && !reported) {
            violation("a failed call went unreported");
        }
        const auto content = readFile(statePath);
        if (content && !documents.count(*content)) {
            violation("the state file holds a record never saved: \"" + *content + "\"");
        }
        if (lastSaved) {
            try {
                const auto record = PowerStateFile(statePath).load();
                const bool same =
                    record && record->heldByHelper == lastSaved->heldByHelper &&
                    record->leaseUntil.has_value() == lastSaved->leaseUntil.has_value() &&
                    (!record->leaseUntil ||
                     std::abs(record->leaseUntil->seconds - lastSaved->leaseUntil->seconds) < 1.0);
                if (!same) {
                    violation("a save that returned normally is not on disk");
                }
            } catch (const std::exception& error) {
                violation(std::string("a save that returned normally cannot be loaded: ") +
                          error.what());
            }
        }
        (void)manager;
    }

    Figures& figures_;
    std::string mutant_;
};

} // namespace
} // namespace zelvo::reliability

int main(int argc, char** argv) {
    using namespace zelvo::reliability;
    const Options options = parseOptions(argc, argv);
    const auto began = std::chrono::steady_clock::now();
    Figures figures(options.mutant.empty() ? "io-faults" : "io-faults/" + options.mutant);
    Campaign campaign(figures, options.mutant);
    const int descriptorsAtStart = openDescriptorCount();
    for (const Cycle& cycle : cycles(options.longForm)) {
        const auto sequence = campaign.calls(cycle);
        const long total = static_cast<long>(sequence.size());
        figures.note("calls of '" + cycle.name + "'", total);
        for (long n = 1; n <= total; ++n) {
            for (const FaultKind& kind : faultKinds) {
                if (kind.byteLimit && !transfersBytes(sequence[static_cast<std::size_t>(n - 1)])) {
                    continue;
                }
                for (const bool forever : {false, true}) {
                    Plan plan;
                    plan.failAt = n;
                    plan.forever = forever;
                    plan.kind = &kind;
                    campaign.runCase(cycle, plan,
                                     "call " + std::to_string(n) + " " + kind.name +
                                         (forever ? " for ever" : " once"));
                }
            }
        }
    }
    figures.leakedDescriptors += std::max(0, openDescriptorCount() - descriptorsAtStart);
    return figures.finish(std::chrono::steady_clock::now() - began);
}
