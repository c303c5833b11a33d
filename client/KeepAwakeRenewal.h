#pragma once

#include "PowerHelperConstants.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace zelvo {

// How often keep-awake renews its hold: PowerHelperConstants::renewalSeconds, or the seconds that
// `setting` gives (the environment's ZELVO_POWER_RENEWAL_SECONDS, so that tests can watch
// renewals), brought to between 1 s and half a lease. Faster, each renewal would only cost the
// helper one more root pmset run; slower, a renewal one interval late would find its lease run
// out. A setting that is absent or not a positive finite number gives the standard interval.
[[nodiscard]] inline double keepAwakeRenewalSeconds(const char* setting) {
    if (setting != nullptr) {
        char* end = nullptr;
        const double value = std::strtod(setting, &end);
        if (end != setting && *end == '\0' && std::isfinite(value) && value > 0) {
            return std::clamp(value, 1.0,
                              static_cast<double>(PowerHelperConstants::leaseSeconds) / 2);
        }
    }
    return PowerHelperConstants::renewalSeconds;
}

} // namespace zelvo
