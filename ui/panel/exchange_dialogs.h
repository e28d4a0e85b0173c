// The panel's teachers CSV and calendar JSON dialogs: what happens once the
// teacher has chosen a file (or cancelled), and the French messages of the
// alerts "Import/Export CSV" (PanelState::teacherCSVMessage /
// showTeacherCSVAlert) and "Calendrier" (PanelState::importExportMessage /
// showImportExportAlert). The file formats live in app/state
// (teachers_csv.h, calendar_exchange.h). Main thread unless said otherwise.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "app/state/calendar_exchange.h"
#include "app/state/state_context.h"
#include "app/state/teachers_csv.h"
#include "ui/panel/dialog_results.h"
#include "ui/panel/panel_state.h"

namespace klarion {

// The CSV export: nothing when the dialog was cancelled; otherwise writes the
// file and posts csvExportSucceeded or csvExportFailed to the main queue.
void teachersCSVText(const StateContext& ctx, const std::shared_ptr<PanelState>& panel,
                     const SaveDestination& destination);
void csvExportSucceeded(const StateContext& ctx, PanelState& panel, const std::filesystem::path& destination);
void csvExportFailed(const StateContext& ctx, PanelState& panel, const std::string& description);

// The CSV import: reports a dialog error, says nothing when no file was
// chosen, reports a file it cannot access or read; otherwise merges the file
// into the current roster and applies it in the same step.
void importTeachersCSV(const StateContext& ctx, const std::shared_ptr<PanelState>& panel,
                       const OpenDialogResult& result);
// Stores the merged roster, saves it and reports the counts.
void applyTeachersCSVImport(const StateContext& ctx, PanelState& panel, TeachersCSVMerge merge);

// The calendar export, on the thread of the dialog's completion: nothing when
// the dialog was cancelled; otherwise writes the file and posts
// calendarExportSucceeded or calendarExportFailed to the main queue.
void exportCalendarJSON(const StateContext& ctx, const std::shared_ptr<PanelState>& panel,
                        const SaveDestination& destination);
void calendarExportSucceeded(const StateContext& ctx, PanelState& panel, const std::filesystem::path& location);
void calendarExportFailed(const StateContext& ctx, PanelState& panel, const std::string& description);

// The calendar import: reports a dialog error, an inaccessible or unreadable
// file and a document that is no object; says nothing when no file was
// chosen; otherwise reads the file and posts applyCalendarImport.
void importCalendarJSON(const StateContext& ctx, const std::shared_ptr<PanelState>& panel,
                        const OpenDialogResult& result);
// Replaces the slots when the import has some, writes each imported booking
// over the one of the same key (others stay), saves and reports.
void applyCalendarImport(const StateContext& ctx, PanelState& panel, const CalendarImport& imported);

}  // namespace klarion
