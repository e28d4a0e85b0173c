#include "app/state/records.h"

#include <variant>

namespace klarion {

ScheduleConfig ScheduleConfig::defaultSchedule() {
    return {{{"Matin 1", "08:00", "09:45"},
             {"Matin 2", "10:05", "11:45"},
             {"AM 1", "13:15", "15:00"},
             {"AM 2", "15:15", "17:00"}},
            {}};
}

std::string_view toString(SafetyAlertLevel level) {
    switch (level) {
        case SafetyAlertLevel::keyword: return "keyword";
        case SafetyAlertLevel::confirmed: return "confirmed";
        case SafetyAlertLevel::dismissed: return "dismissed";
    }
    return "keyword";
}

std::optional<SafetyAlertLevel> safetyAlertLevelFromString(std::string_view text) {
    for (auto level : {SafetyAlertLevel::keyword, SafetyAlertLevel::confirmed, SafetyAlertLevel::dismissed})
        if (toString(level) == text) return level;
    return std::nullopt;
}

SupervisionLevel supervisionLevelOf(std::string_view text) {
    return text == "questions" ? SupervisionLevel::questions : SupervisionLevel::questionsAnswers;
}

AppMode appModeOf(std::string_view text) {
    if (text == "individual") return AppMode::individual;
    if (text == "establishment") return AppMode::establishment;
    return AppMode::other;
}

std::string_view toString(AppLogLevel level) {
    switch (level) {
        case AppLogLevel::info: return "INFO";
        case AppLogLevel::warn: return "WARN";
        case AppLogLevel::error: return "ERR ";
        case AppLogLevel::debug: return "DBG ";
    }
    return "INFO";
}

std::optional<AppLogLevel> appLogLevelFromString(std::string_view text) {
    for (AppLogLevel level : {AppLogLevel::info, AppLogLevel::warn, AppLogLevel::error, AppLogLevel::debug})
        if (toString(level) == text) return level;
    return std::nullopt;
}

namespace {

// A stored record's members in their fixed order: the JSON key and the
// member, a string or a boolean.
template <class Record>
struct Member {
    const char* key;
    std::variant<std::string Record::*, bool Record::*> field;
};

template <class Record, size_t N>
Json encode(const Record& record, const Member<Record> (&members)[N]) {
    Json j = Json::object();
    for (const auto& member : members) std::visit([&](auto field) { j[member.key] = record.*field; }, member.field);
    return j;
}

// Takes the keys in the record's order and stops at the first failure.
template <class Record, size_t N>
std::optional<Record> decode(const Json& j, const Member<Record> (&members)[N]) {
    Record record;
    for (const auto& member : members) {
        bool ok = false;
        if (auto* text = std::get_if<std::string Record::*>(&member.field)) {
            auto value = readString(j, member.key);
            if ((ok = value.has_value())) record.** text = std::move(*value);
        } else {
            auto value = readBool(j, member.key);
            if ((ok = value.has_value())) record.*std::get<bool Record::*>(member.field) = *value;
        }
        if (!ok) return std::nullopt;
    }
    return record;
}

const Member<Teacher> kTeacherMembers[] = {
    {"id", &Teacher::id}, {"name", &Teacher::name}, {"pin", &Teacher::pin}, {"createdAt", &Teacher::createdAt}};
const Member<TeacherConfig> kTeacherConfigMembers[] = {{"audience", &TeacherConfig::audience},
                                                       {"customMission", &TeacherConfig::customMission},
                                                       {"requiresPin", &TeacherConfig::requiresPin},
                                                       {"pinCode", &TeacherConfig::pinCode},
                                                       {"isSupervisionActive", &TeacherConfig::isSupervisionActive},
                                                       {"supervisionLevel", &TeacherConfig::supervisionLevel}};
const Member<SlotDefinition> kSlotMembers[] = {
    {"label", &SlotDefinition::label}, {"start", &SlotDefinition::start}, {"end", &SlotDefinition::end}};

}  // namespace

Json toJson(const Teacher& t) { return encode(t, kTeacherMembers); }
Json toJson(const TeacherConfig& c) { return encode(c, kTeacherConfigMembers); }
Json toJson(const SlotDefinition& s) { return encode(s, kSlotMembers); }

Json toJson(const ScheduleConfig& s) {
    Json slots = Json::array();
    for (const auto& slot : s.slotDefinitions) slots.push_back(toJson(slot));
    Json reservations = Json::object();
    for (const auto& [key, teacherId] : s.reservations) reservations[key] = teacherId;
    Json j = Json::object();
    j["slotDefinitions"] = std::move(slots);
    j["reservations"] = std::move(reservations);
    return j;
}

Json toJson(const std::vector<Teacher>& teachers) {
    Json j = Json::array();
    for (const auto& t : teachers) j.push_back(toJson(t));
    return j;
}

std::optional<Teacher> teacherFromJson(const Json& j) { return decode(j, kTeacherMembers); }
std::optional<TeacherConfig> teacherConfigFromJson(const Json& j) { return decode(j, kTeacherConfigMembers); }
std::optional<SlotDefinition> slotDefinitionFromJson(const Json& j) { return decode(j, kSlotMembers); }

std::optional<ScheduleConfig> scheduleConfigFromJson(const Json& j) {
    const Json* slots = readArray(j, "slotDefinitions");
    if (!slots) return std::nullopt;
    ScheduleConfig schedule;
    for (const Json& element : *slots) {
        auto slot = slotDefinitionFromJson(element);
        if (!slot) return std::nullopt;
        schedule.slotDefinitions.push_back(std::move(*slot));
    }
    const Json* reservations = readObject(j, "reservations");
    if (!reservations) return std::nullopt;
    for (auto it = reservations->begin(); it != reservations->end(); ++it) {
        auto teacherId = jsonString(it.value());
        if (!teacherId) return std::nullopt;
        schedule.reservations[it.key()] = *teacherId;
    }
    return schedule;
}

std::optional<std::vector<Teacher>> teachersFromJson(const Json& j) {
    if (!j.is_array()) return std::nullopt;
    std::vector<Teacher> teachers;
    for (const Json& element : j) {
        auto teacher = teacherFromJson(element);
        if (!teacher) return std::nullopt;
        teachers.push_back(std::move(*teacher));
    }
    return teachers;
}

}  // namespace klarion
