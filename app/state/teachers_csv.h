// The teachers CSV exchange: "nom,pin" then one line per teacher.
//
// Export writes the whole roster; import merges a file into the roster by
// teacher name (adds unknown names, replaces a known name's PIN when the file
// gives another one, never removes anyone). Results reach the panel through
// PanelState::teacherCSVMessage / showTeacherCSVAlert (alert "Import/Export
// CSV") and the journal. Everything here runs on the main thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/state/exchange_files.h"
#include "app/state/panel_state.h"
#include "app/state/records.h"
#include "app/state/state_context.h"

namespace klarion {

// The file's text: header "nom,pin", then name,PIN per teacher in roster
// order, lines joined with "\n" and no line break after the last. A name
// holding a comma or a double quote is enclosed in double quotes with its
// double quotes doubled, so that it reads back unchanged.
std::string teachersCSV(const std::vector<Teacher>& teachers);

// Splits one line into fields at the commas outside double quotes. Quotes
// toggle quoting wherever they stand and are dropped; "" inside quotes gives
// one quote. An empty line gives one empty field; fields are not trimmed.
std::vector<std::string> parseCSVLine(std::string_view line);

struct TeachersCSVMerge {
    std::vector<Teacher> teachers;  // the merged roster
    int64_t added = 0;
    int64_t updated = 0;
    int64_t skipped = 0;
};

// Merges the file's text (valid UTF-8; a leading byte-order mark is ignored)
// into a copy of `roster`. New teachers get a new id, the creation time
// `now`, and the file's PIN or a drawn 6-digit one. Names match when they are
// canonically equal after trimming.
TeachersCSVMerge mergeTeachersCSV(std::vector<Teacher> roster, std::string_view text, double now);

// The export: nothing when the dialog was cancelled; otherwise writes the
// file and posts csvExportSucceeded or csvExportFailed to the main queue.
void teachersCSVText(const StateContext& ctx, const std::shared_ptr<PanelState>& panel,
                     const SaveDestination& destination);
void csvExportSucceeded(const StateContext& ctx, PanelState& panel, const std::filesystem::path& destination);
void csvExportFailed(const StateContext& ctx, PanelState& panel, const std::string& description);

// The import: reports a dialog error, says nothing when no file was chosen,
// reports a file it cannot access or read; otherwise merges the file into the
// current roster and applies it in the same step (applyTeachersCSVImport).
void importTeachersCSV(const StateContext& ctx, const std::shared_ptr<PanelState>& panel,
                       const OpenDialogResult& result);
// Stores the merged roster, saves it and reports the counts.
void applyTeachersCSVImport(const StateContext& ctx, PanelState& panel, TeachersCSVMerge merge);

}  // namespace klarion
