#include "PrivateBus.h"

#include "TransportTestSupport.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <unistd.h>

namespace zelvo::transport::test {
namespace {

using testbus::PrivateBus;

// Alive and not a zombie waiting for a parent that does not reap.
bool running(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) {
        return false;
    }
    const auto state = line.find(") ");
    return state != std::string::npos && line.at(state + 2) != 'Z';
}

TEST(APrivateBus, PublishesItsAddressAndStopsWhatItActivatedWithIt) {
    std::string folder = "/tmp/zelvo-services.XXXXXX";
    ASSERT_NE(::mkdtemp(folder.data()), nullptr);
    const std::filesystem::path services(folder);
    const auto pidFile = services / "pid";
    std::ofstream(services / "org.zelvo.Test.Sleeper.service")
        << "[D-BUS Service]\nName=org.zelvo.Test.Sleeper\nExec=/bin/sh -c \"echo $$ > "
        << pidFile.string() << "; exec sleep 120\"\n";

    pid_t activated = -1;
    {
        PrivateBus bus({.serviceDirectory = services});
        EXPECT_EQ(std::getenv("DBUS_SYSTEM_BUS_ADDRESS"), bus.address());

        const auto started = testbus::runCommand(
            {"busctl", "--address=" + bus.address(), "--expect-reply=no", "call",
             "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
             "StartServiceByName", "su", "org.zelvo.Test.Sleeper", "0"});
        ASSERT_EQ(started.exitStatus, 0) << started.standardError;
        ASSERT_TRUE(eventually([&] {
            std::ifstream file(pidFile);
            return static_cast<bool>(file >> activated);
        }));
        EXPECT_EQ(::getpgid(activated), bus.pid());
    }
    EXPECT_TRUE(eventually([&] { return !running(activated); }));
    EXPECT_EQ(std::getenv("DBUS_SYSTEM_BUS_ADDRESS"), nullptr);
    std::filesystem::remove_all(services);
}

} // namespace
} // namespace zelvo::transport::test
