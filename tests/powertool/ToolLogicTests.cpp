#include "InhibitorLock.h"
#include "ToolArguments.h"

#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <vector>

namespace zelvo::powertool {
namespace {

using Kind = ToolOperation::Kind;

struct ArgumentsCase {
    std::vector<std::string> arguments;
    std::optional<ToolOperation> expected;
};

TEST(TheToolArguments, AcceptExactlyTheThreeInvocationsAndNothingElse) {
    const ArgumentsCase cases[] = {
        {{"-g"}, ToolOperation{Kind::read}},
        {{"-a", "disablesleep", "1"}, ToolOperation{Kind::set, true}},
        {{"-a", "disablesleep", "0"}, ToolOperation{Kind::set, false}},
        {{}, std::nullopt},
        {{"-g", "-g"}, std::nullopt},
        {{"-g", "extra"}, std::nullopt},
        {{"-G"}, std::nullopt},
        {{"-a", "disablesleep"}, std::nullopt},
        {{"-a", "disablesleep", "2"}, std::nullopt},
        {{"-a", "disablesleep", "01"}, std::nullopt},
        {{"-a", "disablesleep", " 1"}, std::nullopt},
        {{"-a", "disablesleep", ""}, std::nullopt},
        {{"-a", "disablesleep", "1", "0"}, std::nullopt},
        {{"-a", "DisableSleep", "1"}, std::nullopt},
        {{"-b", "disablesleep", "1"}, std::nullopt},
        {{"-a", "sleep", "1"}, std::nullopt},
        {{"disablesleep", "1"}, std::nullopt},
    };
    for (const auto& c : cases) {
        std::string shown;
        for (const auto& a : c.arguments) {
            shown += "[" + a + "]";
        }
        EXPECT_EQ(parseArguments(c.arguments), c.expected) << shown;
    }
}

constexpr pid_t holder = 4242;

InhibitorRow ours() {
    return {"handle-lid-switch:sleep", "Zelvo power helper", OurLock::why, "block", 0, holder};
}

template <typename Change>
InhibitorRow oursWith(Change change) {
    InhibitorRow row = ours();
    change(row);
    return row;
}

struct ListingCase {
    const char* name;
    std::vector<InhibitorRow> rows;
    std::optional<pid_t> liveHolder;
    int expected;
};

TEST(TheListedLocks, ReadAsOneOnlyForOurLiveHoldersOwnLidAndSleepBlock) {
    const auto what = [](const char* w) { return oursWith([w](auto& r) { r.what = w; }); };
    const InhibitorRow someoneElse{"handle-lid-switch:sleep", "GNOME", "lid", "block", 1000, 77};
    const ListingCase cases[] = {
        {"ours", {ours()}, holder, 1},
        {"other order", {what("sleep:handle-lid-switch")}, holder, 1},
        {"extra kinds", {what("shutdown:sleep:idle:handle-lid-switch")}, holder, 1},
        {"among others", {someoneElse, ours()}, holder, 1},
        {"lid only", {what("handle-lid-switch")}, holder, 0},
        {"sleep only", {what("sleep")}, holder, 0},
        {"split kinds", {what("handle-lid-switch"), what("sleep")}, holder, 0},
        {"a kind containing both", {what("handle-lid-switch-sleep")}, holder, 0},
        {"prefix of a kind", {what("handle-lid:sleeping")}, holder, 0},
        {"empty what", {what("")}, holder, 0},
        {"delay", {oursWith([](auto& r) { r.mode = "delay"; })}, holder, 0},
        {"wrong who", {oursWith([](auto& r) { r.who = "Zelvo power"; })}, holder, 0},
        {"wrong uid", {oursWith([](auto& r) { r.uid = 1000; })}, holder, 0},
        {"another pid", {oursWith([](auto& r) { r.pid = holder + 1; })}, holder, 0},
        {"someone else's", {someoneElse}, holder, 0},
        {"no holder", {ours()}, std::nullopt, 0},
        {"nothing listed", {}, holder, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(sleepDisabledValue(c.rows, c.liveHolder), c.expected) << c.name;
    }
}

TEST(TheListedLocks, AnyWhyCountsSinceOnlyPeopleReadIt) {
    EXPECT_TRUE(listsLockOf({oursWith([](auto& r) { r.why = "something else"; })}, holder));
}

} // namespace
} // namespace zelvo::powertool
