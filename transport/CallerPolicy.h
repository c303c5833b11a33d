#pragma once

#include <cstdint>

namespace zelvo::transport {

// Whether the user with this id may call the helper: root, or a member of the group zelvo-power
// (its primary group or a supplementary one, as the user database lists them). A user or group that
// cannot be looked up refuses. Thread-safe (reentrant lookups only).
[[nodiscard]] bool userMayCall(std::uint32_t uid);

} // namespace zelvo::transport
