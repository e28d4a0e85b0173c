#include "app/state/slot_times.h"

#include <gtest/gtest.h>

#include "tests/support/scratch.h"

namespace klarion {
namespace {

using testing::localTime;
using testing::ScopedTimeZone;

TEST(NormalizeTime, Table) {
    const std::optional<std::string> none;
    const std::pair<std::string, std::optional<std::string>> cases[] = {
        {"8:5", "08:05"},
        {" 13:15 ", "13:15"},
        {"8", "08:00"},
        {"24", none},
        {"830", "08:30"},
        {"2400", none},
        {"860", none},
        {"12:60", none},
        {"10:30:00", none},
        {"", none},
        {"8h30", none},
        {"+8", "08:00"},
        {"-1:30", none},
        {"100", "01:00"},
        {"99999999999999999999", none},
        {"8:99999999999999999999", none},
        {"\n8:00", none},  // line breaks are not blanks
    };
    for (const auto& [input, expected] : cases) EXPECT_EQ(normalizeTime(input), expected) << '"' << input << '"';
}

TEST(WeekKey, AroundNewYearAndDaylightSavingInTheLocalZone) {
    ScopedTimeZone tz("Europe/Paris");
    const std::pair<double, const char*> cases[] = {
        {localTime(2025, 12, 29), "2026-W01"},  // Monday of the first week of 2026
        {localTime(2025, 12, 28, 23, 59), "2025-W52"},
        {localTime(2021, 1, 3, 12), "2020-W53"},  // Sunday
        {localTime(2024, 12, 31), "2025-W01"},
        {localTime(2027, 1, 3, 23, 59), "2026-W53"},
        {1774745940, "2026-W13"},  // Sunday 29 March 2026, 01:59 CET
        {1774746000, "2026-W13"},  // 03:00 CEST, one minute later
        {1774821599, "2026-W13"},
        {1774821600, "2026-W14"},  // Monday 00:00 CEST
        {1767569400, "2026-W02"},  // Sunday 4 January 2026, 23:30 UTC: Monday 00:30 in Paris
    };
    for (const auto& [t, key] : cases) EXPECT_EQ(weekKey(t), key) << key;
    ScopedTimeZone utc("UTC");
    EXPECT_EQ(weekKey(1767569400), "2026-W01");
}

TEST(MondayOfWeekKey, GivesLocalMidnight) {
    ScopedTimeZone tz("Europe/Paris");
    // Monday 29 December 2025, 00:00 CET. The letter is not looked at: one whole
    // character goes (a letter with its combining accent, a flag, a byte that
    // is no UTF-8); empty pieces are dropped.
    for (const char* key : {"2026-W01", "2026-X01", "+2026-W01", "2026-É01",
                            "2026-E\u0301"
                            "01",
                            "2026-\U0001F1EB\U0001F1F7"
                            "01",
                            "2026-\xFF"
                            "01",
                            "2026--W01"})
        EXPECT_EQ(mondayOfWeekKey(key), 1766962800) << key;
    EXPECT_EQ(mondayOfWeekKey("2026-W13"), 1774220400);  // 23 March, before the change
    EXPECT_EQ(mondayOfWeekKey("2026-W14"), 1774821600);  // 30 March, 00:00 CEST
    EXPECT_EQ(mondayOfWeekKey("2020-W53"), localTime(2020, 12, 28));
    for (const char* bad : {"2026W01", "2026-W", "x-W01", "2026-W01-1", "", "-", "2026-Wx", "2026-W 1",
                            "99999999999999999999-W01", "2026-W99999999999999999999"})
        EXPECT_FALSE(mondayOfWeekKey(bad)) << bad;
    for (int week = 1; week <= 53; ++week) {  // every Monday gives back its own key
        char key[24];  // room for any int, as the compiler checks
        std::snprintf(key, sizeof key, "2026-W%02d", week);
        auto monday = mondayOfWeekKey(key);
        ASSERT_TRUE(monday) << key;
        EXPECT_EQ(weekKey(*monday), key);
    }
    ScopedTimeZone ny("America/New_York");
    EXPECT_EQ(mondayOfWeekKey("2026-W11"), 1773028800);  // Monday 9 March 2026, the day after the change
}

TEST(CurrentSlotKey, DefaultMalformedAndOverlappingSlots) {
    ScopedTimeZone tz("Europe/Paris");
    EXPECT_EQ(reservationKey("2026-W01", dayKey(1), 0), "2026-W01_monday_0");
    EXPECT_EQ(reservationKey("2026-W01", dayKey(5), 12), "2026-W01_friday_12");
    EXPECT_EQ(std::string(dayKey(3)) + std::string(dayKey(6)) + std::string(dayKey(0)), "wednesday");
    auto slots = ScheduleConfig::defaultSchedule().slotDefinitions;
    const std::pair<double, std::optional<std::string>> cases[] = {
        {localTime(2026, 3, 31, 10, 4), std::nullopt},  // Tuesday, between two slots
        {localTime(2026, 3, 31, 10, 5), "2026-W14_tuesday_1"},
        {localTime(2026, 3, 31, 8, 0), "2026-W14_tuesday_0"},
        {localTime(2026, 3, 31, 9, 44, 59), "2026-W14_tuesday_0"},
        {localTime(2026, 3, 31, 9, 45), std::nullopt},  // the end is excluded
        {localTime(2026, 3, 30, 16, 59), "2026-W14_monday_3"},
        {localTime(2026, 4, 3, 13, 15), "2026-W14_friday_2"},
        {localTime(2026, 4, 4, 10, 30), std::nullopt},
        {localTime(2026, 4, 5, 10, 30), std::nullopt},  // the weekend
        {localTime(2025, 12, 29, 8, 30), "2026-W01_monday_0"},
    };
    for (const auto& [t, key] : cases) EXPECT_EQ(currentSlotKey(slots, t), key) << key.value_or("none");
    const double tuesday0830 = localTime(2026, 3, 31, 8, 30);
    slots = {{"bad", "8h00", "09:00"},
             {"huge", "99999999999999999:00", "99999999999999999:01"},
             {"A", "08:00", "10:00"},
             {"B", "08:15", "09:00"}};
    EXPECT_EQ(currentSlotKey(slots, tuesday0830), "2026-W14_tuesday_2");  // lowest running index
    slots = {{"neg", "-1:00", "8:31"}};
    EXPECT_EQ(currentSlotKey(slots, tuesday0830), "2026-W14_tuesday_0");
}

std::map<std::string, std::string> holds(const std::string& teacher, std::vector<int> indexes, const std::string& day) {
    std::map<std::string, std::string> r;
    for (int i : indexes) r[day + std::to_string(i)] = teacher;
    return r;
}

TEST(TeacherSessionEnd, EndOfTheBlockRunningOrStillToComeOfThatTeacherToday) {
    ScopedTimeZone tz("Europe/Paris");
    const auto slots = ScheduleConfig::defaultSchedule().slotDefinitions;
    auto tue = [](int h, int m) { return localTime(2026, 3, 31, h, m); };
    const std::string today = "2026-W14_tuesday_";
    const struct {
        std::optional<std::string> teacher;
        std::string holder;
        std::vector<int> held;
        std::string day;
        double now, expected;  // 0 = none
    } cases[] = {
        {"T", "T", {0, 1}, today, tue(8, 30), tue(11, 45)},  // one block across the break
        {"T", "T", {0, 2}, today, tue(8, 30), tue(9, 45)},
        {"T", "T", {3}, today, tue(9, 0), tue(17, 0)},
        {"T", "T", {0, 2}, today, tue(10, 30), tue(15, 0)},  // a later block that has not begun
        {"T", "T", {0, 1, 2, 3}, today, tue(16, 59), tue(17, 0)},
        {"T", "T", {0, 1}, today, tue(11, 45), 0},  // after the last block
        {"T", "T", {2}, today, tue(17, 30), 0},
        {"T", "T", {}, today, tue(9, 0), 0},
        {std::nullopt, "T", {0}, today, tue(8, 30), 0},
        {"T", "U", {0}, today, tue(8, 30), 0},
        {"t", "T", {0}, today, tue(8, 30), 0},  // ids compare exactly
        {"T", "T", {0}, "2026-W14_monday_", tue(8, 30), 0},
        {"T", "T", {0}, "2026-W15_tuesday_", tue(8, 30), 0},
        {"T", "T", {0, 1, 2, 3}, "2026-W14_saturday_", localTime(2026, 4, 4, 8, 30), 0},
        // Monday 30 March 2026, the day after the change: 09:45 CEST.
        {"T", "T", {0}, "2026-W14_monday_", localTime(2026, 3, 30, 8, 30), 1774856700},
    };
    for (const auto& c : cases)
        EXPECT_EQ(teacherSessionEnd(c.teacher, slots, holds(c.holder, c.held, c.day), c.now), c.expected)
            << c.teacher.value_or("none") << " " << c.held.size() << " slots of " << c.day << " at " << c.now;
    ScheduleConfig schedule{slots, holds("T", {1}, today)};  // the schedule overload reads the same members
    EXPECT_EQ(teacherSessionEnd("T", schedule, tue(8, 30)), tue(11, 45));
    ScopedTimeZone ny("America/New_York");
    EXPECT_EQ(teacherSessionEnd("T", slots, holds("T", {0, 1}, "2026-W11_monday_"), 1773028800 + 8 * 3600),
              1773071100);  // Monday 9 March 2026, 11:45 EDT
}

TEST(TeacherSessionEnd, MalformedEndsAreSkipped) {
    ScopedTimeZone tz("Europe/Paris");
    auto slots = ScheduleConfig::defaultSchedule().slotDefinitions;
    const double tuesday0830 = localTime(2026, 3, 31, 8, 30);
    const double afternoon = localTime(2026, 3, 31, 15, 0);  // the end of slot 2, booked too
    const std::pair<const char*, double> cases[] = {
        {"9h45", afternoon},                       // malformed: the next block counts
        {"9223372036854775807:00", afternoon},     // the minute does not fit: malformed, not a huge time
        {"99999999999999999:00", 0},               // no such date: no end
        {"10:-5", localTime(2026, 3, 31, 9, 55)},  // odd but readable: 09:55
    };
    for (const auto& [end, expected] : cases) {
        slots[0].end = end;
        EXPECT_EQ(teacherSessionEnd("T", slots, holds("T", {0, 2}, "2026-W14_tuesday_"), tuesday0830), expected) << end;
    }
}

}  // namespace
}  // namespace klarion
