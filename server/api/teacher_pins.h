// The two teacher PIN rules that guard the dashboard's routes.
//
//   checkTeacherPin     the PIN of any teacher: in the individual mode the
//                       teacher PIN (teacherPinCode); in any other mode the
//                       PIN of at least one teacher of the roster.
//   isActiveTeacherPin  the PIN of the teacher whose session runs: in the
//                       individual mode the teacher PIN; in any other mode
//                       the PIN of the roster's first teacher whose id is
//                       activeTeacherId (false with no session).
//
// Only the exact mode "individual" selects the individual rules. Comparisons
// are exact and case-sensitive. An empty PIN never matches, whatever is
// stored.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/state/app_config.h"
#include "server/api/brute_force_protection.h"

namespace klarion {

enum class PinRule { anyTeacher, activeTeacher };

// The one PIN comparison: exact, and an empty PIN never matches.
bool samePin(std::string_view stored, std::string_view pin);

// The rules over explicit values (pure).
bool checkTeacherPin(std::string_view appMode, std::string_view teacherPinCode, const std::vector<Teacher>& teachers,
                     std::string_view pin);
bool isActiveTeacherPin(std::string_view appMode, std::string_view teacherPinCode, const std::vector<Teacher>& teachers,
                        const std::optional<std::string>& activeTeacherId, std::string_view pin);

// The rules over the live state (read from any thread).
bool checkTeacherPin(const AppConfig& config, std::string_view pin);
bool isActiveTeacherPin(const AppConfig& config, std::string_view pin);
bool pinPassesRule(const AppConfig& config, PinRule rule, std::string_view pin);
// What `pin` is to a route guarded by `rule`: accepted when it passes;
// notAllowedHere when it is still a teacher's own PIN (one of the roster, or
// the individual teacher PIN); nobody otherwise.
BruteForceProtection::PinMatch matchPinForRule(const AppConfig& config, PinRule rule, std::string_view pin);

}  // namespace klarion
