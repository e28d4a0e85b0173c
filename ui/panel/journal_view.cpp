#include "ui/panel/journal_view.h"

#include "platform/text.h"

namespace klarion {

std::vector<AppLogEntry> filteredEntries(const std::vector<AppLogEntry>& entries, const std::string& filter) {
    if (filter.empty()) return entries;
    const std::string needle = lowercased(filter);
    std::vector<AppLogEntry> kept;
    for (const AppLogEntry& entry : entries) {
        if (lowercased(entry.message).find(needle) != std::string::npos ||
            lowercased(toString(entry.level)).find(needle) != std::string::npos) {
            kept.push_back(entry);
        }
    }
    return kept;
}

JournalView journalView(bool enabled, const std::vector<AppLogEntry>& entries, const std::string& filter) {
    JournalView view;
    view.shown = filteredEntries(entries, filter);
    for (const AppLogEntry& entry : entries) {
        view.errors += entry.level == AppLogLevel::error;
        view.warnings += entry.level == AppLogLevel::warn;
    }
    view.content = !enabled             ? JournalView::Content::off
                   : view.shown.empty() ? JournalView::Content::empty
                                        : JournalView::Content::list;
    view.canClearOrExport = !entries.empty();
    view.emptyText = filter.empty() ? "Aucune entrée pour l'instant." : "Aucun résultat pour « " + filter + " ».";
    view.footer = std::to_string(entries.size()) + " entrée(s)";
    if (!filter.empty()) view.footerFiltered = "· " + std::to_string(view.shown.size()) + " résultat(s)";
    return view;
}

}  // namespace klarion
