#include "PMSet.h"

namespace zelvo {

std::vector<std::string> PMSetCommand::arguments() const {
    if (kind_ == Kind::read) {
        return {"-g"};
    }
    return {"-a", "disablesleep", disabled_ ? "1" : "0"};
}

} // namespace zelvo
