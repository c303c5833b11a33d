#include "PowerHelperConstants.h"
#include "SystemPMSetRunner.h"

#include <cstdint>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <type_traits>

namespace zelvo {
namespace {

namespace C = PowerHelperConstants;

TEST(ThePowerHelperConstants, DeriveTheServiceNamesFromTheClientIdentifier) {
    const std::string client(C::clientBundleIdentifier);
    EXPECT_EQ(C::machServiceName, client + ".power");
    EXPECT_EQ(C::plistName, std::string(C::machServiceName) + ".plist");
    EXPECT_EQ(C::queueLabel, std::string(C::machServiceName) + ".lease");
    EXPECT_TRUE(C::machServiceName.ends_with(".power"));
    EXPECT_TRUE(C::plistName.ends_with(".power.plist"));
    EXPECT_TRUE(C::machServiceName.starts_with(client));
    EXPECT_TRUE(C::plistName.starts_with(client));
}

TEST(ThePowerHelperConstants, NameTheClientAndItsTeamInTheRequirement) {
    const std::string client(C::clientBundleIdentifier);
    const std::string team(C::signingTeamIdentifier);
    EXPECT_EQ(team.size(), 10u);
    EXPECT_EQ(C::clientRequirement, "anchor apple generic and identifier \"" + client +
                                        "\" and certificate leaf[subject.OU] = \"" + team + "\"");
    EXPECT_NE(C::clientRequirement.find("\"" + client + "\""), std::string_view::npos);
}

TEST(ThePowerHelperConstants, HaveTheDeployersValuesForThisProject) {
    EXPECT_EQ(C::clientBundleIdentifier, "com.zelvo.Zelvo");
    EXPECT_EQ(C::signingTeamIdentifier, "ZELVOTEAM1");
    EXPECT_EQ(C::machServiceName, "com.zelvo.Zelvo.power");
    EXPECT_EQ(C::plistName, "com.zelvo.Zelvo.power.plist");
    EXPECT_EQ(C::queueLabel, "com.zelvo.Zelvo.power.lease");
    EXPECT_EQ(C::clientRequirement, "anchor apple generic and identifier \"com.zelvo.Zelvo\" and "
                                    "certificate leaf[subject.OU] = \"ZELVOTEAM1\"");
    EXPECT_EQ(C::objectPath, "/com/zelvo/Zelvo/power");
    EXPECT_EQ(C::interfaceName, "com.zelvo.Zelvo.power.Helper");
}

TEST(ThePowerHelperConstants, HaveTheFixedValuesAndTypes) {
    EXPECT_EQ(C::version, "1.1.0");
    static_assert(std::is_same_v<std::remove_cv_t<decltype(C::leaseSeconds)>, std::int64_t>);
    static_assert(std::is_same_v<std::remove_cv_t<decltype(C::renewalSeconds)>, double>);
    static_assert(std::is_same_v<std::remove_cv_t<decltype(C::idleExitSeconds)>, double>);
    EXPECT_EQ(C::leaseSeconds, 60);
    EXPECT_EQ(C::renewalSeconds, 15.0);
    EXPECT_EQ(C::idleExitSeconds, 60.0);
}

// The daemon's two paths are fixed per platform at build time: on Linux the tool sits in the
// install's libexec folder, where the package puts it, and the record in the unit's state
// directory.
TEST(ThePowerHelperConstants, HaveThePlatformsPaths) {
#ifdef __APPLE__
    EXPECT_STREQ(SystemPMSetRunner::defaultExecutable, "/usr/bin/pmset");
    EXPECT_EQ(C::statePath, "/Library/Application Support/Zelvo/power-helper-state.json");
#else
    EXPECT_EQ(SystemPMSetRunner::defaultExecutable,
              std::string(ZELVO_INSTALL_LIBEXECDIR) + "/zelvo-power/zelvo-pmset");
    EXPECT_EQ(C::statePath, "/var/lib/zelvo-power/power-helper-state.json");
#endif
}

TEST(ThePowerHelperConstants, DerivedNamesAreAlsoCStrings) {
    // Adapters hand them to C APIs.
    EXPECT_EQ(std::strlen(C::machServiceName.data()), C::machServiceName.size());
    EXPECT_EQ(std::strlen(C::plistName.data()), C::plistName.size());
    EXPECT_EQ(std::strlen(C::clientRequirement.data()), C::clientRequirement.size());
}

} // namespace
} // namespace zelvo
