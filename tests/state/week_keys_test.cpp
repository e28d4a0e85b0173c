#include "app/state/week_keys.h"

#include <gtest/gtest.h>

#include "tests/platform/scratch.h"

namespace klarion {
namespace {

using testing::localTime;
using testing::ScopedTimeZone;

TEST(NormalizeTime, Table) {
    const std::pair<std::string, std::optional<std::string>> cases[] = {
        {"8:5", "08:05"},       {" 13:15 ", "13:15"},   {"\t9:15\t", "09:15"},  {"8", "08:00"},
        {"23", "23:00"},        {"24", std::nullopt},         {"830", "08:30"},       {"0830", "08:30"},
        {"2359", "23:59"},      {"2400", std::nullopt},       {"1260", std::nullopt},       {"860", std::nullopt},
        {"12:60", std::nullopt},      {"10:30:00", std::nullopt},   {":30", std::nullopt},        {"8:", std::nullopt},
        {"-5", std::nullopt},         {"-1", std::nullopt},         {"", std::nullopt},           {"   ", std::nullopt},
        {"8h30", std::nullopt},       {"midi", std::nullopt},       {"+8", "08:00"},        {"-0", "00:00"},
        {"0:0", "00:00"},       {"00:00", "00:00"},     {"23:59", "23:59"},     {"-1:30", std::nullopt},
        {"10::30", std::nullopt},     {"::30", std::nullopt},       {"8 :30", std::nullopt},      {"100", "01:00"},
        {"99", std::nullopt},         {"99999999999999999999", std::nullopt},  {"8:99999999999999999999", std::nullopt},
        {"\n8:00", std::nullopt},     // line breaks are not blanks
    };
    for (const auto& [input, expected] : cases) EXPECT_EQ(normalizeTime(input), expected) << '"' << input << '"';
}

TEST(WeekKey, AroundNewYear) {
    ScopedTimeZone tz("Europe/Paris");
    const std::pair<double, const char*> cases[] = {
        {localTime(2025, 12, 29), "2026-W01"},           // Monday of the first week of 2026
        {localTime(2025, 12, 28, 23, 59), "2025-W52"},
        {localTime(2021, 1, 3, 12), "2020-W53"},          // Sunday
        {localTime(2021, 1, 4), "2021-W01"},
        {localTime(2024, 12, 31), "2025-W01"},
        {localTime(2027, 1, 1), "2026-W53"},
        {localTime(2027, 1, 3, 23, 59), "2026-W53"},
        {localTime(2027, 1, 4), "2027-W01"},
        {localTime(2026, 6, 15), "2026-W25"},
    };
    for (const auto& [t, key] : cases) EXPECT_EQ(weekKey(t), key) << key;
}

TEST(WeekKey, UsesTheLocalDate) {
    // Sunday 4 January 2026, 23:30 UTC.
    const double t = 1767569400;
    {
        ScopedTimeZone tz("UTC");
        EXPECT_EQ(weekKey(t), "2026-W01");
    }
    {
        ScopedTimeZone tz("Europe/Paris");  // already Monday 00:30
        EXPECT_EQ(weekKey(t), "2026-W02");
    }
}

TEST(WeekKey, AcrossADaylightSavingChange) {
    ScopedTimeZone tz("Europe/Paris");
    EXPECT_EQ(weekKey(1774745940), "2026-W13");  // Sunday 29 March 2026, 01:59 CET
    EXPECT_EQ(weekKey(1774746000), "2026-W13");  // 03:00 CEST, one minute later
    EXPECT_EQ(weekKey(1774821600), "2026-W14");  // Monday 00:00 CEST
    EXPECT_EQ(weekKey(1774821599), "2026-W13");
}

TEST(MondayOfWeekKey, GivesLocalMidnight) {
    ScopedTimeZone tz("Europe/Paris");
    EXPECT_EQ(mondayOfWeekKey("2026-W01"), 1766962800);  // Monday 29 December 2025, 00:00 CET
    EXPECT_EQ(mondayOfWeekKey("2026-X01"), 1766962800);  // the letter is not looked at
    EXPECT_EQ(mondayOfWeekKey("+2026-W01"), 1766962800);
    EXPECT_EQ(mondayOfWeekKey("2026-É01"), 1766962800);  // a two-byte first character
    // One whole character goes: a letter with its combining accent, a flag,
    // a byte that is no UTF-8.
    EXPECT_EQ(mondayOfWeekKey("2026-E\u0301" "01"), 1766962800);
    EXPECT_EQ(mondayOfWeekKey("2026-\U0001F1EB\U0001F1F7" "01"), 1766962800);
    EXPECT_EQ(mondayOfWeekKey("2026-\xFF" "01"), 1766962800);
    EXPECT_EQ(mondayOfWeekKey("2026--W01"), 1766962800);  // empty pieces are dropped
    EXPECT_EQ(mondayOfWeekKey("2026-W13"), 1774220400);   // 23 March, before the change
    EXPECT_EQ(mondayOfWeekKey("2026-W14"), 1774821600);   // 30 March, 00:00 CEST
    EXPECT_EQ(mondayOfWeekKey("2020-W53"), localTime(2020, 12, 28));
    for (const char* bad : {"2026W01", "2026-W", "x-W01", "2026-W01-1", "", "-", "2026-Wx", "2026-W 1",
                            "99999999999999999999-W01", "2026-W99999999999999999999"})
        EXPECT_FALSE(mondayOfWeekKey(bad)) << bad;
    // Every Monday gives back its own key.
    for (int week = 1; week <= 53; ++week) {
        char key[16];
        std::snprintf(key, sizeof key, "2026-W%02d", week);
        auto monday = mondayOfWeekKey(key);
        ASSERT_TRUE(monday) << key;
        EXPECT_EQ(weekKey(*monday), key);
    }
}

TEST(MondayOfWeekKey, OtherTimeZone) {
    ScopedTimeZone tz("America/New_York");
    EXPECT_EQ(mondayOfWeekKey("2026-W11"), 1773028800);  // Monday 9 March 2026, the day after the change
}

TEST(ReservationKey, Form) {
    EXPECT_EQ(reservationKey("2026-W01", dayKey(1), 0), "2026-W01_monday_0");
    EXPECT_EQ(reservationKey("2026-W01", dayKey(5), 12), "2026-W01_friday_12");
    EXPECT_EQ(dayKey(3), "wednesday");
    EXPECT_EQ(dayKey(6), "");
    EXPECT_EQ(dayKey(0), "");
}

TEST(CurrentSlotKey, DefaultSlots) {
    ScopedTimeZone tz("Europe/Paris");
    auto slots = ScheduleConfig::defaultSchedule().slotDefinitions;
    const std::pair<double, std::optional<std::string>> cases[] = {
        {localTime(2026, 3, 31, 10, 4), std::nullopt},         // Tuesday, between two slots
        {localTime(2026, 3, 31, 10, 5), "2026-W14_tuesday_1"},
        {localTime(2026, 3, 31, 8, 0), "2026-W14_tuesday_0"},
        {localTime(2026, 3, 31, 9, 44, 59), "2026-W14_tuesday_0"},
        {localTime(2026, 3, 31, 9, 45), std::nullopt},         // the end is excluded
        {localTime(2026, 3, 30, 16, 59), "2026-W14_monday_3"},
        {localTime(2026, 4, 3, 13, 15), "2026-W14_friday_2"},
        {localTime(2026, 4, 4, 10, 30), std::nullopt},         // Saturday
        {localTime(2026, 4, 5, 10, 30), std::nullopt},         // Sunday
        {localTime(2025, 12, 29, 8, 30), "2026-W01_monday_0"},
    };
    for (const auto& [t, key] : cases) EXPECT_EQ(currentSlotKey(slots, t), key) << (key ? *key : "none");
}

TEST(CurrentSlotKey, MalformedAndOverlappingSlots) {
    ScopedTimeZone tz("Europe/Paris");
    const double tuesday0830 = localTime(2026, 3, 31, 8, 30);
    std::vector<SlotDefinition> slots{{"bad", "8h00", "09:00"},
                                      {"huge", "99999999999999999:00", "99999999999999999:01"},
                                      {"A", "08:00", "10:00"},
                                      {"B", "08:15", "09:00"}};
    EXPECT_EQ(currentSlotKey(slots, tuesday0830), "2026-W14_tuesday_2");  // lowest running index
    slots = {{"neg", "-1:00", "8:31"}};
    EXPECT_EQ(currentSlotKey(slots, tuesday0830), "2026-W14_tuesday_0");
}

class TeacherSessionEndTest : public ::testing::Test {
protected:
    ScopedTimeZone tz{"Europe/Paris"};
    std::vector<SlotDefinition> slots = ScheduleConfig::defaultSchedule().slotDefinitions;

