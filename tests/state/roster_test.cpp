#include "app/state/roster.h"
#include "app/state/slots.h"

#include <set>

#include "tests/support/state_fixture.h"

namespace klarion {
namespace {

using ::testing::ElementsAre;
using testing::JournalLine;

class RosterTest : public testing::StateTest {
protected:
    std::vector<SlotDefinition> slots() { return config->scheduleConfig().slotDefinitions; }
    void expectRosterSaved() { EXPECT_EQ(ctx.folder.readTeachers(), config->teachers()); }
    void expectScheduleSaved() { EXPECT_EQ(ctx.folder.readSchedule(), config->scheduleConfig()); }
};

TEST(GeneratePin, HasExactlyTheDigitsAskedForAndKeepsLeadingZeros) {
    for (int digits : {0, 1, 4, 6, 18})
        for (int i = 0; i < 200; ++i) {
            std::string pin = generatePin(digits);
            ASSERT_EQ(pin.size(), static_cast<size_t>(digits)) << pin;
            ASSERT_EQ(pin.find_first_not_of("0123456789"), std::string::npos) << pin;
        }
    std::set<std::string> seen;  // one digit: all ten values come out, "0" included
    for (int i = 0; i < 2000 && seen.size() < 10; ++i) seen.insert(generatePin(1));
    EXPECT_EQ(seen.size(), 10u);
}

TEST_F(RosterTest, AddTeacherTrimsTheNameSavesAndJournals) {
    EXPECT_FALSE(addTeacher(ctx, " \t\n "));  // a blank name is ignored
    EXPECT_FALSE(exists(ctx.folder.teachersFile()));
    Teacher added = *addTeacher(ctx, "  Marie Curie \n");
    EXPECT_EQ(added.name, "Marie Curie");
    EXPECT_EQ(added.pin.size(), 6u);
    EXPECT_EQ(added.id.size(), 36u);
    EXPECT_EQ(added.createdAt, formatISO8601UTC(clock->now()));
    EXPECT_THAT(config->teachers(), ElementsAre(added));
    expectRosterSaved();
    EXPECT_THAT(journal(), ElementsAre(JournalLine{AppLogLevel::info, "Enseignant ajouté : Marie Curie"}));
    EXPECT_NE(addTeacher(ctx, "Marie Curie")->id, added.id);  // a repeated name is another teacher
    EXPECT_EQ(config->teachers().size(), 2u);
}

TEST_F(RosterTest, RegenerateKeepsEverythingButThePin) {
    std::vector<Teacher> roster{teacher("A", "Anne", "111111"), teacher("B", "Bruno", "222222")};
    config->setTeachers(roster);
    // Draw until the new PIN differs (a repeat of the old one is possible).
    for (int i = 0; i < 10 && config->teachers()[1].pin == "222222"; ++i) ASSERT_TRUE(regenerateTeacherPin(ctx, "B"));
    roster[1].pin = config->teachers()[1].pin;
    EXPECT_NE(roster[1].pin, "222222");
    EXPECT_EQ(config->teachers(), roster);
    expectRosterSaved();
    EXPECT_EQ(journal().back(), (JournalLine{AppLogLevel::info, "PIN régénéré pour Bruno → " + roster[1].pin}));
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
    schedule.reservations = {{"2026-W02_monday_1", "A"}};
    EXPECT_EQ(config->scheduleConfig(), schedule);
    expectRosterSaved();
    expectScheduleSaved();
    EXPECT_THAT(journal(), ElementsAre(JournalLine{AppLogLevel::warn, "Enseignant supprimé : Bruno"}));

    std::filesystem::remove_all(ctx.folder.directory());
    deleteTeacher(ctx, "nobody");  // an unknown id rewrites both files unchanged
    expectRosterSaved();
    expectScheduleSaved();
    EXPECT_THAT(journal(), ElementsAre(JournalLine{AppLogLevel::warn, "Enseignant supprimé : ?"}));
}

// ---- daily slots and reservations ----

using SlotsTest = RosterTest;

TEST_F(SlotsTest, GrowingAndShrinkingKeepsReservations) {
    const auto initial = ScheduleConfig::defaultSchedule().slotDefinitions;
    const std::map<std::string, std::string> bookings{
        {"2026-W02_monday_3", "A"}, {"2026-W02_friday_3", "B"}, {"2026-W02_monday_0", "C"}};
    config->update([&](AppConfig::Values& v) { v.scheduleConfig.reservations = bookings; });
    auto expect = [&](size_t kept, std::vector<std::string> added) {
        std::vector<SlotDefinition> expected(initial.begin(), initial.begin() + kept);
        for (auto& label : added) expected.push_back({label, "08:00", "09:00"});
        EXPECT_EQ(slots(), expected);
        EXPECT_EQ(config->scheduleConfig().reservations, bookings);  // index 3's bookings stay
        expectScheduleSaved();
    };
    setSlotCount(ctx, 6);
    expect(4, {"Créneau 5", "Créneau 6"});
    setSlotCount(ctx, 3);
    expect(3, {});
    setSlotCount(ctx, 4);  // the new fourth slot inherits the old bookings of index 3
    expect(3, {"Créneau 4"});
    setSlotCount(ctx, 1);
    expect(1, {});
    setSlotCount(ctx, 24);
    EXPECT_EQ(slots().size(), 24u);
    EXPECT_EQ(slots()[23].label, "Créneau 24");
    EXPECT_TRUE(journal().empty());
}

TEST_F(SlotsTest, SameOrOutOfRangeCountRewritesTheFileUnchanged) {
    for (int64_t count : {int64_t{4}, int64_t{0}, int64_t{-3}, int64_t{25}, INT64_MAX}) {
        std::filesystem::remove(ctx.folder.scheduleFile());
        setSlotCount(ctx, count);
        EXPECT_EQ(config->scheduleConfig(), ScheduleConfig::defaultSchedule()) << count;
        EXPECT_EQ(ctx.folder.readSchedule(), ScheduleConfig::defaultSchedule()) << count;
    }
}

TEST_F(SlotsTest, SlotFieldSetters) {
    const struct {
        const char* what;
        void (*set)(const StateContext&, const std::string&, int64_t);
        std::string text;
        int64_t index;
        SlotDefinition expected;  // slot `index` afterwards
    } cases[] = {
        {"label as typed", setSlotLabel, "  Maths ", 1, {"  Maths ", "10:05", "11:45"}},
        {"start normalised", setSlotStart, " 8:5 ", 2, {"AM 1", "08:05", "15:00"}},
        {"start as typed when not a time", setSlotStart, "midi", 2, {"AM 1", "midi", "15:00"}},
        {"end normalised", setSlotEnd, "1730", 3, {"AM 2", "15:15", "17:30"}},
    };
    for (const auto& c : cases) {
        config->setScheduleConfig(ScheduleConfig::defaultSchedule());
        c.set(ctx, c.text, c.index);
        EXPECT_EQ(slots()[static_cast<size_t>(c.index)], c.expected) << c.what;
        expectScheduleSaved();
    }
    config->setScheduleConfig(ScheduleConfig::defaultSchedule());
    std::filesystem::remove(ctx.folder.scheduleFile());
    for (int64_t index : {int64_t{4}, int64_t{7}, int64_t{-1}, INT64_MIN})  // outside the list: nothing happens
        for (const auto& c : cases) c.set(ctx, "09:00", index);
    EXPECT_EQ(config->scheduleConfig(), ScheduleConfig::defaultSchedule());
    EXPECT_FALSE(exists(ctx.folder.scheduleFile()));
}

TEST_F(SlotsTest, ReservationBookReplaceAndFree) {
    const std::string key = "2026-W02_tuesday_1";
    setReservation(ctx, key, "A");
    setReservation(ctx, key, "B");
    EXPECT_EQ(config->scheduleConfig().reservations.at(key), "B");
    expectScheduleSaved();
    setReservation(ctx, key, std::nullopt);
    EXPECT_TRUE(config->scheduleConfig().reservations.empty());
    std::filesystem::remove(ctx.folder.scheduleFile());
    setReservation(ctx, "2026-W02_friday_0", std::nullopt);  // freeing a free key still saves
    expectScheduleSaved();
    EXPECT_THAT(journal(), ElementsAre(JournalLine{AppLogLevel::debug, "Slot " + key + " → A"},
                                       JournalLine{AppLogLevel::debug, "Slot " + key + " → B"},
                                       JournalLine{AppLogLevel::debug, "Slot " + key + " → libre"},
                                       JournalLine{AppLogLevel::debug, "Slot 2026-W02_friday_0 → libre"}));
}

}  // namespace
}  // namespace klarion
