// The daemon with two paths replaced, for the end-to-end tests and the demo: the same root check,
// bus name, timings and lines. Built in the build tree only; never installed.

#include "Daemon.h"
#include "Log.h"

#include <cstring>
#include <string>

int main(int argc, char** argv) {
    zelvo::DaemonPaths paths;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--pmset") == 0) {
            paths.pmset = argv[i + 1];
        } else if (std::strcmp(argv[i], "--state") == 0) {
            paths.statePath = argv[i + 1];
        } else {
            paths = {};
            break;
        }
    }
    if (argc != 5 || paths.pmset.empty() || paths.statePath.empty()) {
        zelvo::writeStandardErrorLine(
            "usage: zelvo-power-helper-testbed --pmset PATH --state PATH");
        return 2;
    }
    zelvo::runDaemon(paths);
}
