#include "Daemon.h"

#include "InstanceLock.h"
#include "Listener.h"
#include "Log.h"
#include "PowerHelperConstants.h"
#include "PowerHelperError.h"
#include "PowerHelperService.h"
#include "PowerStateFile.h"
#include "Process.h"
#include "SystemPMSetRunner.h"

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <unistd.h>

namespace zelvo {

namespace {

void reportStartupFailure(const std::exception& error) {
    writeStandardErrorLine("ZelvoPowerHelper startup failed: " + descriptionOf(error));
}

std::filesystem::path stateDirectoryOf(const std::string& statePath) {
    const std::filesystem::path path(statePath);
    return path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
}

} // namespace

void runDaemon(const DaemonPaths& paths) {
    if (::geteuid() != 0) {
        writeStandardErrorLine("ZelvoPowerHelper must be launched by its approved daemon service.");
        dispatch::exitProcess(1);
    }
    // Every resource start-up takes is taken inside one of the two blocks below: whichever cannot
    // be had (a descriptor, a thread, the lock, the bus) ends the process with one line and status
    // 1. All of them are kept for the life of the process: this function never returns.
    std::unique_ptr<InstanceLock> lock;
    std::shared_ptr<PowerLeaseManager> lease;
    try {
        // Before any thread exists, so every thread inherits the mask and the termination signals
        // are only ever taken by the monitoring's sources on the queue: one that arrives during
        // start-up waits for them instead of ending the process halfway. SIGCHLD is blocked too,
        // since the runner waits on its children through pidfds and the parked main thread need
        // not wake for each pmset run. Children start with an empty mask.
        for (const int signalNumber : PowerHelperService::terminationSignals) {
            dispatch::blockSignals({signalNumber});
        }
        dispatch::blockSignals({SIGCHLD});
        // The runner reaps each pmset child itself. A SIGCHLD that the launching parent left
        // ignored would have the kernel reap them first, and every run would then fail in waitpid.
        dispatch::defaultSignal(SIGCHLD);
        // A write to a closed pipe or socket is an error to report, not a reason to end with the
        // setting raised. Children get the default back.
        if (std::signal(SIGPIPE, SIG_IGN) == SIG_ERR) {
            throw std::system_error(errno, std::generic_category(), "signal");
        }
        // Before the state file is read: a second instance must not even look at it.
        lock = std::make_unique<InstanceLock>(stateDirectoryOf(paths.statePath));
        lease = std::make_shared<PowerLeaseManager>(
            std::make_unique<SystemPMSetRunner>(paths.pmset),
            std::make_unique<PowerStateFile>(paths.statePath), Instant::now());
    } catch (const std::exception& error) {
        reportStartupFailure(error);
        dispatch::exitProcess(1);
    }
    if (const auto& recoveryError = lease->recoveryError()) {
        writeStandardErrorLine("ZelvoPowerHelper startup restore failed; retrying: " +
                               *recoveryError);
    }

    std::shared_ptr<PowerHelperService> service;
    std::unique_ptr<transport::Listener> listener;
    try {
        service = std::make_shared<PowerHelperService>(lease);
        listener = std::make_unique<transport::Listener>(
            std::string(PowerHelperConstants::machServiceName));
        listener->setConnectionCodeSigningRequirement(
            std::string(PowerHelperConstants::clientRequirement));
        listener->setDelegate(service);
        service->startMonitoring();
        // A bus that cannot be reached, or a name that another connection owns, ends the start:
        // nobody could renew a hold through this process. Losing the bus later does not.
        listener->resume();
    } catch (const std::exception& error) {
        reportStartupFailure(error);
        // The manager may already hold the setting (a live hold adopted from an earlier run), and
        // no client can renew it now: put it back first. Once the queue exists, only work on it
        // may use the manager, since its tick may already run.
        listener.reset();
        if (service) {
            service->queue().async([lease] { PowerHelperService::endProcess(*lease, 1); });
            dispatch::dispatchMain();
        }
        PowerHelperService::endProcess(*lease, 1);
    }
    dispatch::dispatchMain();
}

} // namespace zelvo
