#include "CallerPolicy.h"

#include "PowerHelperConstants.h"

#include <algorithm>
#include <cerrno>
#include <grp.h>
#include <pwd.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace zelvo::transport {
namespace {

std::size_t initialBufferSize(int name) {
    const long size = ::sysconf(name);
    return size > 0 ? static_cast<std::size_t>(size) : 16384;
}

// getpwuid_r and getgrnam_r report a short buffer as ERANGE; the entry size has no fixed bound.
constexpr std::size_t largestBuffer = std::size_t{1} << 24;

} // namespace

bool userMayCall(std::uint32_t uid) {
    if (uid == 0) {
        return true;
    }

    passwd user{};
    passwd* userFound = nullptr;
    std::vector<char> userBuffer(initialBufferSize(_SC_GETPW_R_SIZE_MAX));
    int error = 0;
    while ((error = ::getpwuid_r(uid, &user, userBuffer.data(), userBuffer.size(), &userFound)) ==
               ERANGE &&
           userBuffer.size() < largestBuffer) {
        userBuffer.resize(userBuffer.size() * 2);
    }
    if (error != 0 || userFound == nullptr) {
        return false;
    }

    const std::string groupName(PowerHelperConstants::clientGroup);
    group clientGroup{};
    group* groupFound = nullptr;
    std::vector<char> groupBuffer(initialBufferSize(_SC_GETGR_R_SIZE_MAX));
    while ((error = ::getgrnam_r(groupName.c_str(), &clientGroup, groupBuffer.data(),
                                 groupBuffer.size(), &groupFound)) == ERANGE &&
           groupBuffer.size() < largestBuffer) {
        groupBuffer.resize(groupBuffer.size() * 2);
    }
    if (error != 0 || groupFound == nullptr) {
        return false;
    }

    // getgrouplist reports a short array by returning -1 with the needed size in `count`.
    std::vector<gid_t> groups(32);
    for (;;) {
        int count = static_cast<int>(groups.size());
        if (::getgrouplist(user.pw_name, user.pw_gid, groups.data(), &count) >= 0) {
            groups.resize(static_cast<std::size_t>(count));
            break;
        }
        if (count <= static_cast<int>(groups.size())) {
            count = static_cast<int>(groups.size()) * 2;
        }
        if (count > 65536) {
            return false;
        }
        groups.resize(static_cast<std::size_t>(count));
    }
    return std::find(groups.begin(), groups.end(), clientGroup.gr_gid) != groups.end();
}

} // namespace zelvo::transport
