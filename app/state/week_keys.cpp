#include "app/state/week_keys.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "platform/text.h"

namespace klarion {

namespace {

// Splits at `separator`, dropping empty pieces; after `maxSplits` pieces the
// rest of the text is one more piece (empty pieces never count as splits).
std::vector<std::string_view> splitOmittingEmpty(std::string_view s, char separator,
                                                 size_t maxSplits = SIZE_MAX) {
    std::vector<std::string_view> pieces;
    size_t start = 0, i = 0;
    for (; i < s.size(); ++i) {
        if (s[i] != separator) continue;
        bool appended = i > start;
        if (appended) pieces.push_back(s.substr(start, i - start));
        start = i + 1;
        if (appended && pieces.size() == maxSplits) break;
    }
    if (start < s.size()) pieces.push_back(s.substr(start));
    return pieces;
}

// A decimal integer: an optional "+" or "-", then one or more digits; none on overflow.
std::optional<long long> parseInteger(std::string_view s) {
    bool negative = false;
    if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
        negative = s[0] == '-';
        s.remove_prefix(1);
    }
    if (s.empty()) return std::nullopt;
    long long value = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        int digit = c - '0';
        if (__builtin_mul_overflow(value, 10, &value) ||
            __builtin_add_overflow(value, negative ? -digit : digit, &value))
            return std::nullopt;
    }
    return value;
}

tm localDate(double seconds) {
    time_t t = static_cast<time_t>(std::floor(seconds));
    tm local{};
    localtime_r(&t, &local);
    return local;
}

int isoWeekday(const tm& date) { return date.tm_wday == 0 ? 7 : date.tm_wday; }

// Days since 1970-01-01 of a proleptic Gregorian date.
long long daysFromCivil(long long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
}

// ISO weekday (1 = Monday) of a date.
int isoWeekdayOf(long long y, unsigned m, unsigned d) {
    long long days = daysFromCivil(y, m, d);  // 1970-01-01 was a Thursday
    return static_cast<int>(((days % 7) + 7 + 3) % 7) + 1;
}

int isoWeeksInYear(long long year) {
    int jan1 = isoWeekdayOf(year, 1, 1);
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return (jan1 == 4 || (leap && jan1 == 3)) ? 53 : 52;
}

int minuteOfDay(const tm& date) { return date.tm_hour * 60 + date.tm_min; }

bool isSchoolDay(const tm& date) { return date.tm_wday >= 1 && date.tm_wday <= 5; }

std::string weekKeyOf(const tm& date) {
    long long year = date.tm_year + 1900LL;
    int week = (date.tm_yday + 1 - isoWeekday(date) + 10) / 7;
    if (week < 1) {
        --year;
        week = isoWeeksInYear(year);
    } else if (week > isoWeeksInYear(year)) {
        ++year;
        week = 1;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%04lld-W%02d", year, week);
    return text;
}

}  // namespace

std::string weekKey(double secondsSince1970) { return weekKeyOf(localDate(secondsSince1970)); }

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
    if (*year < INT_MIN + 1900LL || *year > INT_MAX) return std::nullopt;
    long long day;
    if (__builtin_mul_overflow(*week - 1, 7LL, &day)) return std::nullopt;
    day += 4 - (isoWeekdayOf(*year, 1, 4) - 1);
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
    static constexpr std::string_view keys[] = {"monday", "tuesday", "wednesday", "thursday", "friday"};
    return weekday >= 1 && weekday <= 5 ? keys[weekday - 1] : std::string_view{};
}

std::string reservationKey(std::string_view week, std::string_view day, size_t slotIndex) {
    std::string key(week);
    key += '_';
    key += day;
    key += '_';
    key += std::to_string(slotIndex);
    return key;
}

namespace {
struct SlotTime {
    long long hours, minutes, minuteOfDay;
};

// "H:M" split at ":" (empty pieces dropped) into exactly two decimal
// integers; none when malformed or when the minute of the day does not fit.
std::optional<SlotTime> parseSlotTime(std::string_view time) {
    auto pieces = splitOmittingEmpty(time, ':');
    if (pieces.size() != 2) return std::nullopt;
    auto hours = parseInteger(pieces[0]);
    auto minutes = parseInteger(pieces[1]);
    if (!hours || !minutes) return std::nullopt;
    long long total;
    if (__builtin_mul_overflow(*hours, 60LL, &total) || __builtin_add_overflow(total, *minutes, &total))
        return std::nullopt;
    return SlotTime{*hours, *minutes, total};
}
}  // namespace

