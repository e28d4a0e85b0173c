// Slot times ("08:05"): what is typed, the slot running now, and the end of
// a teacher's booked period today.
//
// Dates are read in the local time zone (TZ). Times are seconds since 1970;
// the functions that need "now" take it as an argument, defaulting to the
// current clock.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/state/records.h"
#include "app/state/week_keys.h"
#include "platform/clock.h"

namespace klarion {

// A typed time of day as "HH:MM", or none when it is not one ("8:5" -> "08:05",
// "830" -> "08:30", "24" -> none).
std::optional<std::string> normalizeTime(std::string_view text);
// normalizeTime(text) when it reads as a time, else the text as typed.
std::string timeOrText(const std::string& text);

// Minute of the day of "H:M" (pieces split at ":", empty ones dropped, exactly
// two decimal integers), computed without overflow; none when malformed.
std::optional<long long> slotMinute(std::string_view time);

// The reservation key of the first slot running at `now` (start included,
// end excluded) on a weekday, else none.
std::optional<std::string> currentSlotKey(const std::vector<SlotDefinition>& slots, double now = nowSeconds());

// The end (seconds since 1970) of the teacher's booked block of consecutive
// slot indexes that ends first after `now`, today; 0 when none, at weekends,
// or for no teacher.
double teacherSessionEnd(const std::optional<std::string>& teacherId, const std::vector<SlotDefinition>& slots,
                         const std::map<std::string, std::string>& reservations, double now = nowSeconds());
double teacherSessionEnd(const std::optional<std::string>& teacherId, const ScheduleConfig& schedule,
                         double now = nowSeconds());

}  // namespace klarion
