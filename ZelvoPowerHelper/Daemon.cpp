#include "Daemon.h"

#include "Listener.h"
#include "Log.h"
#include "PowerHelperConstants.h"
#include "PowerHelperError.h"
#include "PowerHelperService.h"
#include "PowerStateFile.h"
#include "Process.h"
#include "SystemPMSetRunner.h"

#include <csignal>
#include <unistd.h>

namespace zelvo {

void runDaemon(const DaemonPaths& paths) {
    if (::geteuid() != 0) {
        writeStandardErrorLine("ZelvoPowerHelper must be launched by its approved daemon service.");
        dispatch::exitProcess(1);
    }
    // Before any thread exists, so every thread inherits the mask and the termination signals are
    // only ever taken by the monitoring's sources on the queue: one that arrives during start-up
    // waits for them instead of ending the process halfway. SIGCHLD is blocked too, since the
    // runner waits on its children through pidfds and the parked main thread need not wake for
    // each pmset run. Children start with an empty mask.
    dispatch::blockSignals({SIGTERM, SIGINT, SIGCHLD});
    // The runner reaps each pmset child itself. A SIGCHLD that the launching parent left ignored
    // would have the kernel reap them first, and every run would then fail in waitpid.
    dispatch::defaultSignal(SIGCHLD);

    auto runner = std::make_unique<SystemPMSetRunner>(paths.pmset);
    auto store = std::make_unique<PowerStateFile>(paths.statePath);
    const Instant now = Instant::now();

    std::shared_ptr<PowerLeaseManager> lease;
    try {
        lease = std::make_shared<PowerLeaseManager>(std::move(runner), std::move(store), now);
    } catch (const std::exception& error) {
        writeStandardErrorLine("ZelvoPowerHelper startup failed: " + descriptionOf(error));
        dispatch::exitProcess(1);
    }
    if (const auto& recoveryError = lease->recoveryError()) {
        writeStandardErrorLine("ZelvoPowerHelper startup restore failed; retrying: " +
                               *recoveryError);
    }

    // Both are kept for the life of the process: this function never returns.
    auto service = std::make_shared<PowerHelperService>(lease);
    transport::Listener listener{std::string(PowerHelperConstants::machServiceName)};
    listener.setConnectionCodeSigningRequirement(
        std::string(PowerHelperConstants::clientRequirement));
    listener.setDelegate(service);
    service->startMonitoring();
    try {
        listener.resume();
    } catch (const std::exception& error) {
        // Without the bus nobody can ask for anything, but the ticks still put a recorded hold back
        // and the idle exit still ends the process.
        writeStandardErrorLine("ZelvoPowerHelper: Listener failed: " + descriptionOf(error));
    }
    dispatch::dispatchMain();
}

} // namespace zelvo
