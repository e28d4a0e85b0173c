#include "app/state/calendar_exchange.h"

#include <algorithm>

#include "app/state/roster.h"
#include "app/state/slot_times.h"
#include "platform/text.h"

namespace klarion {

namespace {

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
        bool isLocal =
            std::any_of(localTeachers.begin(), localTeachers.end(), [&](const Teacher& t) { return t.id == target; });
        if (isLocal) imported.reservations[key] = target;
    }
    return imported;
}

}  // namespace klarion
