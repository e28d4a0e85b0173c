#include "ui/panel/agenda.h"

#include <algorithm>
#include <ctime>
#include <sstream>

#include "app/state/week_keys.h"

namespace klarion {

namespace {

constexpr const char* weekdayNames[5] = {"Lundi", "Mardi", "Mercredi", "Jeudi", "Vendredi"};
constexpr const char* frenchMonths[12] = {"janv.", "févr.", "mars",  "avr.", "mai",  "juin",
                                          "juil.", "août",  "sept.", "oct.", "nov.", "déc."};

std::tm localDate(double seconds) {
    const time_t t = static_cast<time_t>(seconds);
    std::tm local{};
    localtime_r(&t, &local);
    return local;
}

// `seconds` moved by whole days in the local calendar (a DST change keeps the time of day).
double addDays(double seconds, int days) {
    std::tm local = localDate(seconds);
    local.tm_mday += days;
    local.tm_isdst = -1;
    return static_cast<double>(mktime(&local));
}

std::string twoDigits(int value) { return (value < 10 ? "0" : "") + std::to_string(value); }

std::string dayMonthName(const std::tm& date) { return twoDigits(date.tm_mday) + " " + frenchMonths[date.tm_mon]; }

bool sameDay(const std::tm& a, const std::tm& b) { return a.tm_year == b.tm_year && a.tm_yday == b.tm_yday; }

}  // namespace

const char* const teacherPalette[8] = {"#007aff", "#ff9500", "#af52de", "#34c759",
                                       "#ff2d55", "#30b0c7", "#5856d6", "#00c7be"};

std::string shortTeacherName(const std::string& name) {
    std::vector<std::string> words;
    std::istringstream in(name);
    std::string word;
    while (std::getline(in, word, ' ')) {
        if (!word.empty()) words.push_back(word);
    }
    if (words.size() < 2) return name;
    // The first character, a whole UTF-8 sequence.
    size_t length = 1;
    while (length < words.front().size() && (static_cast<unsigned char>(words.front()[length]) & 0xC0) == 0x80)
        ++length;
    return words.front().substr(0, length) + ". " + words.back();
}

int teacherColor(const std::string& teacherId, const std::vector<Teacher>& teachers) {
    for (size_t i = 0; i < teachers.size(); ++i) {
        if (teachers[i].id == teacherId) return static_cast<int>(i % 8);
    }
    return -1;
}

AgendaWeek agendaWeek(double now, int weekOffset, const ScheduleConfig& schedule,
                      const std::vector<Teacher>& teachers) {
    AgendaWeek week;
    week.weekKey = weekKey(addDays(now, 7 * weekOffset));
    const double monday = mondayOfWeekKey(week.weekKey).value_or(now);
    const std::tm today = localDate(now);
    for (int d = 0; d < 5; ++d) {
        const std::tm date = localDate(addDays(monday, d));
        week.days.push_back(
            {weekdayNames[d], twoDigits(date.tm_mday) + "/" + twoDigits(date.tm_mon + 1), sameDay(date, today)});
    }
    week.label = dayMonthName(localDate(monday)) + " — " + dayMonthName(localDate(addDays(monday, 4))) + " (" +
                 week.weekKey + ")";
    for (size_t s = 0; s < schedule.slotDefinitions.size(); ++s) {
        const SlotDefinition& slot = schedule.slotDefinitions[s];
        AgendaSlotRow row{slot.label, slot.start + "-" + slot.end, {}};
        for (int d = 0; d < 5; ++d) {
            AgendaCell cell{reservationKey(week.weekKey, dayKey(d + 1), s), "—", false, -1};
            if (auto booking = schedule.reservations.find(cell.key); booking != schedule.reservations.end()) {
                cell.booked = true;
                cell.color = teacherColor(booking->second, teachers);
                auto teacher = std::find_if(teachers.begin(), teachers.end(),
                                            [&](const Teacher& t) { return t.id == booking->second; });
                if (teacher != teachers.end()) cell.text = shortTeacherName(teacher->name);
            }
            row.cells.push_back(std::move(cell));
        }
        week.rows.push_back(std::move(row));
    }
    return week;
}

}  // namespace klarion
