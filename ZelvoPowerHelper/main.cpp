#include "Daemon.h"
#include "PowerHelperConstants.h"
#include "SystemPMSetRunner.h"

#include <string>

int main() {
    zelvo::runDaemon({zelvo::SystemPMSetRunner::defaultExecutable,
                      std::string(zelvo::PowerHelperConstants::statePath)});
}
