#pragma once

#include <exception>
#include <string>

namespace zelvo {

// The one error type of the lease logic, the pmset runner and the state file. `what()` is the
// description text: what a failed reply carries and what diagnostic lines show.
class PowerHelperError final : public std::exception {
public:
    enum class Case { commandFailed, invalidState, fileFailure, invalidSleepDisabledOutput };

    // "pmset failed: " + payload
    static PowerHelperError commandFailed(std::string payload);
    // "Invalid helper state: " + payload
    static PowerHelperError invalidState(std::string payload);
    // "Helper state file: " + payload
    static PowerHelperError fileFailure(std::string payload);
    // "pmset did not report a valid SleepDisabled value."
    static PowerHelperError invalidSleepDisabledOutput();

    [[nodiscard]] Case kind() const noexcept { return kind_; }
    // The payload exactly as given; empty for `invalidSleepDisabledOutput`.
    [[nodiscard]] const std::string& payload() const noexcept { return payload_; }
    // The description text; never empty.
    [[nodiscard]] const std::string& errorDescription() const noexcept { return description_; }
    [[nodiscard]] const char* what() const noexcept override { return description_.c_str(); }

    // Same case and, where there is one, canonically equivalent payloads (compared in NFC).
    friend bool operator==(const PowerHelperError& a, const PowerHelperError& b);

private:
    PowerHelperError(Case kind, std::string payload);

    Case kind_;
    std::string payload_;
    std::string description_;
};

// The description text of any error: `what()`, which for a PowerHelperError is its description and
// for a passed-through platform error (std::system_error, a JSON error) is the platform's own text.
[[nodiscard]] inline std::string descriptionOf(const std::exception& error) {
    return error.what();
}

} // namespace zelvo
