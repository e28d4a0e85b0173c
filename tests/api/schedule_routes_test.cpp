// "/api/schedule" and "/api/reserve-slot": the week grid, the reply bytes of
// every booking case and the schedule file written.
#include <gtest/gtest.h>

#include "app/state/config_files.h"
#include "platform/files.h"
#include "server/api/schedule_routes.h"
#include "tests/api/api_test_support.h"
#include "tests/api/route_call.h"

namespace klarion {
namespace {

using test::callRoute;

const Teacher kAlice{"A-ID", "Alice", "111111", "2025-09-01T07:45:09Z"};
const Teacher kBruno{"B-ID", "Bruno", "222222", "2025-09-01T07:45:09Z"};

// Establishment mode, Alice's session running, Bruno holds Wednesday slot 2
// and a deleted teacher Friday slot 0 of week 2026-W10.
void setUp(test::TestContext& t) {
    t.config().setAppMode("establishment");
    t.config().setTeachers({kAlice, kBruno});
    t.config().setActiveTeacherId(kAlice.id);
    t.config().setActiveTeacherName(kAlice.name);
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
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.contentType, "application/json");
    const auto json = Json::parse(reply.body);
    EXPECT_EQ(json["week"], "2026-W10");
    ASSERT_EQ(json["slotDefinitions"].size(), 4u);
    EXPECT_EQ(json["slotDefinitions"][1], (Json{{"index", 1}, {"label", "Matin 2"}, {"start", "10:05"}, {"end", "11:45"}}));
    EXPECT_EQ(json["reservations"],
              Json::parse(R"([{"day":0,"slot":1,"teacherId":"A-ID","teacherName":"Alice"},
                              {"day":2,"slot":2,"teacherId":"B-ID","teacherName":"Bruno"},
                              {"day":4,"slot":0,"teacherId":"GONE","teacherName":"?"}])"));

    const auto other = Json::parse(callRoute(handleSchedule, *t.context, R"({"pin":"111111","week":"2026-W11"})").body);
    EXPECT_EQ(other["week"], "2026-W11");
    EXPECT_EQ(other["reservations"], Json::parse(R"([{"day":0,"slot":0,"teacherId":"B-ID","teacherName":"Bruno"}])"));

