#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zelvo {

// The two invocations of the power tool (pmset, or zelvo-pmset on Linux, which takes the same
// arguments) that the system ever makes.
class PMSetCommand {
public:
    // "-a" "disablesleep" "1" (true) or "0" (false).
    static PMSetCommand setSleepDisabled(bool disabled) {
        return PMSetCommand(Kind::set, disabled);
    }
    // "-g".
    static PMSetCommand read() { return PMSetCommand(Kind::read, false); }

    // The argument list, without the program path.
    [[nodiscard]] std::vector<std::string> arguments() const;

    [[nodiscard]] bool isRead() const noexcept { return kind_ == Kind::read; }
    // The flag of a `setSleepDisabled` command; false for `read`.
    [[nodiscard]] bool disablesSleep() const noexcept { return disabled_; }

    friend bool operator==(const PMSetCommand&, const PMSetCommand&) = default;

private:
    enum class Kind { set, read };
    PMSetCommand(Kind kind, bool disabled)
        : kind_(kind), disabled_(kind == Kind::set && disabled) {}

    Kind kind_;
    bool disabled_;
};

// Runs one pmset command synchronously.
class PMSetRunning {
public:
    virtual ~PMSetRunning() = default;

    // Returns everything the command printed, untrimmed, once it has exited with status 0. Any
    // other outcome throws: PowerHelperError::commandFailed, or the platform's launch error
    // unchanged.
    virtual std::string run(const PMSetCommand& command) = 0;
};

namespace PMSetParser {

// The one SleepDisabled value (0 or 1) reported in the output of `pmset -g`. Throws
// PowerHelperError::invalidSleepDisabledOutput unless exactly one line reports a valid value.
[[nodiscard]] int sleepDisabled(std::string_view output);

} // namespace PMSetParser

} // namespace zelvo
