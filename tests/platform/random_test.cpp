#include "platform/random.h"

#include <gtest/gtest.h>

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
    // 8-4-4-4-12 upper-case hexadecimal digits, version 4, RFC 4122 variant.
    auto wellFormed = [](const std::string& id) {
        if (id.size() != 36 || id[14] != '4' || std::string("89AB").find(id[19]) == std::string::npos) return false;
        for (size_t i = 0; i < id.size(); ++i) {
            bool dash = i == 8 || i == 13 || i == 18 || i == 23;
            if (dash ? id[i] != '-' : std::string("0123456789ABCDEF").find(id[i]) == std::string::npos) return false;
        }
        return true;
    };
    std::set<std::string> seen;
    for (int i = 0; i < 100; ++i) {
        std::string id = randomUUIDString();
        EXPECT_TRUE(wellFormed(id)) << id;
        seen.insert(id);
    }
    EXPECT_EQ(seen.size(), 100u);
}

TEST(Clock, ISO8601InUTC) {
    EXPECT_EQ(formatISO8601UTC(1756712709.9), "2025-09-01T07:45:09Z");
    EXPECT_EQ(formatISO8601UTC(0), "1970-01-01T00:00:00Z");
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
