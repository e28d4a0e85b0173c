#include "server/api/teacher_pins.h"

namespace klarion {

namespace {

constexpr std::string_view kIndividualMode = "individual";

bool samePin(std::string_view stored, std::string_view pin) {
    return !pin.empty() && stored == pin;
}

}  // namespace

bool checkTeacherPin(std::string_view appMode, std::string_view teacherPinCode,
                     const std::vector<Teacher>& teachers, std::string_view pin) {
    if (appMode == kIndividualMode) return samePin(teacherPinCode, pin);
    for (const auto& teacher : teachers) {
        if (samePin(teacher.pin, pin)) return true;
    }
    return false;
}

bool isActiveTeacherPin(std::string_view appMode, std::string_view teacherPinCode,
                        const std::vector<Teacher>& teachers,
                        const std::optional<std::string>& activeTeacherId, std::string_view pin) {
    if (appMode == kIndividualMode) return samePin(teacherPinCode, pin);
    if (!activeTeacherId) return false;
    for (const auto& teacher : teachers) {
        if (teacher.id == *activeTeacherId) return samePin(teacher.pin, pin);
    }
    return false;
}

bool checkTeacherPin(const AppConfig& config, std::string_view pin) {
    if (pin.empty()) return false;
    const auto values = config.snapshot();
    return checkTeacherPin(values.appMode, values.teacherPinCode, values.teachers, pin);
}

bool isActiveTeacherPin(const AppConfig& config, std::string_view pin) {
    if (pin.empty()) return false;
    const auto values = config.snapshot();
    return isActiveTeacherPin(values.appMode, values.teacherPinCode, values.teachers,
                              values.activeTeacherId, pin);
}

bool pinPassesRule(const AppConfig& config, PinRule rule, std::string_view pin) {
    return rule == PinRule::anyTeacher ? checkTeacherPin(config, pin) : isActiveTeacherPin(config, pin);
}

}  // namespace klarion
