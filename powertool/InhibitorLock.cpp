#include "InhibitorLock.h"

#include <algorithm>

namespace zelvo::powertool {

bool coversLidAndSleep(std::string_view what) {
    bool lid = false;
    bool sleep = false;
    while (true) {
        const auto colon = what.find(':');
        const std::string_view kind = what.substr(0, colon);
        lid = lid || kind == "handle-lid-switch";
        sleep = sleep || kind == "sleep";
        if (colon == std::string_view::npos) {
            break;
        }
        what.remove_prefix(colon + 1);
    }
    return lid && sleep;
}

bool listsLockOf(const std::vector<InhibitorRow>& rows, pid_t holderPid) {
    return std::any_of(rows.begin(), rows.end(), [holderPid](const InhibitorRow& row) {
        return row.mode == OurLock::mode && row.who == OurLock::who && row.uid == 0 &&
               holderPid > 0 && row.pid == static_cast<std::uint32_t>(holderPid) &&
               coversLidAndSleep(row.what);
    });
}

int sleepDisabledValue(const std::vector<InhibitorRow>& rows, std::optional<pid_t> liveHolderPid) {
    return liveHolderPid && listsLockOf(rows, *liveHolderPid) ? 1 : 0;
}

} // namespace zelvo::powertool
