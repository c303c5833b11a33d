#include "DispatchTestSupport.h"
#include "Process.h"

#include <csignal>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string_view>

int main(int argc, char** argv) {
    if (argc == 3 && std::string_view(argv[1]) == zelvo::dispatch::test::exitHelperSwitch) {
        zelvo::dispatch::test::runExitHelper(std::atoi(argv[2]));
    }
    // Before any thread exists, as a daemon does: every thread the tests start inherits the mask,
    // so the signals the tests send wait for a signalfd instead of ending the run.
    zelvo::dispatch::blockSignals({SIGTERM, SIGINT});
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
