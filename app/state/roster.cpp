#include "app/state/roster.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "platform/clock.h"
#include "platform/random.h"
#include "platform/text.h"

namespace klarion {

std::string generatePin(int digits) {
    digits = std::clamp(digits, 0, 18);
    if (digits == 0) return "";
    uint64_t limit = 1;
    for (int i = 0; i < digits; ++i) limit *= 10;
    uint64_t value = randomBelow(limit);
    char text[32];
    std::snprintf(text, sizeof text, "%0*llu", digits, static_cast<unsigned long long>(value));
    return text;
}

std::string generateTeacherPin() {
    std::string pin;
    do pin = generatePin(4);
    while (pin == AppConfig::defaultClassPin);
    return pin;
}

Teacher makeTeacher(std::string name, std::string pin, double now) {
    return Teacher{randomUUIDString(), std::move(name), std::move(pin), formatISO8601UTC(now)};
}

std::optional<Teacher> addTeacher(const StateContext& ctx, std::string_view typedName) {
    std::string name = trimWhitespaceAndNewlines(typedName);
    if (name.empty()) return std::nullopt;
    Teacher teacher = makeTeacher(name, generatePin(6), ctx.now());
    ctx.config->update([&](AppConfig::Values& v) { v.teachers.push_back(teacher); });
    ctx.saveRoster();
    ctx.log("Enseignant ajouté : " + name, AppLogLevel::info);
    return teacher;
}

bool regenerateTeacherPin(const StateContext& ctx, const std::string& teacherId) {
    std::optional<Teacher> changed;
    ctx.config->update([&](AppConfig::Values& v) {
        auto it =
            std::find_if(v.teachers.begin(), v.teachers.end(), [&](const Teacher& t) { return t.id == teacherId; });
        if (it == v.teachers.end()) return;
        it->pin = generatePin(6);
        changed = *it;
    });
    if (!changed) return false;
    ctx.saveRoster();
    ctx.log("PIN régénéré pour " + changed->name + " → " + changed->pin, AppLogLevel::info);
    return true;
}

void deleteTeacher(const StateContext& ctx, const std::string& teacherId) {
    std::string name = "?";
    ctx.config->update([&](AppConfig::Values& v) {
        auto it =
            std::find_if(v.teachers.begin(), v.teachers.end(), [&](const Teacher& t) { return t.id == teacherId; });
        if (it != v.teachers.end()) name = it->name;
        std::erase_if(v.teachers, [&](const Teacher& t) { return t.id == teacherId; });
    });
    ctx.saveRoster();
    ctx.config->update([&](AppConfig::Values& v) {
        std::erase_if(v.scheduleConfig.reservations, [&](const auto& entry) { return entry.second == teacherId; });
    });
    ctx.saveSchedule();
    ctx.log("Enseignant supprimé : " + name, AppLogLevel::warn);
}

}  // namespace klarion
