#pragma once

#include "PowerHelperPaths.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

// The whole configuration of the system: the deployer's two values, everything derived from them,
// and the platform's paths fixed at build time. The daemon reads no file, option or environment
// variable.
namespace zelvo::PowerHelperConstants {

namespace detail {

// The concatenation of constant texts, made at compile time, so that each derived name is written
// as the rule that derives it. The storage ends in a NUL, so `value.data()` is also a C string.
template <const std::string_view&... Parts>
struct Joined {
    static constexpr auto storage = [] {
        std::array<char, (Parts.size() + ... + 0) + 1> text{};
        std::size_t at = 0;
        ((Parts.copy(text.data() + at, Parts.size()), at += Parts.size()), ...);
        return text;
    }();
    static constexpr std::string_view value{storage.data(), storage.size() - 1};
};

inline constexpr std::string_view powerSuffix = ".power";
inline constexpr std::string_view plistSuffix = ".plist";
inline constexpr std::string_view leaseSuffix = ".lease";
inline constexpr std::string_view quote = "\"";
inline constexpr std::string_view requirementHead = "anchor apple generic and identifier ";
inline constexpr std::string_view requirementMiddle = " and certificate leaf[subject.OU] = ";

} // namespace detail

// Chosen by the deployer: the client application's bundle identifier (reverse DNS) and its
// ten-character signing team identifier.
inline constexpr std::string_view clientBundleIdentifier = "com.zelvo.Zelvo";
inline constexpr std::string_view signingTeamIdentifier = "ZELVOTEAM1";
static_assert(signingTeamIdentifier.size() == 10);

inline constexpr std::string_view version = "1.1.0";
// The client identifier + ".power"; on Linux, the D-Bus well-known name the daemon owns.
inline constexpr std::string_view machServiceName =
    detail::Joined<clientBundleIdentifier, detail::powerSuffix>::value;
// machServiceName + ".plist". Client only.
inline constexpr std::string_view plistName =
    detail::Joined<machServiceName, detail::plistSuffix>::value;
// The label of the service's serial queue: machServiceName + ".lease".
inline constexpr std::string_view queueLabel =
    detail::Joined<machServiceName, detail::leaseSuffix>::value;
// anchor apple generic and identifier "<client>" and certificate leaf[subject.OU] = "<team>"
inline constexpr std::string_view clientRequirement =
    detail::Joined<detail::requirementHead, detail::quote, clientBundleIdentifier, detail::quote,
                   detail::requirementMiddle, detail::quote, signingTeamIdentifier,
                   detail::quote>::value;
// On the original platform "/Library/Application Support/Zelvo/power-helper-state.json"; on Linux
// "/var/lib/zelvo-power/power-helper-state.json", in the directory the systemd unit provides.
inline constexpr std::string_view statePath = PowerHelperPaths::state;
// The longest lease the daemon grants, the lease for a request below 1 s, the upper bound of the
// remaining seconds reported, and the client's standard lease.
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