    EXPECT_EQ(callRoute(handleSchedule, *t.context, R"({"pin":"333333"})").status, 401);
    EXPECT_EQ(callRoute(handleSchedule, *t.context, "").status, 401);
}

TEST(ReserveSlotRoute, ReplyBytesAndEffects) {
    struct Case {
        const char* label;
        std::string body;
        std::string reply;
        std::optional<std::string> cellAfter;  // the cell's holder after the main queue ran
        std::string cell = "2026-W10_thursday_3";
        bool journal = false;
    };
    const Case cases[] = {
        {"book a free cell", R"({"pin":"111111","week":"2026-W10","day":3,"slot":3})", R"({"success": true})",
         kAlice.id, "2026-W10_thursday_3", true},
        {"explicit reserve", R"({"pin":"111111","week":"2026-W10","day":3,"slot":3,"action":"reserve"})",
         R"({"success": true})", kAlice.id, "2026-W10_thursday_3", true},
        {"action not a string books", R"({"pin":"111111","week":"2026-W10","day":3,"slot":3,"action":1})",
         R"({"success": true})", kAlice.id, "2026-W10_thursday_3", true},
        {"book own cell again", R"({"pin":"111111","week":"2026-W10","day":0,"slot":1})", R"({"success": true})",
         kAlice.id, "2026-W10_monday_1", true},
        {"conflict", R"({"pin":"111111","week":"2026-W10","day":2,"slot":2})",
         R"({"success":false,"message":"Créneau déjà réservé par Bruno."})", kBruno.id, "2026-W10_wednesday_2"},
        {"conflict with a deleted teacher", R"({"pin":"111111","week":"2026-W10","day":4,"slot":0})",
         R"({"success":false,"message":"Créneau déjà réservé par ?."})", "GONE", "2026-W10_friday_0"},
        {"free own cell", R"({"pin":"111111","week":"2026-W10","day":0,"slot":1,"action":"unreserve"})",
         R"({"success": true})", std::nullopt, "2026-W10_monday_1"},
        {"free another's cell", R"({"pin":"111111","week":"2026-W10","day":2,"slot":2,"action":"unreserve"})",
         R"({"success": true})", kBruno.id, "2026-W10_wednesday_2"},
        {"free a free cell", R"({"pin":"111111","week":"2026-W10","day":3,"slot":3,"action":"x"})",
         R"({"success": true})", std::nullopt},
        {"day as a string", R"({"pin":"111111","week":"2026-W10","day":"2","slot":0})",
         R"({"success": false, "message": "Paramètres manquants"})", std::nullopt},
        {"no week", R"({"pin":"111111","day":2,"slot":0})", R"({"success": false, "message": "Paramètres manquants"})",
         std::nullopt},
        {"fractional slot", R"({"pin":"111111","week":"2026-W10","day":2,"slot":0.5})",
         R"({"success": false, "message": "Paramètres manquants"})", std::nullopt},
        {"slot past the end", R"({"pin":"111111","week":"2026-W10","day":2,"slot":4})",
         R"({"success": false, "message": "Créneau invalide"})", std::nullopt},
        {"day 5", R"({"pin":"111111","week":"2026-W10","day":5,"slot":0})",
         R"({"success": false, "message": "Créneau invalide"})", std::nullopt},
        {"day -1", R"({"pin":"111111","week":"2026-W10","day":-1,"slot":0})",
         R"({"success": false, "message": "Créneau invalide"})", std::nullopt},
        {"negative slot", R"({"pin":"111111","week":"2026-W10","day":1,"slot":-1})",
         R"({"success": false, "message": "Créneau invalide"})", std::nullopt},
        {"any week text", R"({"pin":"111111","week":"abc","day":0,"slot":0})", R"({"success": true})", kAlice.id,
         "abc_monday_0", true},
    };
    for (const auto& c : cases) {
        test::TestContext t;
        setUp(t);
        const auto before = t.config().scheduleConfig();
        auto reply = callRoute(handleReserveSlot, *t.context, c.body);
        EXPECT_EQ(reply.status, 200) << c.label;
        EXPECT_EQ(reply.body, c.reply) << c.label;
        EXPECT_EQ(reply.contentType, "application/json") << c.label;
        EXPECT_EQ(t.config().scheduleConfig(), before) << c.label << ": applied only on the main queue";
        const auto journal = t.journal();
        const auto after = t.config().scheduleConfig();
        auto it = after.reservations.find(c.cell);
        EXPECT_EQ(it == after.reservations.end() ? std::nullopt : std::optional(it->second), c.cellAfter) << c.label;
        if (c.journal) {
            EXPECT_EQ(journal, std::vector<std::string>{"Slot réservé : " + c.cell + " par A-ID"}) << c.label;
        } else {
            EXPECT_TRUE(journal.empty()) << c.label;
        }
        // The file is written by every booking applied (a repeated one too), and
    // by nothing else.
        const auto file = t.context->state.folder.readSchedule();
        if (c.journal || after != before) {
            ASSERT_TRUE(file.has_value()) << c.label;
            EXPECT_EQ(*file, after) << c.label;
        } else {
            EXPECT_FALSE(file.has_value()) << c.label;
        }
    }
}

TEST(ReserveSlotRoute, OnlyTheActiveTeacher) {
    test::TestContext t;
    setUp(t);
    const std::string booking = R"("week":"2026-W10","day":3,"slot":3)";
    EXPECT_EQ(callRoute(handleReserveSlot, *t.context, R"({"pin":"222222",)" + booking + "}").status, 401);
    EXPECT_EQ(callRoute(handleSchedule, *t.context, R"({"pin":"222222"})").status, 200);
    EXPECT_EQ(t.queue->drain(), 0u);

    // The individual mode books under the empty teacher id, shown as "?".
    test::TestContext solo;
    const std::string pin = solo.config().teacherPinCode();
    EXPECT_EQ(callRoute(handleReserveSlot, *solo.context, R"({"pin":")" + pin + "\"," + booking + "}").body,
              R"({"success": true})");
    solo.queue->drain();
    EXPECT_EQ(solo.config().scheduleConfig().reservations.at("2026-W10_thursday_3"), "");
    const auto grid = Json::parse(callRoute(handleSchedule, *solo.context, R"({"pin":")" + pin + R"(","week":"2026-W10"})").body);
    EXPECT_EQ(grid["reservations"], Json::parse(R"([{"day":3,"slot":3,"teacherId":"","teacherName":"?"}])"));
    // Written compactly, "/" escaped as in every configuration file.
    EXPECT_EQ(readFile(solo.context->state.folder.scheduleFile()),
              encodeConfigJson(toJson(solo.config().scheduleConfig())));
}

}  // namespace
}  // namespace klarion
