#include "TestPeer.h"

#include "PowerHelperConstants.h"

#include <filesystem>
#include <iostream>
#include <map>
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
