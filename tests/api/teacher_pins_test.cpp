// The two teacher PIN rules, by mode, roster and session.
#include <gtest/gtest.h>

#include "server/api/teacher_pins.h"
#include "platform/preferences.h"
#include "platform/random.h"

namespace klarion {
namespace {

const Teacher kAlice{"A-ID", "Alice", "111111", "2025-09-01T07:45:09Z"};
const Teacher kBruno{"B-ID", "Bruno", "222222", "2025-09-01T07:45:09Z"};
const Teacher kNoPin{"N-ID", "Sans PIN", "", "2025-09-01T07:45:09Z"};

struct PinCase {
    const char* label;
    std::string mode;
    std::optional<std::string> active;
    std::string pin;
    bool anyTeacher;
    bool activeTeacher;
};

std::ostream& operator<<(std::ostream& out, const PinCase& c) { return out << c.label; }

class PinRules : public ::testing::TestWithParam<PinCase> {};

TEST_P(PinRules, FollowModeRosterAndSession) {
    const auto& c = GetParam();
    const std::vector<Teacher> roster{kAlice, kBruno, kNoPin};
    const std::string teacherPin = "4321";
    EXPECT_EQ(checkTeacherPin(c.mode, teacherPin, roster, c.pin), c.anyTeacher);
    EXPECT_EQ(isActiveTeacherPin(c.mode, teacherPin, roster, c.active, c.pin), c.activeTeacher);

    // The same through the live state.
    const auto folder = std::filesystem::temp_directory_path() / ("klarion-pins-" + randomUUIDString());
    {
        AppConfig config(std::make_shared<PreferenceStore>(folder / "preferences.json"));
        config.setAppMode(c.mode);
        config.setTeacherPinCode(teacherPin);
        config.setTeachers(roster);
        config.setActiveTeacherId(c.active);
        EXPECT_EQ(checkTeacherPin(config, c.pin), c.anyTeacher);
        EXPECT_EQ(isActiveTeacherPin(config, c.pin), c.activeTeacher);
        EXPECT_EQ(pinPassesRule(config, PinRule::anyTeacher, c.pin), c.anyTeacher);
        EXPECT_EQ(pinPassesRule(config, PinRule::activeTeacher, c.pin), c.activeTeacher);
    }
    std::filesystem::remove_all(folder);
}

const std::optional<std::string> kNone;

INSTANTIATE_TEST_SUITE_P(
    Cases, PinRules,
    ::testing::Values(
        // Individual mode: the teacher PIN only, the roster ignored.
        PinCase{"individual_teacher_pin", "individual", kNone, "4321", true, true},
        PinCase{"individual_roster_pin", "individual", std::string("A-ID"), "111111", false, false},
        PinCase{"individual_other_case", "individual", kNone, "4321 ", false, false},
        PinCase{"individual_empty", "individual", kNone, "", false, false},
        // Establishment, session of Alice: any teacher for the first rule,
        // Alice only for the second.
        PinCase{"establishment_alice", "establishment", std::string("A-ID"), "111111", true, true},
        PinCase{"establishment_bruno", "establishment", std::string("A-ID"), "222222", true, false},
        PinCase{"establishment_teacher_pin", "establishment", std::string("A-ID"), "4321", false, false},
        PinCase{"establishment_wrong", "establishment", std::string("A-ID"), "999999", false, false},
        // No session: the active rule refuses every PIN.
        PinCase{"establishment_no_session", "establishment", kNone, "111111", true, false},
        // The active id is not in the roster any more.
        PinCase{"establishment_ghost_session", "establishment", std::string("GONE"), "111111", true, false},
        // An empty PIN never matches, not even a teacher stored without one.
        PinCase{"establishment_empty_pin", "establishment", std::string("N-ID"), "", false, false},
        // Any mode other than exactly "individual" follows the roster rules.
        PinCase{"unknown_mode_roster", "classe", std::string("B-ID"), "222222", true, true},
        PinCase{"unknown_mode_teacher_pin", "classe", kNone, "4321", false, false},
        PinCase{"capitalised_mode", "Individual", kNone, "4321", false, false}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(PinRulesEmpty, EmptyRosterAndEmptyTeacherPinRefuseEverything) {
    EXPECT_FALSE(checkTeacherPin("establishment", "", {}, "111111"));
    EXPECT_FALSE(checkTeacherPin("individual", "", {}, ""));
    EXPECT_FALSE(isActiveTeacherPin("individual", "", {}, std::nullopt, ""));
}

}  // namespace
}  // namespace klarion
