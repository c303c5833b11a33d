#pragma once

#include <cstdint>
#include <string_view>

// The whole configuration of the system: the deployer's two values and everything derived from
// them. The daemon reads no file, option or environment variable.
namespace zelvo::PowerHelperConstants {

// Chosen by the deployer.
inline constexpr std::string_view clientBundleIdentifier = "com.zelvo.Zelvo";
inline constexpr std::string_view signingTeamIdentifier = "ZELVOTEAM1";

inline constexpr std::string_view version = "1.1.0";
// The client identifier + ".power"; on Linux, the D-Bus well-known name the daemon owns.
inline constexpr std::string_view machServiceName = "com.zelvo.Zelvo.power";
inline constexpr std::string_view plistName = "com.zelvo.Zelvo.power.plist";
// The label of the service's serial queue: machServiceName + ".lease".
inline constexpr std::string_view queueLabel = "com.zelvo.Zelvo.power.lease";
inline constexpr std::string_view clientRequirement =
    "anchor apple generic and identifier \"com.zelvo.Zelvo\" and certificate leaf[subject.OU] = "
    "\"ZELVOTEAM1\"";
inline constexpr std::string_view statePath =
    "/Library/Application Support/Zelvo/power-helper-state.json";
// The longest lease the daemon grants, the lease for a request below 1 s, and the client's lease.
inline constexpr std::int64_t leaseSeconds = 60;
// Client only: how often it renews its hold.
inline constexpr double renewalSeconds = 15.0;
// How long the daemon stays up holding nothing and seeing no activity.
inline constexpr double idleExitSeconds = 60.0;

// D-Bus names of the Linux transport.
inline constexpr std::string_view objectPath = "/com/zelvo/Zelvo/power";
inline constexpr std::string_view interfaceName = "com.zelvo.Zelvo.power.Helper";
// The group whose members (and root) may call the daemon.
inline constexpr std::string_view clientGroup = "zelvo-power";

} // namespace zelvo::PowerHelperConstants
