#include "PowerHelperError.h"

#include "Unicode.h"

#include <utility>

namespace zelvo {

namespace {

std::string describe(PowerHelperError::Case kind, const std::string& payload) {
    switch (kind) {
    case PowerHelperError::Case::commandFailed:
        return "pmset failed: " + payload;
    case PowerHelperError::Case::invalidState:
        return "Invalid helper state: " + payload;
    case PowerHelperError::Case::fileFailure:
        return "Helper state file: " + payload;
    case PowerHelperError::Case::invalidSleepDisabledOutput:
        break;
    }
    return "pmset did not report a valid SleepDisabled value.";
}

} // namespace

PowerHelperError::PowerHelperError(Case kind, std::string payload)
    : kind_(kind), payload_(std::move(payload)), description_(describe(kind_, payload_)) {}

PowerHelperError PowerHelperError::commandFailed(std::string payload) {
    return {Case::commandFailed, std::move(payload)};
}

PowerHelperError PowerHelperError::invalidState(std::string payload) {
    return {Case::invalidState, std::move(payload)};
}

PowerHelperError PowerHelperError::fileFailure(std::string payload) {
    return {Case::fileFailure, std::move(payload)};
}

PowerHelperError PowerHelperError::invalidSleepDisabledOutput() {
    return {Case::invalidSleepDisabledOutput, {}};
}

bool operator==(const PowerHelperError& a, const PowerHelperError& b) {
    return a.kind_ == b.kind_ && canonicallyEquivalent(a.payload_, b.payload_);
}

} // namespace zelvo
