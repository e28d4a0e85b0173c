#include "app/state/slots.h"

#include <gmock/gmock.h>

#include "state_fixture.h"

namespace klarion {
namespace {

using ::testing::ElementsAre;
using testing::JournalLine;

class SlotsTest : public testing::StateTest {
protected:
    std::vector<SlotDefinition> slots() { return config->scheduleConfig().slotDefinitions; }
    std::vector<std::string> labels() {
        std::vector<std::string> out;
        for (const auto& s : slots()) out.push_back(s.label);
        return out;
    }
    void expectSaved() { EXPECT_EQ(ctx.folder.readSchedule(), config->scheduleConfig()); }
};

TEST_F(SlotsTest, GrowingAndShrinkingKeepsReservations) {
    const ScheduleConfig initial = ScheduleConfig::defaultSchedule();
    const std::map<std::string, std::string> bookings{{"2026-W02_monday_3", "A"}, {"2026-W02_friday_3", "B"},
                                                      {"2026-W02_monday_0", "C"}};
    config->update([&](AppConfig::Values& v) { v.scheduleConfig.reservations = bookings; });

    setSlotCount(ctx, 6);
    EXPECT_THAT(labels(), ElementsAre("Matin 1", "Matin 2", "AM 1", "AM 2", "Créneau 5", "Créneau 6"));
    EXPECT_EQ(slots()[4], (SlotDefinition{"Créneau 5", "08:00", "09:00"}));
    EXPECT_EQ(slots()[5], (SlotDefinition{"Créneau 6", "08:00", "09:00"}));
    auto grown = slots();
    EXPECT_EQ(std::vector(grown.begin(), grown.begin() + 4), initial.slotDefinitions);
    expectSaved();

    setSlotCount(ctx, 3);
    EXPECT_EQ(slots(), std::vector(initial.slotDefinitions.begin(), initial.slotDefinitions.begin() + 3));
    EXPECT_EQ(config->scheduleConfig().reservations, bookings);  // index 3's bookings stay
    expectSaved();

    setSlotCount(ctx, 4);  // the new fourth slot inherits the old bookings of index 3
    EXPECT_EQ(slots()[3], (SlotDefinition{"Créneau 4", "08:00", "09:00"}));
    EXPECT_EQ(config->scheduleConfig().reservations, bookings);
    expectSaved();
    EXPECT_TRUE(journal().empty());
}

TEST_F(SlotsTest, SameOrOutOfRangeCountRewritesTheFileUnchanged) {
    for (int64_t count : {int64_t{4}, int64_t{0}, int64_t{-3}, int64_t{25}, INT64_MAX}) {
        std::filesystem::remove(ctx.folder.scheduleFile());
        setSlotCount(ctx, count);
        EXPECT_EQ(config->scheduleConfig(), ScheduleConfig::defaultSchedule()) << count;
        EXPECT_EQ(ctx.folder.readSchedule(), ScheduleConfig::defaultSchedule()) << count;
    }
    setSlotCount(ctx, 1);
    EXPECT_THAT(labels(), ElementsAre("Matin 1"));
    setSlotCount(ctx, 24);
    EXPECT_EQ(slots().size(), 24u);
    EXPECT_EQ(slots()[23].label, "Créneau 24");
}

TEST_F(SlotsTest, SlotFieldSetters) {
    struct Case {
        const char* what;
        void (*set)(const StateContext&, const std::string&, int64_t);
        std::string text;
        int64_t index;
        SlotDefinition expected;  // slot `index` afterwards
    } cases[] = {
        {"label as typed", setSlotLabel, "  Maths ", 1, {"  Maths ", "10:05", "11:45"}},
        {"empty label", setSlotLabel, "", 0, {"", "08:00", "09:45"}},
        {"start normalised", setSlotStart, " 8:5 ", 2, {"AM 1", "08:05", "15:00"}},
        {"start as typed when not a time", setSlotStart, "midi", 2, {"AM 1", "midi", "15:00"}},
        {"end normalised", setSlotEnd, "1730", 3, {"AM 2", "15:15", "17:30"}},
        {"end as typed", setSlotEnd, "24", 3, {"AM 2", "15:15", "24"}},
    };
    for (const Case& c : cases) {
        config->setScheduleConfig(ScheduleConfig::defaultSchedule());
        c.set(ctx, c.text, c.index);
        EXPECT_EQ(slots()[static_cast<size_t>(c.index)], c.expected) << c.what;
        expectSaved();
    }
}

TEST_F(SlotsTest, SlotIndexOutsideTheListChangesAndSavesNothing) {
    for (int64_t index : {int64_t{4}, int64_t{7}, int64_t{-1}, INT64_MIN}) {
        setSlotLabel(ctx, "x", index);
        setSlotStart(ctx, "09:00", index);
        setSlotEnd(ctx, "10:00", index);
    }
    EXPECT_EQ(config->scheduleConfig(), ScheduleConfig::defaultSchedule());
    EXPECT_FALSE(exists(ctx.folder.scheduleFile()));
}

TEST_F(SlotsTest, ReservationBookReplaceAndFree) {
    const std::string key = "2026-W02_tuesday_1";
    setReservation(ctx, key, "A");
    setReservation(ctx, key, "B");
    EXPECT_EQ(config->scheduleConfig().reservations.at(key), "B");
    expectSaved();
    setReservation(ctx, key, std::nullopt);
    EXPECT_TRUE(config->scheduleConfig().reservations.empty());
    std::filesystem::remove(ctx.folder.scheduleFile());
    setReservation(ctx, "2026-W02_friday_0", std::nullopt);  // freeing a free key still saves
    expectSaved();
    EXPECT_THAT(journal(), ElementsAre(JournalLine{AppLogLevel::debug, "Slot " + key + " → A"},
                                       JournalLine{AppLogLevel::debug, "Slot " + key + " → B"},
                                       JournalLine{AppLogLevel::debug, "Slot " + key + " → libre"},
                                       JournalLine{AppLogLevel::debug, "Slot 2026-W02_friday_0 → libre"}));
}

}  // namespace
}  // namespace klarion
