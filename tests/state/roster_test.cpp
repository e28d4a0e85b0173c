#include "app/state/roster.h"

#include <gmock/gmock.h>

#include <set>

#include "state_fixture.h"

namespace klarion {
namespace {

using ::testing::ElementsAre;
using testing::JournalLine;

class RosterTest : public testing::StateTest {};

bool allDigits(const std::string& text, size_t count) {
    return text.size() == count && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// 8-4-4-4-12 upper-case hexadecimal digits.
bool isUpperCaseUUID(const std::string& text) {
    if (text.size() != 36) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        bool dash = (i == 8 || i == 13 || i == 18 || i == 23);
        char c = text[i];
        if (dash ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
    }
    return true;
}

TEST(GeneratePin, HasExactlyTheDigitsAskedForAndKeepsLeadingZeros) {
    for (int digits : {1, 4, 6, 18}) {
        for (int i = 0; i < 200; ++i) {
            std::string pin = generatePin(digits);
            ASSERT_TRUE(allDigits(pin, static_cast<size_t>(digits))) << pin;
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
    EXPECT_TRUE(allDigits(added.pin, 6)) << added.pin;
    EXPECT_TRUE(isUpperCaseUUID(added.id)) << added.id;
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
    config->setActiveTeacherId("B");  // B's session is running

    deleteTeacher(ctx, "B");
    EXPECT_EQ(queue->pending(), 1u);  // the journal line only: the session goes on
    EXPECT_EQ(config->activeTeacherId(), "B");
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

}  // namespace
}  // namespace klarion
