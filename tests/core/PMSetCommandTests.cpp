#include "PMSet.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace zelvo {
namespace {

using Arguments = std::vector<std::string>;

TEST(APMSetCommand, HasTheFixedArgumentListsWithoutTheProgramPath) {
    EXPECT_EQ(PMSetCommand::setSleepDisabled(true).arguments(),
              (Arguments{"-a", "disablesleep", "1"}));
    EXPECT_EQ(PMSetCommand::setSleepDisabled(false).arguments(),
              (Arguments{"-a", "disablesleep", "0"}));
    EXPECT_EQ(PMSetCommand::read().arguments(), (Arguments{"-g"}));
}

TEST(APMSetCommand, IsEqualForTheSameCaseAndFlag) {
    EXPECT_EQ(PMSetCommand::read(), PMSetCommand::read());
    EXPECT_EQ(PMSetCommand::setSleepDisabled(true), PMSetCommand::setSleepDisabled(true));
    EXPECT_EQ(PMSetCommand::setSleepDisabled(false), PMSetCommand::setSleepDisabled(false));
    EXPECT_NE(PMSetCommand::setSleepDisabled(true), PMSetCommand::setSleepDisabled(false));
    EXPECT_NE(PMSetCommand::read(), PMSetCommand::setSleepDisabled(false));
    EXPECT_NE(PMSetCommand::read(), PMSetCommand::setSleepDisabled(true));
}

TEST(APMSetCommand, TellsItsCaseAndFlag) {
    EXPECT_TRUE(PMSetCommand::read().isRead());
    EXPECT_FALSE(PMSetCommand::setSleepDisabled(true).isRead());
    EXPECT_TRUE(PMSetCommand::setSleepDisabled(true).disablesSleep());
    EXPECT_FALSE(PMSetCommand::setSleepDisabled(false).disablesSleep());
}

} // namespace
} // namespace zelvo