    std::map<std::string, std::string> holds(const std::string& teacher, std::vector<int> indexes,
                                             const std::string& day = "2026-W14_tuesday_") {
        std::map<std::string, std::string> r;
        for (int i : indexes) r[day + std::to_string(i)] = teacher;
        return r;
    }
};

TEST_F(TeacherSessionEndTest, EndOfTheBlockRunningOrStillToCome) {
    struct Case {
        std::vector<int> held;
        int hour, minute;
        double expected;  // 0 = none
    };
    auto tuesday = [](int h, int m) { return localTime(2026, 3, 31, h, m); };
    const Case cases[] = {
        {{0, 1}, 8, 30, tuesday(11, 45)},  // one block across the break
        {{0, 2}, 8, 30, tuesday(9, 45)},
        {{0, 2}, 10, 30, tuesday(15, 0)},  // a later block that has not begun
        {{3}, 9, 0, tuesday(17, 0)},
        {{0, 1, 2, 3}, 16, 59, tuesday(17, 0)},
        {{0, 1}, 11, 45, 0},               // after the last block
        {{2}, 17, 30, 0},
        {{}, 9, 0, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(teacherSessionEnd("T", slots, holds("T", c.held), tuesday(c.hour, c.minute)), c.expected)
            << c.held.size() << " slots at " << c.hour << ":" << c.minute;
}

TEST_F(TeacherSessionEndTest, OnlyTodaysBookingsOfThatTeacher) {
    const double tuesday0830 = localTime(2026, 3, 31, 8, 30);
    EXPECT_EQ(teacherSessionEnd(std::nullopt, slots, holds("T", {0}), tuesday0830), 0);
    EXPECT_EQ(teacherSessionEnd("T", slots, holds("U", {0}), tuesday0830), 0);
    EXPECT_EQ(teacherSessionEnd("T", slots, holds("T", {0}, "2026-W14_monday_"), tuesday0830), 0);
    EXPECT_EQ(teacherSessionEnd("T", slots, holds("T", {0}, "2026-W15_tuesday_"), tuesday0830), 0);
    EXPECT_EQ(teacherSessionEnd("t", slots, holds("T", {0}), tuesday0830), 0);  // ids compare exactly
    auto saturday = holds("T", {0, 1, 2, 3}, "2026-W14_saturday_");
    EXPECT_EQ(teacherSessionEnd("T", slots, saturday, localTime(2026, 4, 4, 8, 30)), 0);
    // The schedule overload reads the same members.
    ScheduleConfig schedule{slots, holds("T", {1})};
    EXPECT_EQ(teacherSessionEnd("T", schedule, tuesday0830), localTime(2026, 3, 31, 11, 45));
}

TEST_F(TeacherSessionEndTest, MalformedEndsAreSkipped) {
    const double tuesday0830 = localTime(2026, 3, 31, 8, 30);
    slots[0].end = "9h45";
    EXPECT_EQ(teacherSessionEnd("T", slots, holds("T", {0, 2}), tuesday0830), localTime(2026, 3, 31, 15, 0));
    slots[0].end = "99999999999999999:00";  // does not fit: malformed, not a huge time
    EXPECT_EQ(teacherSessionEnd("T", slots, holds("T", {0}), tuesday0830), 0);
    slots[0].end = "9223372036854775807:00";
    EXPECT_EQ(teacherSessionEnd("T", slots, holds("T", {0}), tuesday0830), 0);
    slots[0].end = "10:-5";  // odd but readable: 09:55
    EXPECT_EQ(teacherSessionEnd("T", slots, holds("T", {0}), tuesday0830), localTime(2026, 3, 31, 9, 55));
}

TEST_F(TeacherSessionEndTest, AfterADaylightSavingChange) {
    // Monday 30 March 2026, the day after the change: 09:45 CEST.
    EXPECT_EQ(teacherSessionEnd("T", slots, holds("T", {0}, "2026-W14_monday_"), localTime(2026, 3, 30, 8, 30)),
              1774856700);
    ScopedTimeZone ny("America/New_York");
    EXPECT_EQ(teacherSessionEnd("T", slots, holds("T", {0, 1}, "2026-W11_monday_"), 1773028800 + 8 * 3600),
              1773071100);  // Monday 9 March 2026, 11:45 EDT
}

}  // namespace
}  // namespace klarion
