#include "app/state/week_keys.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <ctime>

#include "platform/clock.h"
#include "platform/numbers.h"
#include "platform/text.h"

namespace klarion {

std::string weekKey(double secondsSince1970) {
    const tm date = localCalendarTime(secondsSince1970);
    char text[32];
    return std::string(text, std::strftime(text, sizeof text, "%G-W%V", &date));
}

std::optional<double> mondayOfWeekKey(std::string_view key) {
    auto pieces = splitOmittingEmpty(key, '-');
    if (pieces.size() != 2) return std::nullopt;
    auto year = parseInteger(pieces[0]);
    if (!year) return std::nullopt;
    // Drop the first character, whatever it is: one user-perceived character,
    // so a letter with its combining accent or a flag goes as a whole. A
    // leading byte that is no UTF-8 counts as one character.
    std::string_view rest = pieces[1];
    const std::string first = characterPrefix(rest, 1);
    rest.remove_prefix(rest.starts_with(first) && !first.empty() ? first.size() : 1);
    auto week = parseInteger(rest);
    if (!week) return std::nullopt;
    // Monday of week 1 is the Monday on or before 4 January.
    using namespace std::chrono;
    const std::chrono::year calendarYear{static_cast<int>(std::clamp<long long>(*year, INT_MIN, INT_MAX))};
    if (*year != static_cast<int>(calendarYear) || !calendarYear.ok()) return std::nullopt;
    const int january4 = static_cast<int>(weekday{sys_days{calendarYear / January / 4}}.iso_encoding());
    long long day;
    if (__builtin_mul_overflow(*week - 1, 7LL, &day)) return std::nullopt;
    day += 4 - (january4 - 1);
    if (day < INT_MIN / 2 || day > INT_MAX / 2) return std::nullopt;
    tm date{};
    date.tm_year = static_cast<int>(*year - 1900);
    date.tm_mon = 0;
    date.tm_mday = static_cast<int>(day);
    date.tm_isdst = -1;
    time_t t = mktime(&date);
    if (t == static_cast<time_t>(-1)) return std::nullopt;
    return static_cast<double>(t);
}

std::string_view dayKey(int weekday) {
    static constexpr std::string_view keys[kSchoolDays] = {"monday", "tuesday", "wednesday", "thursday", "friday"};
    return weekday >= 1 && weekday <= static_cast<int>(kSchoolDays) ? keys[weekday - 1] : std::string_view{};
}

std::string reservationKey(std::string_view week, std::string_view day, size_t slotIndex) {
    std::string key(week);
    key += '_';
    key += day;
    key += '_';
    key += std::to_string(slotIndex);
    return key;
}

}  // namespace klarion
