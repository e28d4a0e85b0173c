#include "platform/random.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "platform/clock.h"

namespace klarion {
namespace {

TEST(Random, BelowStaysInRangeAndCoversIt) {
    EXPECT_EQ(randomBelow(0), 0u);
    EXPECT_EQ(randomBelow(1), 0u);
    std::set<uint64_t> seen;
    for (int i = 0; i < 2000; ++i) {
        uint64_t v = randomBelow(10);
        ASSERT_LT(v, 10u);
        seen.insert(v);
    }
    EXPECT_EQ(seen.size(), 10u);
    uint64_t big = (uint64_t{1} << 63) + 1;  // the worst case for rejection
    for (int i = 0; i < 100; ++i) EXPECT_LT(randomBelow(big), big);
}

TEST(Random, UUIDTextIsUpperCaseVersion4) {
    std::regex form("^[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}$");
    std::set<std::string> seen;
    for (int i = 0; i < 100; ++i) {
        std::string id = randomUUIDString();
        EXPECT_TRUE(std::regex_match(id, form)) << id;
        seen.insert(id);
    }
    EXPECT_EQ(seen.size(), 100u);
}

TEST(Clock, ManualClockReplacesTheCurrentOne) {
    auto manual = std::make_shared<ManualClock>(1000.5);
    auto previous = currentClock();
    setCurrentClock(manual);
    EXPECT_EQ(nowSeconds(), 1000.5);
    manual->advance(2);
    EXPECT_EQ(nowSeconds(), 1002.5);
    setCurrentClock(previous);
    EXPECT_GT(nowSeconds(), 1.6e9);
}

}  // namespace
}  // namespace klarion
