// The calendar JSON exchange: the daily slots, every reservation and the
// names of the teachers, saved to a file of the teacher's choice and loaded
// back, on this computer or another one. Teacher ids differ between
// installations, so the import translates them by teacher name. The panel's
// dialogs (ui/panel/exchange_dialogs.h) read and write the files and report.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "app/state/records.h"
#include "platform/json.h"

namespace klarion {

// {"exportDate", "exportVersion": 1, "reservations", "slotDefinitions",
// "teachers": [{"id", "name"}]}: the whole schedule and every teacher's id
// and name (no PIN), the export time `now` as an ISO 8601 date-time in UTC.
Json calendarExportDocument(const ScheduleConfig& schedule, const std::vector<Teacher>& teachers, double now);
// The document pretty-printed with the keys of every object sorted.
std::string calendarJSONData(const ScheduleConfig& schedule, const std::vector<Teacher>& teachers, double now);

struct CalendarImport {
    std::vector<SlotDefinition> slots;                // empty: keep the current slots
    std::map<std::string, std::string> reservations;  // key -> local teacher id
};

// Reads an import document against the local roster: the slots of a usable
// "slotDefinitions" (times normalised where they read as times), and the
// reservations of a usable "reservations" whose teacher is local, directly
// or through a file teacher of the same name.
CalendarImport readCalendarImport(const Json& document, const std::vector<Teacher>& localTeachers);

}  // namespace klarion
