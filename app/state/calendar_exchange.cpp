#include "app/state/calendar_exchange.h"

#include <algorithm>

#include "app/state/roster.h"
#include "app/state/week_keys.h"
#include "platform/text.h"

namespace klarion {

namespace {

void showCalendarMessage(PanelState& panel, std::string message) {
    panel.importExportMessage = std::move(message);
    panel.showImportExportAlert = true;
}

bool isObjectOfStrings(const Json& value) {
    if (!value.is_object()) return false;
    return std::all_of(value.begin(), value.end(), [](const Json& member) { return member.is_string(); });
}

// The member when it is an array of objects whose every member is a string.
const Json* arrayOfStringObjects(const Json& document, std::string_view key) {
    const Json* array = readArray(document, key);
    if (!array) return nullptr;
    if (!std::all_of(array->begin(), array->end(), isObjectOfStrings)) return nullptr;
    return array;
}

std::string timeOrText(const std::string& text) { return normalizeTime(text).value_or(text); }

}  // namespace

Json calendarExportDocument(const ScheduleConfig& schedule, const std::vector<Teacher>& teachers, double now) {
    Json document = Json::object();
    document["exportVersion"] = 1;
    document["exportDate"] = formatISO8601UTC(now);
    Json slots = Json::array();
    for (const SlotDefinition& slot : schedule.slotDefinitions) {
        slots.push_back(Json{{"label", slot.label}, {"start", slot.start}, {"end", slot.end}});
    }
    document["slotDefinitions"] = std::move(slots);
    Json reservations = Json::object();
    for (const auto& [key, teacherId] : schedule.reservations) reservations[key] = teacherId;
    document["reservations"] = std::move(reservations);
    Json list = Json::array();
    for (const Teacher& teacher : teachers) list.push_back(Json{{"id", teacher.id}, {"name", teacher.name}});
    document["teachers"] = std::move(list);
    return document;
}

std::string calendarJSONData(const ScheduleConfig& schedule, const std::vector<Teacher>& teachers, double now) {
    return dumpJson(calendarExportDocument(schedule, teachers, now), {.pretty = true, .sortKeys = true});
}

CalendarImport readCalendarImport(const Json& document, const std::vector<Teacher>& localTeachers) {
    CalendarImport imported;

    if (const Json* slots = arrayOfStringObjects(document, "slotDefinitions")) {
        for (const Json& element : *slots) {
            SlotDefinition slot{readString(element, "label").value_or("Créneau"),
                                readString(element, "start").value_or("08:00"),
                                readString(element, "end").value_or("09:00")};
            slot.start = timeOrText(slot.start);
            slot.end = timeOrText(slot.end);
            imported.slots.push_back(std::move(slot));
        }
    }

    const Json* reservations = readObject(document, "reservations");
    if (!reservations || !isObjectOfStrings(*reservations)) return imported;

    // File teacher id -> local teacher id, through equal names.
    std::map<std::string, std::string> localIdOf;
    if (const Json* fileTeachers = arrayOfStringObjects(document, "teachers")) {
        for (const Json& element : *fileTeachers) {
            auto id = readString(element, "id");
            auto name = readString(element, "name");
            if (!id || !name) continue;
            auto local = std::find_if(localTeachers.begin(), localTeachers.end(),
                                      [&](const Teacher& t) { return canonicallyEqual(t.name, *name); });
            if (local != localTeachers.end()) localIdOf[*id] = local->id;
        }
    }

    for (const auto& [key, value] : reservations->items()) {
        std::string teacherId = value.get<std::string>();
        auto mapped = localIdOf.find(teacherId);
        std::string target = mapped != localIdOf.end() ? mapped->second : teacherId;
        bool isLocal = std::any_of(localTeachers.begin(), localTeachers.end(),
                                   [&](const Teacher& t) { return t.id == target; });
        if (isLocal) imported.reservations[key] = target;
    }
    return imported;
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
        showCalendarMessage(*panel, "Erreur de lecture : Le fichier « " + displayFileName(file) +
                                        " » n'est pas au format JSON.");
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
