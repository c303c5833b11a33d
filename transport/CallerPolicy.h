#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace zelvo::transport {

// What the bus recorded about a peer when it connected: its user and every group its connection
// held (primary and supplementary), the same view the bus policy judges by.
struct CallerCredentials {
    std::uint32_t uid = 0;
    std::vector<std::uint32_t> groups;
};

// The id of the group zelvo-power, or nothing when it cannot be looked up. Thread-safe (reentrant
// lookups only).
[[nodiscard]] std::optional<std::uint32_t> clientGroupId();

// Whether a caller with these credentials may call the helper: root, or a holder of the client
// group among the groups its connection holds. The user database is not asked, so a group given
// only to the process counts and one the process dropped does not. Without a client group only
// root may call.
[[nodiscard]] bool callerMayCall(const CallerCredentials& caller,
                                 std::optional<std::uint32_t> clientGroup);

} // namespace zelvo::transport
