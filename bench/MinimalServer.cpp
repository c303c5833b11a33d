// The smallest sdbus-c++ server that does what the daemon's bus side must do: own a well-known
// name on the system bus and answer a method on one object. Its start-up, footprint and round trip
// are the floors the daemon is measured against. SIGTERM ends it (default action).

#include "MinimalServer.h"

#include <sdbus-c++/sdbus-c++.h>

int main() {
    namespace minimal = zelvo::bench::minimal;
    auto connection = sdbus::createSystemBusConnection(minimal::busName);
    auto object = sdbus::createObject(*connection, minimal::objectPath);
    object->registerMethod(minimal::pingMethod)
        .onInterface(minimal::interfaceName)
        .implementedAs([] { return true; });
    object->finishRegistration();
    connection->enterEventLoop();
}
