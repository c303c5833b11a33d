#include "CallerPolicy.h"

#include "PowerHelperConstants.h"

#include <algorithm>
#include <cerrno>
#include <grp.h>
#include <string>
#include <unistd.h>

namespace zelvo::transport {

std::optional<std::uint32_t> clientGroupId() {
    const long suggested = ::sysconf(_SC_GETGR_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 16384);
    // getgrnam_r reports a short buffer as ERANGE; an entry's size has no fixed bound.
    constexpr std::size_t largestBuffer = std::size_t{1} << 24;
    const std::string name(PowerHelperConstants::clientGroup);
    group entry{};
    group* found = nullptr;
    int error = 0;
    while ((error = ::getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found)) ==
               ERANGE &&
           buffer.size() < largestBuffer) {
        buffer.resize(buffer.size() * 2);
    }
    if (error != 0 || found == nullptr) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(entry.gr_gid);
}

bool callerMayCall(const CallerCredentials& caller, std::optional<std::uint32_t> clientGroup) {
    if (caller.uid == 0) {
        return true;
    }
    return clientGroup && std::find(caller.groups.begin(), caller.groups.end(), *clientGroup) !=
                              caller.groups.end();
}

} // namespace zelvo::transport
