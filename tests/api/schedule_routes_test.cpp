// "/api/schedule" and "/api/reserve-slot": the week grid, the reply bytes of
// every booking case and the schedule file written.
#include <gtest/gtest.h>

#include "app/state/config_files.h"
#include "platform/files.h"
#include "server/api/schedule_routes.h"
#include "tests/api/api_test_support.h"

namespace klarion {
namespace {

using test::callRoute;
using test::kAlice;
using test::kBruno;

// Establishment mode, Alice's session running, Bruno holds Wednesday slot 2
// and a deleted teacher Friday slot 0 of week 2026-W10.
void setUp(test::TestContext& t) {
    t.establishment(true);
    auto schedule = ScheduleConfig::defaultSchedule();
    schedule.reservations = {{"2026-W10_wednesday_2", kBruno.id},
                             {"2026-W10_friday_0", "GONE"},
                             {"2026-W10_monday_1", kAlice.id},
                             {"2026-W10_monday_9", kAlice.id},  // beyond the slots: not shown
                             {"2026-W11_monday_0", kBruno.id}};
    t.config().setScheduleConfig(schedule);
}

TEST(ScheduleRoute, WeekGrid) {
    test::TestContext t;
    setUp(t);
    // Any teacher may read; without "week" the current one (Tue 2026-03-03: 2026-W10).
    auto reply = callRoute(handleSchedule, *t.context, R"({"pin":"222222"})");
    EXPECT_EQ(reply.contentType, "application/json");
    const auto json = Json::parse(reply.body);
    EXPECT_EQ(json["week"], "2026-W10");
    ASSERT_EQ(json["slotDefinitions"].size(), 4u);
    EXPECT_EQ(json["slotDefinitions"][1], (Json{{"index", 1}, {"label", "Matin 2"}, {"start", "10:05"}, {"end", "11:45"}}));
    EXPECT_EQ(json["reservations"], Json::parse(R"([{"day":0,"slot":1,"teacherId":"A-ID","teacherName":"Alice"},
                                                    {"day":2,"slot":2,"teacherId":"B-ID","teacherName":"Bruno"},
                                                    {"day":4,"slot":0,"teacherId":"GONE","teacherName":"?"}])"));
    const auto other = Json::parse(callRoute(handleSchedule, *t.context, R"({"pin":"111111","week":"2026-W11"})").body);
    EXPECT_EQ(other["week"], "2026-W11");
    EXPECT_EQ(other["reservations"], Json::parse(R"([{"day":0,"slot":0,"teacherId":"B-ID","teacherName":"Bruno"}])"));
    EXPECT_EQ(callRoute(handleSchedule, *t.context, R"({"pin":"333333"})").status, 401);
}

TEST(ReserveSlotRoute, ReplyBytesAndEffects) {
    const std::string ok = R"({"success": true})", missing = R"({"success": false, "message": "Paramètres manquants"})",
                      invalid = R"({"success": false, "message": "Créneau invalide"})";
    const struct {
        std::string members;  // beside Alice's PIN
        std::string reply;
        std::optional<std::string> cellAfter;  // the cell's holder after the main queue ran
        std::string cell = "2026-W10_thursday_3";
        bool journal = false;
    } cases[] = {
        {R"("week":"2026-W10","day":3,"slot":3)", ok, kAlice.id, "2026-W10_thursday_3", true},
        {R"("week":"2026-W10","day":3,"slot":3,"action":"reserve")", ok, kAlice.id, "2026-W10_thursday_3", true},
        {R"("week":"2026-W10","day":3,"slot":3,"action":1)", ok, kAlice.id, "2026-W10_thursday_3", true},
        {R"("week":"2026-W10","day":0,"slot":1)", ok, kAlice.id, "2026-W10_monday_1", true},  // own cell again
        {R"("week":"2026-W10","day":2,"slot":2)", R"({"success":false,"message":"Créneau déjà réservé par Bruno."})",
         kBruno.id, "2026-W10_wednesday_2"},
        {R"("week":"2026-W10","day":4,"slot":0)", R"({"success":false,"message":"Créneau déjà réservé par ?."})",
         "GONE", "2026-W10_friday_0"},
        {R"("week":"2026-W10","day":0,"slot":1,"action":"unreserve")", ok, std::nullopt, "2026-W10_monday_1"},
        {R"("week":"2026-W10","day":2,"slot":2,"action":"unreserve")", ok, kBruno.id, "2026-W10_wednesday_2"},
        {R"("week":"2026-W10","day":3,"slot":3,"action":"x")", ok, std::nullopt},  // frees a free cell
        {R"("week":"2026-W10","day":"2","slot":0)", missing, std::nullopt},
        {R"("day":2,"slot":0)", missing, std::nullopt},
        {R"("week":"2026-W10","day":2,"slot":0.5)", missing, std::nullopt},
        {R"("week":"2026-W10","day":2,"slot":4)", invalid, std::nullopt},
        {R"("week":"2026-W10","day":5,"slot":0)", invalid, std::nullopt},
        {R"("week":"2026-W10","day":-1,"slot":0)", invalid, std::nullopt},
        {R"("week":"2026-W10","day":1,"slot":-1)", invalid, std::nullopt},
        {R"("week":"abc","day":0,"slot":0)", ok, kAlice.id, "abc_monday_0", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.members);
        test::TestContext t;
        setUp(t);
        const auto before = t.config().scheduleConfig();
        auto reply = callRoute(handleReserveSlot, *t.context, R"({"pin":"111111",)" + c.members + "}");
        EXPECT_EQ(reply.body, c.reply);
        EXPECT_EQ(reply.contentType, "application/json");
        EXPECT_EQ(t.config().scheduleConfig(), before) << "applied only on the main queue";
        const auto journal = t.journal();
        const auto after = t.config().scheduleConfig();
        auto it = after.reservations.find(c.cell);
        EXPECT_EQ(it == after.reservations.end() ? std::nullopt : std::optional(it->second), c.cellAfter);
        EXPECT_EQ(journal, c.journal ? std::vector<std::string>{"Slot réservé : " + c.cell + " par A-ID"}
                                     : std::vector<std::string>{});
        // The file is written by every booking applied (a repeated one too), and by nothing else.
        const auto file = t.context->state.folder.readSchedule();
        EXPECT_EQ(file, c.journal || after != before ? std::optional(after) : std::nullopt);
    }
}

TEST(ReserveSlotRoute, OnlyTheActiveTeacher) {
    test::TestContext t;
    setUp(t);
    const std::string booking = R"("week":"2026-W10","day":3,"slot":3)";
    EXPECT_EQ(callRoute(handleReserveSlot, *t.context, R"({"pin":"222222",)" + booking + "}").status, 401);
    EXPECT_EQ(t.queue->drain(), 0u);

    // The individual mode books under the empty teacher id, shown as "?".
    test::TestContext solo;
    EXPECT_EQ(callRoute(handleReserveSlot, *solo.context, solo.pinBody(booking)).body, R"({"success": true})");
    solo.queue->drain();
    const auto grid = Json::parse(callRoute(handleSchedule, *solo.context, solo.pinBody(R"("week":"2026-W10")")).body);
    EXPECT_EQ(grid["reservations"], Json::parse(R"([{"day":3,"slot":3,"teacherId":"","teacherName":"?"}])"));
    // Written compactly, "/" escaped as in every configuration file.
    EXPECT_EQ(readFile(solo.context->state.folder.scheduleFile()),
              encodeConfigJson(toJson(solo.config().scheduleConfig())));
}

}  // namespace
}  // namespace klarion
