// Hostile pmset: one running testbed daemon whose pmset (the stand-in, behind a shim) is switched,
// request by request, to a misbehaviour: it hangs, ignores SIGTERM, floods its output, closes its
// output early and runs on, dies by a signal, leaves a grandchild holding (or flooding) the pipe,
// or writes bytes that are not UTF-8. The misbehaviour hits the read of a status request or the
// raise of a hold. Checked for each:
// - the reply comes within the runner's deadline for each of the request's pmset runs (plus a
//   margin), and says what happened (the failure's description, valid UTF-8);
// - the pmset child saw only descriptors 0 to 2;
// - every pmset run and grandchild ends, no child (zombie or not) of the daemon remains, and the
//   daemon's descriptors come back to what they were;
// - a hold that failed half-way is still put back once its lease ends, and a normal request is
//   then served correctly;
// and, at the end, SIGTERM puts the setting back and ends the daemon with 0, its memory bounded.

#include "Campaign.h"
#include "HarnessDaemon.h"
#include "PowerHelperClient.h"
#include "SystemPMSetRunner.h"
#include "Unicode.h"

#include <iostream>
#include <set>
#include <sstream>

namespace zelvo::reliability {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::int64_t holdSeconds = 2;
constexpr long memoryGrowthBoundKiB = 32 * 1024;

struct Hostile {
    std::string name;
    std::string control; // the stand-in's directives
    std::string shim;    // the shim's directive, if any
    bool hold;           // a hold (reaching the raise) rather than a status (the read)
    std::string expect;  // a part of the failure's description; empty when the request succeeds
    bool inShortForm;
};

const std::vector<Hostile> hostiles = {
    {"read hangs", "get hang", "", false, "timed out", true},
    {"read ignores SIGTERM", "get ignore-term", "", false, "timed out", true},
    {"read floods its output", "get flood 8388608", "", false, "timed out", true},
    {"read closes its output early", "get sleep 1500", "close-output get", false,
     "did not report a valid SleepDisabled value", true},
    {"read dies by SIGKILL", "get signal 9", "", false, "exit 9", true},
    {"read leaves a grandchild holding the pipe", "get grandchild", "", false, "timed out", true},
    {"read leaves a grandchild flooding the pipe", "get grandchild-flood", "", false, "timed out",
     true},
    {"read writes invalid UTF-8 in its report", "get invalid-utf8", "", false, "", true},
    {"read fails with invalid UTF-8", "get exit 3 bad \\xFF\\xFE bytes", "", false,
     "exit 3: bad \xEF\xBF\xBD\xEF\xBF\xBD bytes", true},
    {"raise hangs", "set hang", "", true, "timed out", true},
    {"raise leaves a grandchild holding the pipe", "set grandchild", "", true, "timed out", true},
    {"raise ignores SIGTERM", "set ignore-term", "", true, "timed out", false},
    {"raise floods its output", "set flood 8388608", "", true, "timed out", false},
    {"raise closes its output early", "set sleep 1500", "close-output set", true, "", false},
    {"raise dies by SIGKILL", "set signal 9", "", true, "exit 9", false},
    {"raise fails with invalid UTF-8", "set exit 1 \\xC3\\x28", "", true, "exit 1: \xEF\xBF\xBD(",
     false},
};

class Campaign {
public:
    explicit Campaign(Figures& figures) : figures_(figures) {
        daemon_.startBus();
        // The shim takes pmset's place and hands over to the stand-in.
        const fs::path pmset = daemon_.pmset.path() / "pmset";
        fs::remove(pmset);
        fs::create_symlink(ZELVO_SHIM_PATH, pmset);
        if (!daemon_.startAndAwaitName()) {
            throw std::runtime_error("the daemon did not come up: " + daemon_.daemonErrors());
        }
        // Every kind of request once, so that what the daemon keeps for good is open.
        PowerHelperClient client(60s);
        client.hold(holdSeconds);
        client.release();
        (void)client.status();
        descriptors_ = quietDescriptorCount(daemon_.daemon);
        memory_ = residentKiB(daemon_.daemon);
    }

