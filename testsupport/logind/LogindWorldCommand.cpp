// logind-world [--polkit] [--stand-in SCENARIO] [--service-dir DIR] -- COMMAND...
//
// Brings up a logind world (see LogindWorld.h), runs COMMAND in it with DBUS_SYSTEM_BUS_ADDRESS
// set to the world's bus, tears the world down and exits with COMMAND's status (128 + the signal
// number when a signal ended it). SIGINT and SIGTERM are passed on to COMMAND, so the world is
// still torn down. Exits 2 on a usage error, 77 when no world can be made here (with the reason),
// 1 when the world does not come up. With --service-dir, the world's bus starts services from the
// activation files in DIR.
#include "ChildProcess.h"
#include "LogindWorld.h"

#include <csignal>
#include <cstdio>
#include <exception>
#include <string>
#include <sys/types.h>
#include <vector>

namespace {

volatile sig_atomic_t commandPid = 0;

void passOn(int signal) {
    if (commandPid > 0) {
        ::kill(commandPid, signal);
    }
}

int usage() {
    std::fprintf(stderr, "usage: logind-world [--polkit] [--stand-in SCENARIO] [--service-dir DIR] "
                         "-- COMMAND...\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    using namespace zelvo;
    logindworld::LogindWorldOptions options;
    int next = 1;
    for (; next < argc; ++next) {
        const std::string arg = argv[next];
        if (arg == "--polkit") {
            options.polkit = true;
        } else if (arg == "--stand-in" && next + 1 < argc) {
            options.standIn = argv[++next];
        } else if (arg == "--service-dir" && next + 1 < argc) {
            options.serviceDirectory = argv[++next];
        } else if (arg == "--") {
            ++next;
            break;
        } else {
            return usage();
        }
    }
    if (next >= argc) {
        return usage();
    }
    const std::vector<std::string> command(argv + next, argv + argc);
    if (const auto reason = logindworld::LogindWorld::unavailableReason(options)) {
        std::fprintf(stderr, "logind-world: no world here: %s\n", reason->c_str());
        return 77;
    }
    try {
        if (options.polkit) {
            logindworld::LogindWorld::ensureSuspendingUser();
        }
        logindworld::LogindWorld world(options);
        struct sigaction action {};
        action.sa_handler = passOn;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGINT, &action, nullptr);
        ::sigaction(SIGTERM, &action, nullptr);

        testbus::SpawnSetup setup;
        setup.cleanSignals(false);
        const pid_t pid = setup.spawn(testbus::killedWithParent(command));
        commandPid = pid;
        const int status = testbus::reap(pid);
        commandPid = 0;
        return status;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "logind-world: %s\n", error.what());
        return 1;
    }
}
