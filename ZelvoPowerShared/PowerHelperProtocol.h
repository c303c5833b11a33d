#pragma once

#include "KeyedArchive.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelvo {

// The immutable answer to a status request.
class HelperStatus {
public:
    // The runtime class name both sides register; a status reply naming any other is refused.
    static constexpr std::string_view className = "ZelvoPowerHelperStatus";
    static constexpr bool supportsSecureCoding = true;

    HelperStatus(std::string helperVersion, bool heldByHelper, std::int64_t systemSleepDisabled,
                 std::int64_t leaseSecondsRemaining, std::optional<std::string> errorMessage);

    // Writes helperVersion, heldByHelper, systemSleepDisabled, leaseSecondsRemaining and
    // errorMessage (nil when absent), in that order.
    void encode(KeyedArchive& coder) const;
    // Reads the same keys in the same order. No record when there is no string under
    // "helperVersion" (missing, nil or another type); missing scalars decode as false and 0, a
    // missing or nil "errorMessage" as absent. Throws KeyedArchiveError for a value of the wrong
    // type under any other key.
    [[nodiscard]] static std::optional<HelperStatus> decode(const KeyedArchive& coder);

    [[nodiscard]] const std::string& helperVersion() const noexcept { return helperVersion_; }
    [[nodiscard]] bool heldByHelper() const noexcept { return heldByHelper_; }
    // 0 or 1, or -1 when reading the setting failed.
    [[nodiscard]] std::int64_t systemSleepDisabled() const noexcept { return systemSleepDisabled_; }
    [[nodiscard]] std::int64_t leaseSecondsRemaining() const noexcept {
        return leaseSecondsRemaining_;
    }
    [[nodiscard]] const std::optional<std::string>& errorMessage() const noexcept {
        return errorMessage_;
    }

private:
    std::string helperVersion_;
    bool heldByHelper_;
    std::int64_t systemSleepDisabled_;
    std::int64_t leaseSecondsRemaining_;
    std::optional<std::string> errorMessage_;
};

// The three requests a client can send. Each answers only through its reply, exactly once.
class ZelvoPowerHelperProtocol {
public:
    // success, and the failure's description (nothing on success).
    using Reply = std::function<void(bool success, std::optional<std::string> error)>;
    using StatusReply = std::function<void(const HelperStatus& status)>;

    virtual ~ZelvoPowerHelperProtocol() = default;

    virtual void holdLidSleepDisabled(std::int64_t leaseSeconds, Reply reply) = 0;
    virtual void release(Reply reply) = 0;
    virtual void status(StatusReply reply) = 0;
};

// How one request of the protocol travels: its selector and its D-Bus member and signatures.
struct PowerHelperSelector {
    std::string_view selector;
    std::string_view member;
    std::string_view inputSignature;
    std::string_view outputSignature;
    // Class names allowed for reply argument 0; empty when the reply carries no object.
    std::vector<std::string_view> replyClasses;
};

// The exported interface of a connection: the three requests in their order.
struct PowerHelperInterface {
    std::string_view interfaceName;
    std::vector<PowerHelperSelector> selectors;

    [[nodiscard]] const PowerHelperSelector* selectorNamed(std::string_view selector) const;
};

// A new interface description on each call; nothing is shared between calls.
[[nodiscard]] PowerHelperInterface powerHelperInterface();

} // namespace zelvo
