#include "ui/panel/exchange_dialogs.h"

#include "app/state/exchange_files.h"
#include "platform/json.h"
#include "platform/text.h"

namespace klarion {

namespace {

void showCSVMessage(PanelState& panel, std::string message) {
    panel.teacherCSVMessage = std::move(message);
    panel.showTeacherCSVAlert = true;
}

void showCalendarMessage(PanelState& panel, std::string message) {
    panel.importExportMessage = std::move(message);
    panel.showImportExportAlert = true;
}

}  // namespace

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
    ctx.log("CSV enseignants importé : +" + std::to_string(merge.added) + " ajoutés, " + std::to_string(merge.updated) +
                " mis à jour",
            AppLogLevel::info);
}

void exportCalendarJSON(const StateContext& ctx, const std::shared_ptr<PanelState>& panel,
                        const SaveDestination& destination) {
    if (!destination) return;
    AppConfig::Values current = ctx.config->snapshot();
    std::string bytes = calendarJSONData(current.scheduleConfig, current.teachers, ctx.now());
    auto failure = writeExportFile(*destination, bytes);
    std::filesystem::path location = *destination;
    ctx.post([ctx, panel, location, failure] {
        if (failure) {
            calendarExportFailed(ctx, *panel, failure->description);
        } else {
            calendarExportSucceeded(ctx, *panel, location);
        }
    });
}

void calendarExportSucceeded(const StateContext& ctx, PanelState& panel, const std::filesystem::path& location) {
    std::string name = displayFileName(location);
    showCalendarMessage(panel, "Calendrier exporté avec succès vers :\n" + name);
    ctx.log("Calendrier exporté → " + name, AppLogLevel::info);
}

void calendarExportFailed(const StateContext& ctx, PanelState& panel, const std::string& description) {
    showCalendarMessage(panel, "Erreur lors de l'export : " + description);
    ctx.log("Erreur export calendrier : " + description, AppLogLevel::error);
}

void importCalendarJSON(const StateContext& ctx, const std::shared_ptr<PanelState>& panel,
                        const OpenDialogResult& result) {
    if (result.error) {
        showCalendarMessage(*panel, "Erreur : " + *result.error);
        return;
    }
    if (result.files.empty()) return;
    const std::filesystem::path& file = result.files.front();
    ImportFileRead read = readImportFile(file);
    if (read.accessDenied) {
        showCalendarMessage(*panel, "Impossible d'accéder au fichier sélectionné.");
        return;
    }
    if (!read.bytes) {
        showCalendarMessage(*panel, "Erreur de lecture : " + read.errorDescription);
        return;
    }
    std::optional<Json> document = parseJson(*read.bytes);
    if (!document) {
        showCalendarMessage(
            *panel, "Erreur de lecture : Le fichier « " + displayFileName(file) + " » n'est pas au format JSON.");
        return;
    }
    if (!document->is_object()) {
        showCalendarMessage(*panel, "Le fichier n'est pas un JSON valide.");
        return;
    }
    CalendarImport imported = readCalendarImport(*document, ctx.config->teachers());
    ctx.post([ctx, panel, imported = std::move(imported)] { applyCalendarImport(ctx, *panel, imported); });
}

void applyCalendarImport(const StateContext& ctx, PanelState& panel, const CalendarImport& imported) {
    ctx.config->update([&](AppConfig::Values& v) {
        if (!imported.slots.empty()) v.scheduleConfig.slotDefinitions = imported.slots;
        for (const auto& [key, teacherId] : imported.reservations) v.scheduleConfig.reservations[key] = teacherId;
    });
    ctx.saveSchedule();
    showCalendarMessage(panel, "Import réussi !\n" + std::to_string(imported.slots.size()) + " créneaux et " +
                                   std::to_string(imported.reservations.size()) + " réservation(s) importé(s).");
    ctx.log("Calendrier importé : " + std::to_string(imported.slots.size()) + " créneaux", AppLogLevel::info);
}

}  // namespace klarion
