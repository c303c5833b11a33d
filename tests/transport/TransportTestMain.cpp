#include "TestPeer.h"

#include <gtest/gtest.h>
#include <string_view>

int main(int argc, char** argv) {
    if (argc >= 2 && std::string_view(argv[1]) == "--peer") {
        return zelvo::transport::test::runPeer(std::vector<std::string>(argv + 2, argv + argc));
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
