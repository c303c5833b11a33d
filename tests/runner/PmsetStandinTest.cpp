#include "PmsetStandin.h"

#include "PMSet.h"
#include "PowerHelperError.h"
#include "SystemPMSetRunner.h"

#include <gtest/gtest.h>

namespace zelvo {
namespace {

// What the daemon would see: the value read back after an optional change, or the error text.
std::string readBack(SystemPMSetRunner& runner, bool change) {
    try {
        if (change) {
            runner.run(PMSetCommand::setSleepDisabled(true));
        }
        const std::string output = runner.run(PMSetCommand::read());
        return std::to_string(PMSetParser::sleepDisabled(output)) +
               (output.find("\xEF\xBF\xBD") != std::string::npos ? " with U+FFFD" : "");
    } catch (const std::exception& error) {
        return error.what();
    }
}

TEST(APmsetStandin, MisbehavesOnlyAsItsControlFileSaysAndOnlyInItsScope) {
    struct Case {
        const char* control;
        bool change;
        std::string expected;
    };
    const Case cases[] = {
        {"", true, "1"},
        {"get no-report", false, "pmset did not report a valid SleepDisabled value."},
        {"get two-reports", false, "pmset did not report a valid SleepDisabled value."},
        {"get invalid-utf8", false, "0 with U+FFFD"},
        {"set no-change", true, "0"},
        {"set exit 1 refused", false, "0"},
        {"set exit 1 refused", true, "pmset failed: exit 1: refused"},
        {"get stderr-only\nget sleep 10", true, "1"},
        {"# a comment\n\nall exit 4", false, "pmset failed: exit 4: "},
    };
    for (const Case& c : cases) {
        pmsetstandin::Folder folder;
        folder.setControl(c.control);
        SystemPMSetRunner runner(folder.executable());
        EXPECT_EQ(readBack(runner, c.change), c.expected) << c.control;
    }
}

} // namespace
} // namespace zelvo
