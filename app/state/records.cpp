#include "app/state/records.h"

namespace klarion {

ScheduleConfig ScheduleConfig::defaultSchedule() {
    return {{{"Matin 1", "08:00", "09:45"},
             {"Matin 2", "10:05", "11:45"},
             {"AM 1", "13:15", "15:00"},
             {"AM 2", "15:15", "17:00"}},
            {}};
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

Json toJson(const Teacher& t) {
    Json j = Json::object();
    j["id"] = t.id;
    j["name"] = t.name;
    j["pin"] = t.pin;
    j["createdAt"] = t.createdAt;
    return j;
}

Json toJson(const TeacherConfig& c) {
    Json j = Json::object();
    j["audience"] = c.audience;
    j["customMission"] = c.customMission;
    j["requiresPin"] = c.requiresPin;
    j["pinCode"] = c.pinCode;
    j["isSupervisionActive"] = c.isSupervisionActive;
    j["supervisionLevel"] = c.supervisionLevel;
    return j;
}

Json toJson(const SlotDefinition& s) {
    Json j = Json::object();
    j["label"] = s.label;
    j["start"] = s.start;
    j["end"] = s.end;
    return j;
}

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

// Each reader takes the keys in the record's order and stops at the first failure.
std::optional<Teacher> teacherFromJson(const Json& j) {
    auto id = readString(j, "id");
    if (!id) return std::nullopt;
    auto name = readString(j, "name");
    if (!name) return std::nullopt;
    auto pin = readString(j, "pin");
    if (!pin) return std::nullopt;
    auto createdAt = readString(j, "createdAt");
    if (!createdAt) return std::nullopt;
    return Teacher{*id, *name, *pin, *createdAt};
}

std::optional<TeacherConfig> teacherConfigFromJson(const Json& j) {
    auto audience = readString(j, "audience");
    if (!audience) return std::nullopt;
    auto customMission = readString(j, "customMission");
    if (!customMission) return std::nullopt;
    auto requiresPin = readBool(j, "requiresPin");
    if (!requiresPin) return std::nullopt;
    auto pinCode = readString(j, "pinCode");
    if (!pinCode) return std::nullopt;
    auto isSupervisionActive = readBool(j, "isSupervisionActive");
    if (!isSupervisionActive) return std::nullopt;
    auto supervisionLevel = readString(j, "supervisionLevel");
    if (!supervisionLevel) return std::nullopt;
    return TeacherConfig{*audience, *customMission, *requiresPin, *pinCode, *isSupervisionActive,
                         *supervisionLevel};
}

std::optional<SlotDefinition> slotDefinitionFromJson(const Json& j) {
    auto label = readString(j, "label");
    if (!label) return std::nullopt;
    auto start = readString(j, "start");
    if (!start) return std::nullopt;
    auto end = readString(j, "end");
    if (!end) return std::nullopt;
    return SlotDefinition{*label, *start, *end};
}

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
