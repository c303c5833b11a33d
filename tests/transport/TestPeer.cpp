#include "TestPeer.h"

#include "PowerHelperConstants.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <poll.h>
#include <sdbus-c++/sdbus-c++.h>

namespace zelvo::transport::test {

int runPeer(const std::vector<std::string>& arguments) {
    namespace constants = PowerHelperConstants;
    try {
        auto connection = sdbus::createSystemBusConnection();
        if (arguments.size() == 2 && arguments[0] == "own") {
            connection->requestName(arguments[1]);
            std::cout << "owned\n";
            return 0;
        }
        if (arguments.size() == 4 && arguments[0] == "pipeline") {
            int answered = 0;
            int refused = 0;
            std::string lastError;
            const auto send = [&](sdbus::IProxy& proxy, int count) {
                for (int i = 0; i < count; ++i) {
                    proxy.callMethodAsync("HoldLidSleepDisabled")
                        .onInterface(std::string(constants::interfaceName))
                        .withTimeout(std::chrono::seconds(60))
                        .withArguments(std::int64_t{5})
                        .uponReplyInvoke(
                            [&](const sdbus::Error* error, bool, std::vector<std::string>) {
                                if (error == nullptr) {
                                    ++answered;
                                } else {
                                    ++refused;
                                    lastError = error->getName() + " " + error->getMessage();
                                }
                            });
                }
            };
            const auto pump = [](const std::vector<sdbus::IConnection*>& buses,
                                 const std::function<bool()>& done) {
                const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
                while (!done() && std::chrono::steady_clock::now() < deadline) {
                    for (auto* bus : buses) {
                        while (bus->processPendingRequest()) {
                        }
                    }
                    ::poll(nullptr, 0, 10);
                }
            };
            const std::string service(constants::machServiceName);
            const std::string path(constants::objectPath);
            auto proxy = sdbus::createProxy(*connection, service, path);
            send(*proxy, std::stoi(arguments[1]));
            const int awaited = std::stoi(arguments[2]);
            pump({connection.get()}, [&] { return answered + refused >= awaited; });
            auto second = sdbus::createSystemBusConnection();
            auto secondProxy = sdbus::createProxy(*second, service, path);
            send(*secondProxy, 1);
            pump({connection.get(), second.get()},
                 [&] { return answered + refused >= awaited + 1; });
            std::cout << "answered " << answered << " refused " << refused << ": " << lastError
                      << std::endl;
            pump({connection.get(), second.get()},
                 [&] { return std::filesystem::exists(arguments[3]); });
            return 0;
        }
        if (arguments.size() >= 2 && arguments[0] == "call") {
            auto proxy = sdbus::createProxy(*connection, std::string(constants::machServiceName),
                                            std::string(constants::objectPath));
            const std::string interface(constants::interfaceName);
            const std::string& member = arguments[1];
            if (member == "Status") {
                std::string className;
                std::map<std::string, sdbus::Variant> fields;
                proxy->callMethod(member).onInterface(interface).storeResultsTo(className, fields);
                std::cout << "reply " << className;
                for (const auto& [key, value] : fields) {
                    std::cout << ' ' << key << '=' << value.peekValueType();
                }
                std::cout << '\n';
                return 0;
            }
            bool success = false;
            std::vector<std::string> error;
            auto invoker = proxy->callMethod(member);
            invoker.onInterface(interface);
            if (arguments.size() == 3) {
                invoker.withArguments(static_cast<std::int64_t>(std::stoll(arguments[2])));
            }
            invoker.storeResultsTo(success, error);
            std::cout << "reply " << (success ? "true" : "false");
            for (const auto& text : error) {
                std::cout << ' ' << text;
            }
            std::cout << '\n';
            return 0;
        }
        std::cerr << "unknown peer command\n";
        return 2;
    } catch (const sdbus::Error& error) {
        std::cout << "error " << error.getName() << '\n';
        return 0;
    } catch (const std::exception& error) {
        std::cerr << error.what() << '\n';
        return 1;
    }
}

std::vector<std::string> peerCommand(std::vector<std::string> arguments) {
    std::vector<std::string> command = {std::filesystem::read_symlink("/proc/self/exe").string(),
                                        "--peer"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return command;
}

} // namespace zelvo::transport::test
