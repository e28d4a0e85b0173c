#include "app/state/slot_times.h"

#include <climits>
#include <cstdio>
#include <ctime>

#include "platform/numbers.h"
#include "platform/text.h"

namespace klarion {

namespace {

int minuteOfDay(const tm& date) { return date.tm_hour * 60 + date.tm_min; }

bool isSchoolDay(const tm& date) { return date.tm_wday >= 1 && date.tm_wday <= 5; }

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

std::string hoursAndMinutes(long long hours, long long minutes) {
    char out[16];
    std::snprintf(out, sizeof out, "%02d:%02d", static_cast<int>(hours), static_cast<int>(minutes));
    return out;
}

}  // namespace

std::optional<long long> slotMinute(std::string_view time) {
    auto parsed = parseSlotTime(time);
    return parsed ? std::optional<long long>(parsed->minuteOfDay) : std::nullopt;
}

std::optional<std::string> currentSlotKey(const std::vector<SlotDefinition>& slots, double now) {
    const tm date = localCalendarTime(now);
    if (!isSchoolDay(date)) return std::nullopt;
    long long minute = minuteOfDay(date);
    for (size_t i = 0; i < slots.size(); ++i) {
        auto start = slotMinute(slots[i].start);
        auto end = slotMinute(slots[i].end);
        if (!start || !end || minute < *start) continue;
        if (minute < *end) return reservationKey(weekKey(now), dayKey(date.tm_wday), i);
    }
    return std::nullopt;
}

double teacherSessionEnd(const std::optional<std::string>& teacherId, const std::vector<SlotDefinition>& slots,
                         const std::map<std::string, std::string>& reservations, double now) {
    if (!teacherId) return 0;
    const tm date = localCalendarTime(now);
    if (!isSchoolDay(date)) return 0;
    const std::string week = weekKey(now);
    const std::string_view day = dayKey(date.tm_wday);

    // The teacher's slots of today, cut into blocks of consecutive indexes;
    // only the last slot of each block matters.
    std::vector<size_t> blockEnds;
    bool previousHeld = false;
    for (size_t i = 0; i < slots.size(); ++i) {
        auto it = reservations.find(reservationKey(week, day, i));
        bool held = it != reservations.end() && it->second == *teacherId;
        if (held && previousHeld)
            blockEnds.back() = i;
        else if (held)
            blockEnds.push_back(i);
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
    const std::string trimmed = trimBlanks(text);
    if (trimmed.find(':') != std::string::npos) {
        auto pieces = splitOmittingEmpty(trimmed, ':', 1);
        if (pieces.size() != 2) return std::nullopt;
        auto hours = parseInteger(pieces[0]);
        auto minutes = parseInteger(pieces[1]);
        if (!hours || !minutes || *hours < 0 || *hours > 23 || *minutes < 0 || *minutes > 59) return std::nullopt;
        return hoursAndMinutes(*hours, *minutes);
    }
    if (trimmed.empty()) return std::nullopt;
    auto v = parseInteger(trimmed);
    if (!v) return std::nullopt;
    if (*v <= 99) {
        if (*v < 0 || *v > 23) return std::nullopt;
        return hoursAndMinutes(*v, 0);
    }
    if (*v > 2399 || *v % 100 > 59) return std::nullopt;
    return hoursAndMinutes(*v / 100, *v % 100);
}

std::string timeOrText(const std::string& text) { return normalizeTime(text).value_or(text); }

}  // namespace klarion
