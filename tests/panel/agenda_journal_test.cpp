#include <gmock/gmock.h>

#include "tests/support/scratch.h"
#include "ui/panel/agenda.h"
#include "ui/panel/journal_view.h"

namespace klarion {
namespace {

double localNoon(int year, int month, int day) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = 12;
    t.tm_isdst = -1;
    return static_cast<double>(mktime(&t));
}

std::vector<std::string> dates(const AgendaWeek& week) {
    std::vector<std::string> out;
    for (const AgendaDay& day : week.days) out.push_back(day.date);
    return out;
}

TEST(AgendaWeek, IsoWeeksAcrossTheYearEnd) {
    testing::ScopedEnv zone("TZ", "Europe/Paris");
    tzset();
    const struct {
        double now;
        int offset;
        std::string label;
        std::vector<std::string> dates;
    } cases[] = {
        {localNoon(2024, 12, 20), 2, "30 déc. — 03 janv. (2025-W01)", {"30/12", "31/12", "01/01", "02/01", "03/01"}},
        {localNoon(2024, 5, 8), 0, "06 mai — 10 mai (2024-W19)", {"06/05", "07/05", "08/05", "09/05", "10/05"}},
        {localNoon(2021, 1, 2), 0, "28 déc. — 01 janv. (2020-W53)", {"28/12", "29/12", "30/12", "31/12", "01/01"}},
        {localNoon(2027, 1, 4), -1, "28 déc. — 01 janv. (2026-W53)", {"28/12", "29/12", "30/12", "31/12", "01/01"}},
        {localNoon(2026, 3, 25), 1, "30 mars — 03 avr. (2026-W14)", {"30/03", "31/03", "01/04", "02/04", "03/04"}},
    };
    for (const auto& c : cases) {
        const AgendaWeek week = agendaWeek(c.now, c.offset, ScheduleConfig::defaultSchedule(), {});
        EXPECT_EQ(week.label, c.label);
        EXPECT_EQ(dates(week), c.dates) << c.label;
        const int today = static_cast<int>(
            std::count_if(week.days.begin(), week.days.end(), [](const AgendaDay& d) { return d.isToday; }));
        EXPECT_EQ(today, c.offset == 0 && c.label.find("W19") != std::string::npos ? 1 : 0) << c.label;
    }
    // A Saturday highlights no day.
    const AgendaWeek saturday = agendaWeek(localNoon(2024, 5, 11), 0, ScheduleConfig::defaultSchedule(), {});
    EXPECT_TRUE(std::none_of(saturday.days.begin(), saturday.days.end(), [](const AgendaDay& d) { return d.isToday; }));
}

TEST(AgendaWeek, CellsNamesAndColours) {
    std::vector<Teacher> teachers;
    for (int i = 0; i < 9; ++i) teachers.push_back({"T" + std::to_string(i), "Prof " + std::to_string(i), "1", ""});
    teachers[0].name = "Élodie Marie Durand";
    ScheduleConfig schedule{{{"Un", "08:00", "09:00"}, {"Deux", "09:00", "10:00"}},
                            {{"2024-W19_monday_0", "T0"}, {"2024-W19_friday_1", "GONE"}, {"2024-W19_tuesday_1", "T8"}}};
    const AgendaWeek week = agendaWeek(localNoon(2024, 5, 8), 0, schedule, teachers);
    ASSERT_EQ(week.rows.size(), 2u);
    EXPECT_EQ(week.rows[1].times, "09:00-10:00");
    const AgendaCell& booked = week.rows[0].cells[0];
    EXPECT_EQ(std::tie(booked.key, booked.text, booked.booked, booked.color),
              std::make_tuple(std::string("2024-W19_monday_0"), std::string("É. Durand"), true, 0));
    const AgendaCell& unknown = week.rows[1].cells[4];
    EXPECT_EQ(std::tie(unknown.text, unknown.booked, unknown.color), std::make_tuple(std::string("—"), true, -1));
    EXPECT_EQ(week.rows[1].cells[1].color, 0);  // the ninth teacher shares the first one's colour
    EXPECT_FALSE(week.rows[0].cells[1].booked);
    EXPECT_EQ(shortTeacherName("Yann"), "Yann");
    EXPECT_EQ(shortTeacherName("  Anne   Martin "), "A. Martin");
}

TEST(JournalView, FilterCountsAndTexts) {
    auto entry = [](AppLogLevel level, std::string message) { return AppLogEntry{"", 0, level, std::move(message)}; };
    const std::vector<AppLogEntry> entries{entry(AppLogLevel::info, "Serveur démarré"),
                                           entry(AppLogLevel::error, "Échec"),
                                           entry(AppLogLevel::warn, "Une Erreur passagère"),
                                           entry(AppLogLevel::debug, "PIN"),
                                           entry(AppLogLevel::info, "Café prêt"),
                                           entry(AppLogLevel::error, "x")};
    const std::pair<std::string, size_t> filters[] = {{"", 6},  {"err", 3}, {"ERR", 3},  {" ", 6},
                                                      {"é", 3}, {"e", 4},   {"warn", 1}, {"zzz", 0}};
    for (const auto& [filter, count] : filters) EXPECT_EQ(filteredEntries(entries, filter).size(), count) << filter;

    JournalView view = journalView(true, entries, "warn");
    EXPECT_EQ(std::tie(view.errors, view.warnings), std::make_tuple(int64_t(2), int64_t(1)));
    EXPECT_EQ(view.footer, "6 entrée(s)");
    EXPECT_EQ(view.footerFiltered, "· 1 résultat(s)");
    EXPECT_EQ(journalView(false, entries, "").content, JournalView::Content::off);
    view = journalView(true, {}, "abc");
    EXPECT_EQ(view.content, JournalView::Content::empty);
    EXPECT_EQ(view.emptyText, "Aucun résultat pour « abc ».");
    EXPECT_FALSE(view.canClearOrExport);
    EXPECT_EQ(journalView(true, {}, "").emptyText, "Aucune entrée pour l'instant.");
}

}  // namespace
}  // namespace klarion
