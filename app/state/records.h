// Plain value records shared across the program, and the JSON coding of the
// four that are stored in files (Teacher, TeacherConfig, SlotDefinition,
// ScheduleConfig).
//
// Decoding is strict: every key of the record is required with its exact JSON
// type; unknown keys are ignored; the first failure fails the whole read and
// no partly filled record is returned. Encoding emits the record's keys in
// their fixed order and never fails.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/json.h"

namespace klarion {

struct Teacher {
    std::string id;  // upper-case UUID text, the identity
    std::string name;
    std::string pin;        // normally 6 digits
    std::string createdAt;  // e.g. "2025-09-01T07:45:09Z"
    bool operator==(const Teacher&) const = default;
};

struct TeacherConfig {
    std::string audience = "visiteurs";
    std::string customMission;
    bool requiresPin = false;
    std::string pinCode = "8461";
    bool isSupervisionActive = false;
    std::string supervisionLevel = "questions_answers";
    bool operator==(const TeacherConfig&) const = default;
};

struct SlotDefinition {
    std::string label;
    std::string start;  // "HH:MM" when it read as a time, else the text as typed
    std::string end;
    bool operator==(const SlotDefinition&) const = default;
};

struct ScheduleConfig {
    std::vector<SlotDefinition> slotDefinitions;      // index = slot index
    std::map<std::string, std::string> reservations;  // reservation key -> teacher id
    bool operator==(const ScheduleConfig&) const = default;

    // Four slots ("Matin 1" 08:00-09:45, "Matin 2" 10:05-11:45,
    // "AM 1" 13:15-15:00, "AM 2" 15:15-17:00), no reservations.
    static ScheduleConfig defaultSchedule();
};

// How far an alert got: raised by a keyword, then confirmed or dismissed by
// the AI's verdict. Its wire text: "keyword", "confirmed", "dismissed".
enum class SafetyAlertLevel { keyword, confirmed, dismissed };
std::string_view toString(SafetyAlertLevel level);
std::optional<SafetyAlertLevel> safetyAlertLevelFromString(std::string_view text);

struct SafetyAlert {
    std::string id;  // upper-case UUID text
    std::string displayName;
    std::string ip;
    std::string text;
    std::string reason;
    SafetyAlertLevel level = SafetyAlertLevel::keyword;
    double time = 0;  // seconds since 1970
    bool acknowledged = false;
    bool operator==(const SafetyAlert&) const = default;
};

struct LiveQuestion {
    std::string id;  // upper-case UUID text
    std::string displayName;
    std::string ip;
    std::string text;
    double time = 0;  // seconds since 1970
    bool operator==(const LiveQuestion&) const = default;
};

enum class AppLogLevel { info, warn, error, debug };
// "INFO", "WARN", "ERR ", "DBG " (four characters each).
std::string_view toString(AppLogLevel level);
// Exactly one of the four strings above, else none.
std::optional<AppLogLevel> appLogLevelFromString(std::string_view text);

// The operating mode, read from its stored text ("mode.json", the "mode"
// member of "/api/config"), which is kept as it is: "individual" (one
// teacher, the teacher PIN), "establishment" (a roster of teachers, sessions,
// bookings); any other text selects neither mode's rules.
enum class AppMode { individual, establishment, other };
AppMode appModeOf(std::string_view text);

// What the class log keeps while supervision is on, read from its stored
// text (kept as it is): "questions" keeps the questions only; any other text
// ("questions_answers") keeps the answers too.
enum class SupervisionLevel { questions, questionsAnswers };
SupervisionLevel supervisionLevelOf(std::string_view text);

struct AppLogEntry {
    std::string id;        // upper-case UUID text
    double timestamp = 0;  // seconds since 1970
    AppLogLevel level = AppLogLevel::info;
    std::string message;
    bool operator==(const AppLogEntry&) const = default;
};

// JSON coding.
Json toJson(const Teacher& teacher);
Json toJson(const TeacherConfig& config);
Json toJson(const SlotDefinition& slot);
Json toJson(const ScheduleConfig& schedule);
Json toJson(const std::vector<Teacher>& teachers);  // an array

std::optional<Teacher> teacherFromJson(const Json& json);
std::optional<TeacherConfig> teacherConfigFromJson(const Json& json);
std::optional<SlotDefinition> slotDefinitionFromJson(const Json& json);
std::optional<ScheduleConfig> scheduleConfigFromJson(const Json& json);
std::optional<std::vector<Teacher>> teachersFromJson(const Json& json);  // an array

}  // namespace klarion
