#include "app/state/teachers_csv.h"

#include <algorithm>

#include "app/state/roster.h"
#include "platform/text.h"

namespace klarion {

namespace {

constexpr std::string_view byteOrderMark = "\xEF\xBB\xBF";

std::string csvNameField(const std::string& name) {
    if (name.find_first_of(",\"") == std::string::npos) return name;
    std::string field = "\"";
    for (char c : name) {
        if (c == '"') field += '"';
        field += c;
    }
    field += '"';
    return field;
}

void showCSVMessage(PanelState& panel, std::string message) {
    panel.teacherCSVMessage = std::move(message);
    panel.showTeacherCSVAlert = true;
}

}  // namespace

std::string teachersCSV(const std::vector<Teacher>& teachers) {
    std::string text = "nom,pin";
    for (const Teacher& teacher : teachers) {
        text += '\n';
        text += csvNameField(teacher.name);
        text += ',';
        text += teacher.pin;
    }
    return text;
}

std::vector<std::string> parseCSVLine(std::string_view line) {
    std::vector<std::string> fields;
    std::string current;
    bool inQuotes = false;
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (c == '"') {
            if (inQuotes && i + 1 < line.size() && line[i + 1] == '"') {
                current += '"';
                ++i;
            } else {
                inQuotes = !inQuotes;
            }
        } else if (c == ',' && !inQuotes) {
            fields.push_back(std::move(current));
            current.clear();
        } else {
            current += c;
        }
    }
    fields.push_back(std::move(current));
    return fields;
}

TeachersCSVMerge mergeTeachersCSV(std::vector<Teacher> roster, std::string_view text, double now) {
    if (text.starts_with(byteOrderMark)) text.remove_prefix(byteOrderMark.size());

    std::vector<std::string> lines;
    for (const std::string& piece : splitAtLineBreaks(text)) {
        std::string line = trimWhitespaceAndNewlines(piece);
        if (!line.empty()) lines.push_back(std::move(line));
    }
    size_t first = 0;
    if (!lines.empty() && lowercased(lines.front()).starts_with("nom")) first = 1;

    TeachersCSVMerge merge;
    merge.teachers = std::move(roster);
    for (size_t i = first; i < lines.size(); ++i) {
        std::vector<std::string> fields = parseCSVLine(lines[i]);
        std::string name = trimWhitespaceAndNewlines(fields[0]);
        if (name.empty()) {
            ++merge.skipped;
            continue;
        }
        std::string pinText = fields.size() >= 2 ? trimWhitespaceAndNewlines(fields[1]) : std::string();
        auto known = std::find_if(merge.teachers.begin(), merge.teachers.end(),
                                  [&](const Teacher& t) { return canonicallyEqual(t.name, name); });
        if (known != merge.teachers.end()) {
            if (!pinText.empty() && pinText != known->pin) {
                known->pin = pinText;
                ++merge.updated;
            } else {
                ++merge.skipped;
            }
        } else {
            std::string pin = pinText.empty() ? generatePin(6) : pinText;
            merge.teachers.push_back(makeTeacher(std::move(name), std::move(pin), now));
            ++merge.added;
        }
    }
    return merge;
}

void teachersCSVText(const StateContext& ctx, const std::shared_ptr<PanelState>& panel,
                     const SaveDestination& destination) {
    if (!destination) return;
    std::string text = teachersCSV(ctx.config->teachers());
    auto failure = writeExportFile(*destination, text);
    std::filesystem::path path = *destination;
    ctx.post([ctx, panel, path, failure] {
        if (failure) {
            csvExportFailed(ctx, *panel, failure->description);
        } else {
            csvExportSucceeded(ctx, *panel, path);
        }
    });
}

void csvExportSucceeded(const StateContext& ctx, PanelState& panel, const std::filesystem::path& destination) {
    std::string name = displayFileName(destination);
    showCSVMessage(panel, "Export réussi : " + std::to_string(ctx.config->teachers().size()) +
                              " enseignant(s) exporté(s) vers " + name);
    ctx.log("CSV enseignants exporté → " + name, AppLogLevel::info);
}

void csvExportFailed(const StateContext& ctx, PanelState& panel, const std::string& description) {
    showCSVMessage(panel, "Erreur d'export : " + description);
    ctx.log("Erreur export CSV : " + description, AppLogLevel::error);
}

void importTeachersCSV(const StateContext& ctx, const std::shared_ptr<PanelState>& panel,
                       const OpenDialogResult& result) {
    if (result.error) {
        showCSVMessage(*panel, "Erreur : " + *result.error);
        ctx.log("Erreur import CSV : " + *result.error, AppLogLevel::error);
        return;
    }
    if (result.files.empty()) return;
    ImportFileRead read = readImportFile(result.files.front());
    if (read.accessDenied) {
        showCSVMessage(*panel, "Impossible d'accéder au fichier sélectionné.");
        return;
    }
    if (!read.bytes || !isValidUTF8(*read.bytes)) {
        showCSVMessage(*panel, "Impossible de lire le fichier CSV.");
        return;
    }
    applyTeachersCSVImport(ctx, *panel, mergeTeachersCSV(ctx.config->teachers(), *read.bytes, ctx.now()));
}

void applyTeachersCSVImport(const StateContext& ctx, PanelState& panel, TeachersCSVMerge merge) {
    ctx.config->setTeachers(std::move(merge.teachers));
    ctx.saveRoster();
    showCSVMessage(panel, "Import terminé !\n" + std::to_string(merge.added) + " ajouté(s), " +
                              std::to_string(merge.updated) + " mis à jour, " + std::to_string(merge.skipped) +
                              " ignoré(s).");
    ctx.log("CSV enseignants importé : +" + std::to_string(merge.added) + " ajoutés, " +
                std::to_string(merge.updated) + " mis à jour",
            AppLogLevel::info);
}

}  // namespace klarion
