// The calendar JSON exchange: the daily slots, every reservation and the
// names of the teachers, saved to a file of the teacher's choice and loaded
// back, on this computer or another one. Teacher ids differ between
// installations, so the import translates them by teacher name. Results
// reach the panel through PanelState::importExportMessage /
// showImportExportAlert (alert "Calendrier").
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/state/exchange_files.h"
#include "app/state/panel_state.h"
#include "app/state/records.h"
#include "app/state/state_context.h"
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

// The export, on the thread of the dialog's completion: nothing when the
// dialog was cancelled; otherwise writes the file and posts
// calendarExportSucceeded or calendarExportFailed to the main queue.
void exportCalendarJSON(const StateContext& ctx, const std::shared_ptr<PanelState>& panel,
                        const SaveDestination& destination);
void calendarExportSucceeded(const StateContext& ctx, PanelState& panel, const std::filesystem::path& location);
void calendarExportFailed(const StateContext& ctx, PanelState& panel, const std::string& description);

// The import, main thread: reports a dialog error, an inaccessible or
// unreadable file and a document that is no object; says nothing when no
// file was chosen; otherwise reads the file and posts applyCalendarImport.
void importCalendarJSON(const StateContext& ctx, const std::shared_ptr<PanelState>& panel,
                        const OpenDialogResult& result);
// Main thread: replaces the slots when the import has some, writes each
// imported booking over the one of the same key (others stay), saves and
// reports.
void applyCalendarImport(const StateContext& ctx, PanelState& panel, const CalendarImport& imported);

}  // namespace klarion
