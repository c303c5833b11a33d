#include "PMSet.h"
#include "PowerHelperError.h"

namespace zelvo::PMSetParser {

int sleepDisabled(std::string_view) { throw PowerHelperError::invalidSleepDisabledOutput(); }

} // namespace zelvo::PMSetParser
