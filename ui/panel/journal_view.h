// The journal window without a window: which entries show under a filter,
// the level counts, and the texts of its states and footer.
#pragma once

#include <string>
#include <vector>

#include "app/state/records.h"

namespace klarion {

// Entries whose message or level text holds `filter`, both lower-cased
// (accents count; the filter is not trimmed). An empty filter keeps all.
std::vector<AppLogEntry> filteredEntries(const std::vector<AppLogEntry>& entries, const std::string& filter);

struct JournalView {
    enum class Content { off, empty, list } content;
    std::vector<AppLogEntry> shown;
    int64_t errors = 0, warnings = 0;  // over all entries
    bool canClearOrExport;             // the journal holds entries
    std::string emptyText;             // "Aucune entrée…" or "Aucun résultat pour « … »."
    std::string footer;                // "N entrée(s)"
    std::string footerFiltered;        // "· M résultat(s)", empty without a filter
};
JournalView journalView(bool enabled, const std::vector<AppLogEntry>& entries, const std::string& filter);

}  // namespace klarion
