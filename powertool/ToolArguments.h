#pragma once

#include <optional>
#include <string>
#include <vector>

namespace zelvo::powertool {

// What one run of zelvo-pmset is asked to do.
struct ToolOperation {
    enum class Kind { read, set };
    Kind kind;
    // For `set`: the value of SleepDisabled to establish.
    bool sleepDisabled = false;

    friend bool operator==(const ToolOperation&, const ToolOperation&) = default;
};

// The one usage line printed on standard error for any other arguments.
inline constexpr const char* usageLine = "usage: zelvo-pmset -g | -a disablesleep 0|1";

// Exactly "-g", "-a disablesleep 1" or "-a disablesleep 0" (arguments without the program name);
// nothing for anything else.
[[nodiscard]] std::optional<ToolOperation>
parseArguments(const std::vector<std::string>& arguments);

} // namespace zelvo::powertool
