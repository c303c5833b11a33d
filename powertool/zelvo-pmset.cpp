// zelvo-pmset: the power setting SleepDisabled over a logind inhibitor lock.
//
//   zelvo-pmset -g                    prints "SleepDisabled 0" or "SleepDisabled 1"
//   zelvo-pmset -a disablesleep 1|0   takes or releases the lock, returning once -g reads it so
//
// Exit status: 0 success, 1 failure (one line on standard error), 2 usage error. The setting
// belongs to the process that ran the tool: only the holder started for it counts, and the lock
// ends with that process.

#include "ControlSocket.h"
#include "Holder.h"
#include "InhibitorLock.h"
#include "Login1.h"
#include "ToolArguments.h"
#include "ToolFailure.h"
#include "ToolLimits.h"
#include "UniqueFd.h"
#include "WriteAll.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <optional>
#include <string>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace zelvo;
using namespace zelvo::powertool;

constexpr int exitSuccess = 0;
constexpr int exitFailure = 1;
constexpr int exitUsage = 2;

// The pid of our live holder: whoever listens under the owner's name, if it is root.
std::optional<pid_t> liveHolder(pid_t owner) {
    const auto peer = ControlSocket::connect(owner);
    if (peer && peer->uid == 0) {
        return peer->pid;
    }
    return std::nullopt;
}

int readSetting() {
    const std::optional<pid_t> holder = liveHolder(::getppid());
    const auto rows = Login1::connect().listInhibitors();
    const std::string line =
        "SleepDisabled " + std::to_string(sleepDisabledValue(rows, holder)) + "\n";
    return writeAll(STDOUT_FILENO, line) ? exitSuccess : exitFailure;
}

// A pidfd for the process that ran the tool, proven to be that process: it is still our parent
// after the pidfd was taken, so the pid had not been reused.
UniqueFd ownerPidfd(pid_t owner) {
    UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, owner, 0)));
    if (!pidfd) {
        throw ToolFailure(std::string("cannot watch the process that ran zelvo-pmset: ") +
                          std::strerror(errno));
    }
    if (::getppid() != owner) {
        throw ToolFailure("the process that ran zelvo-pmset has ended");
    }
    return pidfd;
}

void disableSleep() {
    const pid_t owner = ::getppid();
    UniqueFd pidfd = ownerPidfd(owner);
    std::optional<pid_t> started;
    std::optional<ControlSocket::Peer> peer;
    // A name bound with nobody answering is a holder that is ending: it is free again shortly.
    const auto handover = std::chrono::steady_clock::now() + ToolLimits::holderHandover;
    for (;;) {
        if (std::optional<UniqueFd> claimed = ControlSocket::claim(owner)) {
            started = startHolder(std::move(*claimed), std::move(pidfd));
        }
        // Read back as -g reads it: through the control socket, whoever started the holder.
        peer = ControlSocket::connect(owner);
        if (peer || started) {
            break;
        }
        if (std::chrono::steady_clock::now() >= handover) {
            throw ToolFailure("the control socket @" + ControlSocket::nameFor(owner) +
                              " is taken but nobody answers on it");
        }
        std::this_thread::sleep_for(ToolLimits::releasePollInterval);
    }
    if (!peer) {
        ::kill(*started, SIGTERM); // our unreaped child, as below
        throw ToolFailure("the lock holder stopped answering on @" + ControlSocket::nameFor(owner));
    }
    if (peer->uid != 0) {
        throw ToolFailure("the control socket @" + ControlSocket::nameFor(owner) +
                          " belongs to uid " + std::to_string(peer->uid) + ", not to root");
    }
    if (!listsLockOf(Login1::connect().listInhibitors(), peer->pid)) {
        if (started) {
            // Our unreaped child, so the pid is still the holder's. A lock that -g does not
            // count is not kept.
            ::kill(*started, SIGTERM);
        }
        throw ToolFailure("logind does not list the lock as taken");
    }
}

void enableSleep() {
    const auto peer = ControlSocket::connect(::getppid());
    if (!peer || peer->uid != 0) {
        return; // no holder of ours: the setting is already 0
    }
    if (ControlSocket::requestRelease(*peer, ToolLimits::releaseAnswer) ==
        ControlSocket::Answer::refused) {
        throw ToolFailure("the lock holder refused the release");
    }
    // Released or not, logind decides: closing the descriptor may take a moment to show.
    Login1 login1 = Login1::connect();
    const auto bound = std::chrono::steady_clock::now() + ToolLimits::releaseListing;
    while (listsLockOf(login1.listInhibitors(), peer->pid)) {
        if (std::chrono::steady_clock::now() >= bound) {
            throw ToolFailure("logind still lists the lock after its release");
        }
        std::this_thread::sleep_for(ToolLimits::releasePollInterval);
    }
}

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    const std::optional<ToolOperation> operation = parseArguments(arguments);
    if (!operation) {
        (void)writeAll(STDERR_FILENO, std::string(usageLine) + "\n");
        return exitUsage;
    }
    try {
        if (operation->kind == ToolOperation::Kind::read) {
            return readSetting();
        }
        if (operation->sleepDisabled) {
            disableSleep();
        } else {
            enableSleep();
        }
        return exitSuccess;
    } catch (const std::exception& error) {
        (void)writeAll(STDERR_FILENO, std::string("zelvo-pmset: ") + error.what() + "\n");
        return exitFailure;
    }
}
