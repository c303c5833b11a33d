#include "ToolArguments.h"

namespace zelvo::powertool {

std::optional<ToolOperation> parseArguments(const std::vector<std::string>& arguments) {
    if (arguments == std::vector<std::string>{"-g"}) {
        return ToolOperation{ToolOperation::Kind::read};
    }
    if (arguments.size() == 3 && arguments[0] == "-a" && arguments[1] == "disablesleep" &&
        (arguments[2] == "0" || arguments[2] == "1")) {
        return ToolOperation{ToolOperation::Kind::set, arguments[2] == "1"};
    }
    return std::nullopt;
}

} // namespace zelvo::powertool
