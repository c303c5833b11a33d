#include "PowerHelperProtocol.h"

#include "PowerHelperConstants.h"

#include <utility>
#include <variant>

namespace zelvo {

HelperStatus::HelperStatus(std::string helperVersion, bool heldByHelper,
                           std::int64_t systemSleepDisabled, std::int64_t leaseSecondsRemaining,
                           std::optional<std::string> errorMessage)
    : helperVersion_(std::move(helperVersion)), heldByHelper_(heldByHelper),
      systemSleepDisabled_(systemSleepDisabled), leaseSecondsRemaining_(leaseSecondsRemaining),
      errorMessage_(std::move(errorMessage)) {}

void HelperStatus::encode(KeyedArchive& coder) const {
    coder.encodeObject(helperVersion_, "helperVersion");
    coder.encodeBool(heldByHelper_, "heldByHelper");
    coder.encodeInteger(systemSleepDisabled_, "systemSleepDisabled");
    coder.encodeInteger(leaseSecondsRemaining_, "leaseSecondsRemaining");
    coder.encodeObject(errorMessage_, "errorMessage");
}

std::optional<HelperStatus> HelperStatus::decode(const KeyedArchive& coder) {
    // Without a string here there is no record, whatever else the archive holds: a missing key, nil
    // and a value of another type alike.
    const auto* version = coder.find("helperVersion");
    const auto* helperVersion = version != nullptr ? std::get_if<std::string>(version) : nullptr;
    if (helperVersion == nullptr) {
        return std::nullopt;
    }
    const bool heldByHelper = coder.decodeBool("heldByHelper");
    const auto systemSleepDisabled = coder.decodeInteger("systemSleepDisabled");
    const auto leaseSecondsRemaining = coder.decodeInteger("leaseSecondsRemaining");
    auto errorMessage = coder.decodeString("errorMessage");
    return HelperStatus(*helperVersion, heldByHelper, systemSleepDisabled, leaseSecondsRemaining,
                        std::move(errorMessage));
}

const PowerHelperSelector* PowerHelperInterface::selectorNamed(std::string_view selector) const {
    for (const auto& candidate : selectors) {
        if (candidate.selector == selector) {
            return &candidate;
        }
    }
    return nullptr;
}

PowerHelperInterface powerHelperInterface() {
    return PowerHelperInterface{
        PowerHelperConstants::interfaceName,
        {
            {"holdLidSleepDisabledWithLeaseSeconds:reply:", "HoldLidSleepDisabled", "x", "bas", {}},
            {"releaseWithReply:", "Release", "", "bas", {}},
            {"statusWithReply:", "Status", "", "sa{sv}", {HelperStatus::className}},
        },
    };
}

} // namespace zelvo
