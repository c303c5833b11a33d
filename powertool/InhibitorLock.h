#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace zelvo::powertool {

// The lock that stands for "sleep disabled": logind takes no lid action and refuses other users'
// suspend requests while it is held.
namespace OurLock {
inline constexpr const char* what = "handle-lid-switch:sleep";
inline constexpr const char* who = "Zelvo power helper";
inline constexpr const char* why = "Zelvo keeps this computer awake while its lid is closed";
inline constexpr const char* mode = "block";
} // namespace OurLock

// One row of logind's ListInhibitors, as listed.
struct InhibitorRow {
    std::string what;
    std::string who;
    std::string why;
    std::string mode;
    std::uint32_t uid = 0;
    std::uint32_t pid = 0;
};

// True when `what` (kinds separated by ':', in any order, others allowed) names both
// handle-lid-switch and sleep.
[[nodiscard]] bool coversLidAndSleep(std::string_view what);

// True when `rows` hold our lock taken by `holderPid`: mode block, a what covering both kinds, who
// OurLock::who, uid 0 and that pid. Anybody else's lock never counts.
[[nodiscard]] bool listsLockOf(const std::vector<InhibitorRow>& rows, pid_t holderPid);

// SleepDisabled as `-g` reports it: 1 exactly when there is a live holder of ours (its pid) and
// `rows` list its lock.
[[nodiscard]] int sleepDisabledValue(const std::vector<InhibitorRow>& rows,
                                     std::optional<pid_t> liveHolderPid);

} // namespace zelvo::powertool