    void run(const Hostile& hostile) {
        ++figures_.cases;
        const auto& name = hostile.name;
        const std::size_t callsBefore = daemon_.pmset.calls().size();
        for (const char* file : {pmsetstandin::fdsFile, pmsetstandin::grandchildPidFile}) {
            fs::remove(daemon_.pmset.path() / file);
        }
        writeFile(daemon_.pmset.path() / "shim", hostile.shim);
        daemon_.pmset.setControl("all record-fds\n" + hostile.control + "\n");

        const auto began = Clock::now();
        std::optional<std::string> failure;
        try {
            PowerHelperClient client(120s);
            if (hostile.hold) {
                client.hold(holdSeconds);
            } else {
                const HelperStatus status = client.status();
                failure = status.errorMessage();
                if (failure.has_value() != (status.systemSleepDisabled() == -1)) {
                    fail(name, "status reports setting " +
                                   std::to_string(status.systemSleepDisabled()) + " with error " +
                                   failure.value_or("none"));
                }
            }
        } catch (const HelperRequestFailed& error) {
            failure = error.what();
        } catch (const std::exception& error) {
            fail(name, std::string("no answer: ") + error.what());
        }
        const auto elapsed = Clock::now() - began;
        const std::size_t runs = hostile.hold ? 3 : 1;
        const auto bound = std::chrono::duration<double>(
            static_cast<double>(runs) * SystemPMSetRunner::timeLimitSeconds + 5.0);
        if (elapsed > bound) {
            fail(name, "the reply took " +
                           std::to_string(std::chrono::duration<double>(elapsed).count()) + " s");
        }
        longest_ = std::max(longest_, elapsed);

        if (hostile.expect.empty() && failure) {
            fail(name, "failed: " + *failure);
        } else if (!hostile.expect.empty() &&
                   (!failure || failure->find(hostile.expect) == std::string::npos)) {
            fail(name, "expected a failure with \"" + hostile.expect + "\", got " +
                           failure.value_or("success"));
        }
        if (failure && decodeUtf8Lossy(*failure) != *failure) {
            fail(name, "the description is not valid UTF-8");
        }
        checkChildDescriptors(name);

        std::vector<pid_t> pids = daemon_.pmsetPids();
        pids.erase(pids.begin(), pids.begin() + static_cast<std::ptrdiff_t>(callsBefore));
        if (const long grandchild =
                std::atol(daemon_.pmset.file(pmsetstandin::grandchildPidFile).c_str());
            grandchild > 0) {
            pids.push_back(static_cast<pid_t>(grandchild));
        }
        daemon_.pmset.clearControl();
        fs::remove(daemon_.pmset.path() / "shim");

        // A hold that failed after its record was saved still ends: the ticks put it back.
        if (!eventually(
                [&] { return daemon_.pmset.sleepDisabled() == 0 && daemon_.recordNotHeld(); },
                20s)) {
            fail(name, "not put back: SleepDisabled " +
                           std::to_string(daemon_.pmset.sleepDisabled()) + ", record " +
                           daemon_.stateBytes());
        }
        checkNothingLeft(name, pids);
        checkServes(name);
    }