std::optional<long long> slotMinute(std::string_view time) {
    auto parsed = parseSlotTime(time);
    return parsed ? std::optional<long long>(parsed->minuteOfDay) : std::nullopt;
}

std::optional<std::string> currentSlotKey(const std::vector<SlotDefinition>& slots, double now) {
    tm date = localDate(now);
    if (!isSchoolDay(date)) return std::nullopt;
    long long minute = minuteOfDay(date);
    for (size_t i = 0; i < slots.size(); ++i) {
        auto start = slotMinute(slots[i].start);
        auto end = slotMinute(slots[i].end);
        if (!start || !end || minute < *start) continue;
        if (minute < *end) return reservationKey(weekKeyOf(date), dayKey(date.tm_wday), i);
    }
    return std::nullopt;
}

double teacherSessionEnd(const std::optional<std::string>& teacherId, const std::vector<SlotDefinition>& slots,
                         const std::map<std::string, std::string>& reservations, double now) {
    if (!teacherId) return 0;
    tm date = localDate(now);
    if (!isSchoolDay(date)) return 0;
    const std::string week = weekKeyOf(date);
    const std::string_view day = dayKey(date.tm_wday);

    // The teacher's slots of today, cut into blocks of consecutive indexes;
    // only the last slot of each block matters.
    std::vector<size_t> blockEnds;
    bool previousHeld = false;
    for (size_t i = 0; i < slots.size(); ++i) {
        auto it = reservations.find(reservationKey(week, day, i));
        bool held = it != reservations.end() && it->second == *teacherId;
        if (held && previousHeld) blockEnds.back() = i;
        else if (held) blockEnds.push_back(i);
        previousHeld = held;
    }

    long long minute = minuteOfDay(date);
    for (size_t last : blockEnds) {
        auto end = parseSlotTime(slots[last].end);
        if (!end || minute >= end->minuteOfDay) continue;
        if (end->hours < INT_MIN / 2 || end->hours > INT_MAX / 2 || end->minutes < INT_MIN / 2 ||
            end->minutes > INT_MAX / 2)
            return 0;  // no such date
        tm at = date;
        at.tm_hour = static_cast<int>(end->hours);
        at.tm_min = static_cast<int>(end->minutes);
        at.tm_sec = 0;
        at.tm_isdst = -1;
        time_t t = mktime(&at);
        return t == static_cast<time_t>(-1) ? 0 : static_cast<double>(t);
    }
    return 0;
}

double teacherSessionEnd(const std::optional<std::string>& teacherId, const ScheduleConfig& schedule, double now) {
    return teacherSessionEnd(teacherId, schedule.slotDefinitions, schedule.reservations, now);
}

std::optional<std::string> normalizeTime(std::string_view text) {
    const std::string trimmed = trimWhitespace(text);
    char out[16];
    if (trimmed.find(':') != std::string::npos) {
        auto pieces = splitOmittingEmpty(trimmed, ':', 1);
        if (pieces.size() != 2) return std::nullopt;
        auto hours = parseInteger(pieces[0]);
        auto minutes = parseInteger(pieces[1]);
        if (!hours || !minutes || *hours < 0 || *hours > 23 || *minutes < 0 || *minutes > 59) return std::nullopt;
        std::snprintf(out, sizeof out, "%02d:%02d", static_cast<int>(*hours), static_cast<int>(*minutes));
        return std::string(out);
    }
    if (trimmed.empty()) return std::nullopt;
    auto v = parseInteger(trimmed);
    if (!v) return std::nullopt;
    if (*v <= 99) {
        if (*v < 0 || *v > 23) return std::nullopt;
        std::snprintf(out, sizeof out, "%02d:00", static_cast<int>(*v));
        return std::string(out);
    }
    if (*v > 2399 || *v % 100 > 59) return std::nullopt;
    std::snprintf(out, sizeof out, "%02d:%02d", static_cast<int>(*v / 100), static_cast<int>(*v % 100));
    return std::string(out);
}

}  // namespace klarion
