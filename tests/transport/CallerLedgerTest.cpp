#include "CallerLedger.h"

#include <gtest/gtest.h>

namespace zelvo::transport::test {
namespace {

// Each case takes requests in, in order, and names which are refused and with what text.
TEST(ACallerLedger, RefusesACallerBeyondItsAllowanceAndKeepsRootsShareFree) {
    struct Step {
        std::uint32_t uid;
        int times;
        std::optional<std::string> refusal; // for every one of these requests
    };
    struct Case {
        const char* name;
        std::vector<Step> steps;
    };
    const CallerLedger::Limits limits{.total = 8, .perCaller = 3, .rootReserve = 2};
    const std::string callerFull =
        "ZelvoPowerHelper is busy: 3 requests of this caller are waiting";
    const std::string othersFull = "ZelvoPowerHelper is busy: 6 requests are waiting";
    const std::string allFull = "ZelvoPowerHelper is busy: 8 requests are waiting";
    const std::vector<Case> cases = {
        {"a caller's own allowance", {{1000, 3, {}}, {1000, 2, callerFull}, {1001, 3, {}}}},
        {"root beyond any caller's allowance", {{0, 8, {}}, {0, 1, allFull}, {1000, 1, allFull}}},
        {"the others' share leaves root room",
         {{1000, 3, {}}, {1001, 3, {}}, {1002, 1, othersFull}, {0, 2, {}}, {0, 1, allFull}}},
        {"root's requests leave the others their share",
         {{0, 2, {}}, {1000, 3, {}}, {1001, 3, {}}, {1002, 1, allFull}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CallerLedger ledger(limits);
        std::size_t admitted = 0;
        for (const auto& step : c.steps) {
            for (int i = 0; i < step.times; ++i) {
                EXPECT_EQ(ledger.admit(step.uid), step.refusal) << "uid " << step.uid;
                admitted += step.refusal ? 0 : 1;
            }
        }
        EXPECT_EQ(ledger.total(), admitted);
    }
}

TEST(ACallerLedger, GivesBackWhatEachCallerReleases) {
    CallerLedger ledger({.total = 4, .perCaller = 2, .rootReserve = 1});
    ASSERT_FALSE(ledger.admit(1000));
    ASSERT_FALSE(ledger.admit(1000));
    ASSERT_FALSE(ledger.admit(0));
    ASSERT_TRUE(ledger.admit(1000));
    ledger.release(1000);
    EXPECT_EQ(ledger.heldBy(1000), 1u);
    EXPECT_FALSE(ledger.admit(1000));
    // Releasing what was never taken changes nothing.
    ledger.release(1001);
    ledger.release(0);
    ledger.release(0);
    EXPECT_EQ(ledger.heldBy(0), 0u);
    EXPECT_EQ(ledger.total(), 2u);
    EXPECT_FALSE(ledger.admit(0));
    EXPECT_FALSE(ledger.admit(0));
    EXPECT_EQ(ledger.admit(0), "ZelvoPowerHelper is busy: 4 requests are waiting");
}

} // namespace
} // namespace zelvo::transport::test