    void finish() {
        const long memory = residentKiB(daemon_.daemon);
        figures_.note("daemon memory growth KiB", memory - memory_);
        if (memory < 0 || memory - memory_ > memoryGrowthBoundKiB) {
            fail("end", "the daemon's memory grew from " + std::to_string(memory_) + " to " +
                            std::to_string(memory) + " KiB");
        }
        const auto status = daemon_.terminate();
        if (status != 0) {
            fail("end", "SIGTERM ended the daemon with " +
                            (status ? std::to_string(*status) : std::string("nothing")));
        }
        if (daemon_.pmset.sleepDisabled() != 0 || !daemon_.recordNotHeld()) {
            fail("end", "after SIGTERM, SleepDisabled " +
                            std::to_string(daemon_.pmset.sleepDisabled()) + ", record " +
                            daemon_.stateBytes());
        }
        figures_.leakedProcesses += awaitEnd(daemon_.pmsetPids());
        figures_.leftoverTemporaryFiles +=
            static_cast<long>(temporaryFiles(daemon_.stateDirectory).size());
        figures_.note("pmset runs", static_cast<long>(daemon_.pmsetPids().size()));
        figures_.note("longest reply ms",
                      std::chrono::duration_cast<std::chrono::milliseconds>(longest_).count());
    }

private:
    // The last run recorded its descriptors: only 0 to 2 may be open.
    void checkChildDescriptors(const std::string& name) {
        const std::string recorded = daemon_.pmset.file(pmsetstandin::fdsFile);
        if (recorded.empty()) {
            fail(name, "no run recorded its descriptors");
            return;
        }
        std::istringstream lines(recorded);
        for (std::string line; std::getline(lines, line);) {
            const int fd = std::atoi(line.c_str());
            if (fd > 2) {
                ++figures_.leakedDescriptors;
                fail(name, "the pmset child had descriptor " + line);
            }
        }
    }

    void checkNothingLeft(const std::string& name, const std::vector<pid_t>& pids) {
        if (const long running = awaitEnd(pids); running > 0) {
            figures_.leakedProcesses += running;
            fail(name, std::to_string(running) + " pmset runs or grandchildren outlived it");
        }
        if (!eventually([&] { return childrenOf(daemon_.daemon).empty(); }, 15s)) {
            const auto left = childrenOf(daemon_.daemon);
            figures_.leakedProcesses += static_cast<long>(left.size());
            fail(name, std::to_string(left.size()) + " children (or zombies) of the daemon remain");
        }
        const int descriptors = quietDescriptorCount(daemon_.daemon);
        if (descriptors > descriptors_) {
            figures_.leakedDescriptors += descriptors - descriptors_;
            fail(name, "the daemon's descriptors grew from " + std::to_string(descriptors_) +
                           " to " + std::to_string(descriptors));
        }
    }

    void checkServes(const std::string& name) {
        try {
            const HelperStatus status = PowerHelperClient(60s).status();
            if (status.errorMessage() || status.heldByHelper() ||
                status.systemSleepDisabled() != daemon_.pmset.sleepDisabled()) {
                fail(name, "the next status is wrong: setting " +
                               std::to_string(status.systemSleepDisabled()) + ", error " +
                               status.errorMessage().value_or("none"));
            }
        } catch (const std::exception& error) {
            fail(name, std::string("the next status failed: ") + error.what());
        }
        if (!daemon_.daemonRunning()) {
            fail(name, "the daemon ended");
        }
    }

    void fail(const std::string& name, const std::string& what) {
        figures_.violation(name + ": " + what);
    }

    Figures& figures_;
    HarnessDaemon daemon_;
    int descriptors_ = 0;
    long memory_ = 0;
    Clock::duration longest_{};
};

} // namespace
} // namespace zelvo::reliability

int main(int argc, char** argv) {
    using namespace zelvo::reliability;
    const Options options = parseOptions(argc, argv);
    const auto began = std::chrono::steady_clock::now();
    becomeSubreaper();
    Figures figures("hostile-pmset");
    try {
        Campaign campaign(figures);
        for (int round = 0; round < (options.longForm ? 2 : 1); ++round) {
            for (const auto& hostile : hostiles) {
                if (options.longForm || hostile.inShortForm) {
                    campaign.run(hostile);
                }
            }
        }
        campaign.finish();
    } catch (const std::exception& error) {
        figures.violation(error.what());
    }
    return figures.finish(std::chrono::steady_clock::now() - began);
}
