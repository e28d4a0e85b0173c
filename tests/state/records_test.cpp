#include "app/state/records.h"

#include <gtest/gtest.h>

namespace klarion {
namespace {

TEST(ScheduleCoding, RoundTrip) {
    ScheduleConfig s = ScheduleConfig::defaultSchedule();
    s.reservations["2026-W01_monday_0"] = "A";
    EXPECT_EQ(scheduleConfigFromJson(toJson(s)), s);
}

}  // namespace
}  // namespace klarion
