// bench-composed-server --pmset PATH --state PATH: the composed floor of the daemon's requests.
// A one-thread sdbus-c++ server that owns its name on the system bus and, in each method handler,
// does the work of the daemon's request of that name (doRequestWork: the same pmset stand-in, in a
// folder of its own, and the same durable save, of PATH). SIGTERM ends it (default action).

#include "ComposedServer.h"

#include "Floors.h"

#include <cstring>
#include <iostream>
#include <sdbus-c++/sdbus-c++.h>
#include <string>
#include <utility>

int main(int argc, char** argv) {
    namespace composed = zelvo::bench::composed;
    using zelvo::bench::Request;
    if (argc != 5 || std::strcmp(argv[1], "--pmset") != 0 || std::strcmp(argv[3], "--state") != 0) {
        std::cerr << "usage: bench-composed-server --pmset PATH --state PATH\n";
        return 2;
    }
    const std::string pmset = argv[2];
    const std::string state = argv[4];

    auto connection = sdbus::createSystemBusConnection(composed::busName);
    auto object = sdbus::createObject(*connection, composed::objectPath);
    // Status answers the run's output (a reply of about the daemon's status size), the others true.
    object->registerMethod(composed::statusMethod)
        .onInterface(composed::interfaceName)
        .implementedAs([&] { return zelvo::bench::doRequestWork(Request::status, pmset, state); });
    const std::pair<const char*, Request> others[] = {{composed::holdMethod, Request::hold},
                                                      {composed::renewMethod, Request::renewal},
                                                      {composed::releaseMethod, Request::release}};
    for (const auto& [method, request] : others) {
        object->registerMethod(method)
            .onInterface(composed::interfaceName)
            .implementedAs([&, request = request] {
                (void)zelvo::bench::doRequestWork(request, pmset, state);
                return true;
            });
    }
    object->finishRegistration();
    connection->enterEventLoop();
}
