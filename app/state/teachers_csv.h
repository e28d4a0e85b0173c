// The teachers CSV exchange: "nom,pin" then one line per teacher.
//
// Export writes the whole roster; import merges a file into the roster by
// teacher name (adds unknown names, replaces a known name's PIN when the file
// gives another one, never removes anyone). The panel's dialogs
// (ui/panel/exchange_dialogs.h) read and write the files and report.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/state/records.h"

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

}  // namespace klarion
