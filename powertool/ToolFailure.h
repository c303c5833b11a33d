#pragma once

#include <stdexcept>

namespace zelvo::powertool {

// A failure that ends the run with status 1; what() is the text printed after "zelvo-pmset: ".
class ToolFailure final : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

} // namespace zelvo::powertool
