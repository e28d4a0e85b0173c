#include "server/api/teacher_pins.h"

namespace klarion {

namespace {

bool passesRule(const AppConfigValues& values, PinRule rule, std::string_view pin) {
    return rule == PinRule::anyTeacher ? checkTeacherPin(values.appMode, values.teacherPinCode, values.teachers, pin)
                                       : isActiveTeacherPin(values.appMode, values.teacherPinCode, values.teachers,
                                                            values.activeTeacherId, pin);
}

}  // namespace

bool samePin(std::string_view stored, std::string_view pin) { return !pin.empty() && stored == pin; }

bool checkTeacherPin(std::string_view appMode, std::string_view teacherPinCode, const std::vector<Teacher>& teachers,
                     std::string_view pin) {
    if (appModeOf(appMode) == AppMode::individual) return samePin(teacherPinCode, pin);
    for (const auto& teacher : teachers) {
        if (samePin(teacher.pin, pin)) return true;
    }
    return false;
}

bool isActiveTeacherPin(std::string_view appMode, std::string_view teacherPinCode, const std::vector<Teacher>& teachers,
                        const std::optional<std::string>& activeTeacherId, std::string_view pin) {
    if (appModeOf(appMode) == AppMode::individual) return samePin(teacherPinCode, pin);
    if (!activeTeacherId) return false;
    for (const auto& teacher : teachers) {
        if (teacher.id == *activeTeacherId) return samePin(teacher.pin, pin);
    }
    return false;
}

bool checkTeacherPin(const AppConfig& config, std::string_view pin) {
    return pinPassesRule(config, PinRule::anyTeacher, pin);
}

bool isActiveTeacherPin(const AppConfig& config, std::string_view pin) {
    return pinPassesRule(config, PinRule::activeTeacher, pin);
}

bool pinPassesRule(const AppConfig& config, PinRule rule, std::string_view pin) {
    if (pin.empty()) return false;
    return config.read([&](const AppConfigValues& values) { return passesRule(values, rule, pin); });
}

BruteForceProtection::PinMatch matchPinForRule(const AppConfig& config, PinRule rule, std::string_view pin) {
    using PinMatch = BruteForceProtection::PinMatch;
    if (pin.empty()) return PinMatch::nobody;
    return config.read([&](const AppConfigValues& values) {
        if (passesRule(values, rule, pin)) return PinMatch::accepted;
        bool known = samePin(values.teacherPinCode, pin);
        for (const auto& teacher : values.teachers) known = known || samePin(teacher.pin, pin);
        return known ? PinMatch::notAllowedHere : PinMatch::nobody;
    });
}

}  // namespace klarion
