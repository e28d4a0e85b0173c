#include "app/state/roster.h"

#include <gmock/gmock.h>

#include <regex>
#include <set>

#include "state_fixture.h"

namespace klarion {
namespace {

using ::testing::ElementsAre;
using testing::JournalLine;

class RosterTest : public testing::StateTest {};

TEST(GeneratePin, HasExactlyTheDigitsAskedForAndKeepsLeadingZeros) {
    for (int digits : {1, 4, 6, 18}) {
        for (int i = 0; i < 200; ++i) {
            std::string pin = generatePin(digits);
            ASSERT_EQ(pin.size(), static_cast<size_t>(digits));
            ASSERT_TRUE(std::all_of(pin.begin(), pin.end(), [](char c) { return c >= '0' && c <= '9'; })) << pin;
        }
    }
    EXPECT_EQ(generatePin(0), "");
    // One digit: all ten values come out, "0" included, over enough draws.
    std::set<std::string> seen;
    for (int i = 0; i < 2000 && seen.size() < 10; ++i) seen.insert(generatePin(1));
    EXPECT_EQ(seen.size(), 10u);
}

TEST_F(RosterTest, AddTeacherTrimsTheNameSavesAndJournals) {
    Teacher added = *addTeacher(ctx, "  Marie Curie \n");
    EXPECT_EQ(added.name, "Marie Curie");
    EXPECT_TRUE(std::regex_match(added.pin, std::regex("[0-9]{6}")));
    EXPECT_TRUE(std::regex_match(added.id, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}")));
    EXPECT_EQ(added.createdAt, formatISO8601UTC(clock->now()));
    EXPECT_THAT(config->teachers(), ElementsAre(added));
    EXPECT_EQ(ctx.folder.readTeachers(), config->teachers());
    EXPECT_THAT(journal(), ElementsAre(JournalLine{AppLogLevel::info, "Enseignant ajouté : Marie Curie"}));
}

TEST_F(RosterTest, AddTeacherIgnoresABlankNameAndAcceptsARepeatedOne) {
    EXPECT_FALSE(addTeacher(ctx, " \t\n "));
    EXPECT_TRUE(config->teachers().empty());
    EXPECT_FALSE(exists(ctx.folder.teachersFile()));
    EXPECT_TRUE(journal().empty());

    Teacher first = *addTeacher(ctx, "Paul");
    Teacher second = *addTeacher(ctx, "Paul");
    EXPECT_NE(first.id, second.id);
    EXPECT_EQ(config->teachers().size(), 2u);
}

TEST_F(RosterTest, RegenerateKeepsEverythingButThePin) {
    std::vector<Teacher> roster{teacher("A", "Anne", "111111"), teacher("B", "Bruno", "222222")};
    config->setTeachers(roster);
    // Draw until the new PIN differs (a repeat of the old one is possible).
    for (int i = 0; i < 10 && config->teachers()[1].pin == "222222"; ++i) ASSERT_TRUE(regenerateTeacherPin(ctx, "B"));
    Teacher changed = config->teachers()[1];
    EXPECT_NE(changed.pin, "222222");
    EXPECT_EQ(changed.id, "B");
    EXPECT_EQ(changed.name, "Bruno");
    EXPECT_EQ(changed.createdAt, roster[1].createdAt);
    EXPECT_EQ(config->teachers()[0], roster[0]);
    EXPECT_EQ(ctx.folder.readTeachers(), config->teachers());
    EXPECT_EQ(journal().back(), (JournalLine{AppLogLevel::info, "PIN régénéré pour Bruno → " + changed.pin}));

    EXPECT_FALSE(regenerateTeacherPin(ctx, "nobody"));
    EXPECT_TRUE(journal().empty());
}

TEST_F(RosterTest, DeleteRemovesTheTeacherAndOnlyItsReservations) {
    config->setTeachers({teacher("A", "Anne"), teacher("B", "Bruno"), teacher("C", "Chloé")});
    ScheduleConfig schedule = ScheduleConfig::defaultSchedule();
    schedule.reservations = {{"2026-W02_monday_0", "B"},
                             {"2026-W02_monday_1", "A"},
                             {"2026-W02_friday_3", "B"},
                             {"2025-W50_tuesday_7", "B"}};
    config->setScheduleConfig(schedule);

    deleteTeacher(ctx, "B");
    EXPECT_THAT(config->teachers(), ElementsAre(teacher("A", "Anne"), teacher("C", "Chloé")));
    std::map<std::string, std::string> expected{{"2026-W02_monday_1", "A"}};
    EXPECT_EQ(config->scheduleConfig().reservations, expected);
    EXPECT_EQ(config->scheduleConfig().slotDefinitions, schedule.slotDefinitions);
    EXPECT_EQ(ctx.folder.readTeachers(), config->teachers());
    EXPECT_EQ(ctx.folder.readSchedule(), config->scheduleConfig());
    EXPECT_THAT(journal(), ElementsAre(JournalLine{AppLogLevel::warn, "Enseignant supprimé : Bruno"}));
}

TEST_F(RosterTest, DeletingAnUnknownIdRewritesBothFilesUnchanged) {
    config->setTeachers({teacher("A", "Anne")});
    deleteTeacher(ctx, "nobody");
    EXPECT_EQ(ctx.folder.readTeachers(), config->teachers());
    EXPECT_EQ(ctx.folder.readSchedule(), ScheduleConfig::defaultSchedule());
    EXPECT_THAT(journal(), ElementsAre(JournalLine{AppLogLevel::warn, "Enseignant supprimé : ?"}));
}

TEST_F(RosterTest, DeletingTheActiveTeacherKeepsTheSession) {
    config->setTeachers({teacher("A", "Anne")});
    config->setActiveTeacherId("A");
    deleteTeacher(ctx, "A");
    EXPECT_EQ(config->activeTeacherId(), "A");
}

}  // namespace
}  // namespace klarion
