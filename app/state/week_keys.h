// Week keys ("2026-W01") and reservation keys ("2026-W01_monday_0").
//
// Dates are read in the local time zone (TZ).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace klarion {

// The ISO-8601 week of the local date: "%G-W%V" (week-numbering year, week).
std::string weekKey(double secondsSince1970);
// Local midnight starting the Monday of that week, or none for a malformed key.
std::optional<double> mondayOfWeekKey(std::string_view key);

// The school days of a week, Monday to Friday.
inline constexpr size_t kSchoolDays = 5;
// "monday" ... "friday" for 1 (Monday) ... 5 (Friday); empty otherwise.
std::string_view dayKey(int isoWeekday);
// weekKey + "_" + dayKey + "_" + slotIndex.
std::string reservationKey(std::string_view weekKey, std::string_view dayKey, size_t slotIndex);

}  // namespace klarion
