// The class routes a teacher drives: "/api/config", "/api/mission",
// "/api/admin/update", "/api/gen-params"; the live class data (word cloud,
// students, live feed, safety alerts and their acknowledgement); the agenda
// ("/api/schedule", "/api/reserve-slot").
#include <gtest/gtest.h>

#include "platform/numbers.h"

#include <set>

#include "app/state/config_files.h"
#include "platform/files.h"
#include "server/api/class_config_routes.h"
#include "server/api/live_data_routes.h"
#include "server/api/schedule_routes.h"
#include "tests/support/classroom_fixture.h"
#include "tests/support/text_pattern.h"

namespace klarion {
namespace {

using test::callRoute;
using test::kAlice;
using test::kBruno;
using Check = std::function<bool(const AppConfigValues&)>;

constexpr double kNow = 1772530200.0;  // Tue 2026-03-03 10:30 Paris, inside slot 1 (10:05-11:45)

TEST(ConfigRoute, MembersPerMode) {
    std::set<std::string> keys = {"audience",
                                  "requiresPin",
                                  "isSupervisionActive",
                                  "supervisionLevel",
                                  "safetyAiScanAll",
                                  "customMission",
                                  "isAiPaused",
                                  "shortURL",
                                  "timerEndTime",
                                  "mode",
                                  "temperature",
                                  "topP",
                                  "frequencyPenalty",
                                  "presencePenalty",
                                  "maxTokens",
                                  "useSeed",
                                  "seedValue",
                                  "expertConstraintsDisabled",
                                  "expertDirective",
                                  "repeatPenalty"};
    auto keysOf = [](const Json& json) {
        std::set<std::string> found;
        for (const auto& [key, value] : json.items()) found.insert(key);
        return found;
    };
    test::TestContext t;
    auto reply = callRoute(handleConfig, *t.context, "");
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.contentType, "application/json");
    auto json = Json::parse(reply.body);
    EXPECT_EQ(keysOf(json), keys);
    EXPECT_EQ(json["mode"], "individual");

    t.establishment(false);
    keys.insert({"activeTeacherName", "activeTeacherId", "sessionSlotEndTime"});
    json = Json::parse(callRoute(handleConfig, *t.context, "").body);
    EXPECT_EQ(keysOf(json), keys);
    EXPECT_EQ(json["activeTeacherId"], "");
    EXPECT_EQ(json["activeTeacherName"], "");
    EXPECT_EQ(json["sessionSlotEndTime"], 0.0);

    // Alice holds the running slot: the session ends with it, at 11:45.
    t.establishment(true);
    auto schedule = t.config().scheduleConfig();
    schedule.reservations["2026-W10_tuesday_1"] = kAlice.id;
    t.config().setScheduleConfig(schedule);
    t.config().setPinCode("4321");
    const std::string body = callRoute(handleConfig, *t.context, "").body;
    json = Json::parse(body);
    EXPECT_EQ(json["activeTeacherId"], kAlice.id);
    EXPECT_EQ(json["activeTeacherName"], "Alice");
    EXPECT_EQ(json["sessionSlotEndTime"], kNow + 75 * 60);
    // No PIN of any kind leaves through the public route.
    for (const std::string& secret : {std::string("4321"), std::string("111111"), t.config().teacherPinCode()}) {
        EXPECT_EQ(body.find(secret), std::string::npos) << secret;
    }
}

// The body is kept between requests: it must still follow every change, and
// in the establishment mode the clock.
TEST(ConfigRoute, FollowsEveryChangeAndInTheEstablishmentModeTheClock) {
    test::TestContext t;
    const auto config = [&] { return Json::parse(callRoute(handleConfig, *t.context, "").body); };
    EXPECT_EQ(config()["customMission"], "");
    t.config().setCustomMission("Les fractions");
    EXPECT_EQ(config()["customMission"], "Les fractions");
    t.config().update([](AppConfigValues& v) { v.isAiPaused = true, v.temperature = 1.5; });
    const Json paused = config();
    EXPECT_EQ(paused["isAiPaused"], true);
    EXPECT_EQ(paused["temperature"], 1.5);

    t.establishment(true);
    auto schedule = t.config().scheduleConfig();
    schedule.reservations["2026-W10_tuesday_1"] = kAlice.id;
    t.config().setScheduleConfig(schedule);
    EXPECT_EQ(config()["sessionSlotEndTime"], kNow + 75 * 60);
    t.clock->advance(2 * 3600);  // 12:30: Alice's slot is over, no setting changed
    EXPECT_NE(config()["sessionSlotEndTime"], kNow + 75 * 60);
}

TEST(MissionRoute, SetsTheMissionOnTheMainQueue) {
    test::TestContext t;
    auto reply = callRoute(handleMission, *t.context, t.pinBody(R"("mission":"Parler du système solaire")"));
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, "OK");
    EXPECT_EQ(reply.contentType, std::nullopt);
    EXPECT_EQ(t.config().customMission(), "") << "applied only on the main queue";
    EXPECT_EQ(t.journal(), std::vector<std::string>{"Mission mise à jour"});
    EXPECT_EQ(t.config().customMission(), "Parler du système solaire");
    EXPECT_EQ(callRoute(handleMission, *t.context, t.pinBody(R"("mission":5)")).status, 401);  // a mission is a text
    EXPECT_EQ(t.queue->drain(), 0u);

    // In the establishment mode only the mission reaches the teacher's file.
    test::TestContext e;
    e.establishment(true);
    TeacherConfig stored;
    stored.audience = "lycee";
    stored.pinCode = "1357";
    e.context->state.folder.saveTeacherConfig(kAlice.id, stored);
    e.config().setAudience("college");  // newer than the file: must not reach it
    EXPECT_EQ(callRoute(handleMission, *e.context, R"({"pin":"111111","mission":"Nouvelle mission"})").status, 200);
    e.queue->drain();
    stored.customMission = "Nouvelle mission";
    EXPECT_EQ(e.context->state.folder.loadTeacherConfig(kAlice.id), stored);
    EXPECT_EQ(e.config().lastActivityTime(), 0) << "the mission does not stamp the activity";
}

TEST(AdminUpdateRoute, EachKeyOnlyWithItsType) {
    const struct {
        const char* key;
        const char* wrong;  // a value of another JSON type: ignored
        const char* right;
        Check applied;
    } cases[] = {
        {"audience", "3", R"("lycee")", [](const auto& v) { return v.audience == "lycee"; }},
        {"requiresPin", R"("true")", "true", [](const auto& v) { return v.requiresPin; }},
        {"isSupervisionActive", "1", "true", [](const auto& v) { return v.isSupervisionActive; }},
        {"supervisionLevel", "false", R"("questions")",
         [](const auto& v) { return v.supervisionLevel == "questions"; }},
        {"isAiPaused", R"("yes")", "true", [](const auto& v) { return v.isAiPaused; }},
        {"safetyAiScanAll", "1", "true", [](const auto& v) { return v.safetyAiScanAll; }},
        {"addTimer", R"("600")", "600", [](const auto& v) { return v.timerEndTime == kNow + 600; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        test::TestContext t;
        const auto before = t.config().snapshot();
        const std::string wrong = "\"" + std::string(c.key) + "\":" + c.wrong;
        EXPECT_EQ(callRoute(handleAdminUpdate, *t.context, t.pinBody(wrong)).status, 200);
        t.queue->drain();
        EXPECT_EQ(t.config().snapshot(), before);
        // Beside a right key, the right one still applies.
        const std::string other = std::string(c.key) == "audience" ? R"("isAiPaused":true)" : R"("audience":"lycee")";
        callRoute(handleAdminUpdate, *t.context, t.pinBody(wrong + "," + other));
        t.queue->drain();
        EXPECT_FALSE(c.applied(t.config().snapshot()));
        EXPECT_NE(t.config().snapshot(), before);
        callRoute(handleAdminUpdate, *t.context, t.pinBody("\"" + std::string(c.key) + "\":" + c.right));
        t.queue->drain();
        EXPECT_TRUE(c.applied(t.config().snapshot()));
        if (std::string(c.key) == "safetyAiScanAll") {
            EXPECT_EQ(t.config().preferences()->boolean(AppConfig::safetyScanPreferenceKey), true);
        }
    }
}

TEST(AdminUpdateRoute, ClassPinIsDrawnOnceFromTheDefault) {
    test::TestContext t;
    auto reply = callRoute(handleAdminUpdate, *t.context, t.pinBody(R"("requiresPin":false)"));
    EXPECT_EQ(reply.body, R"({"status":"OK","studentPinCode":"8461"})");
    EXPECT_EQ(reply.contentType, "application/json");
    t.queue->drain();

    reply = callRoute(handleAdminUpdate, *t.context, t.pinBody(R"("requiresPin":true)"));
    const std::string drawn = Json::parse(reply.body)["studentPinCode"];
    EXPECT_TRUE(klarion::testing::matchesPattern(drawn, "####")) << drawn;
    EXPECT_EQ(t.config().pinCode(), "8461") << "applied only on the main queue";
    EXPECT_EQ(t.journal(), std::vector<std::string>{"PIN élève généré via admin/update → " + drawn});
    EXPECT_EQ(t.config().pinCode(), drawn);

    reply = callRoute(handleAdminUpdate, *t.context, t.pinBody(R"("requiresPin":true)"));
    EXPECT_EQ(Json::parse(reply.body)["studentPinCode"], drawn);
}

TEST(AdminUpdateRoute, PauseTimer) {
    const struct {
        std::string keys;
        bool pausedBefore;
        double timerBefore;
        double timerAfter;
        bool pausedAfter;
    } cases[] = {
        {R"("addTimer":600)", true, 0, kNow + 600, false},  // arms and lifts a pause
        {R"("isAiPaused":true,"addTimer":600)", false, 0, kNow + 600, false},
        {R"("addTimer":0)", true, kNow + 60, 0, true},  // disarms
    };
    for (const auto& c : cases) {
        test::TestContext t;
        t.config().setIsAiPaused(c.pausedBefore);
        t.config().setTimerEndTime(c.timerBefore);
        callRoute(handleAdminUpdate, *t.context, t.pinBody(c.keys));
        t.queue->drain();
        EXPECT_EQ(t.config().timerEndTime(), c.timerAfter) << c.keys;
        EXPECT_EQ(t.config().isAiPaused(), c.pausedAfter) << c.keys;
    }
}

TEST(AdminUpdateRoute, EstablishmentStampsActivityAndSavesTheTeachersSettings) {
    test::TestContext t;
    t.establishment(true);
    EXPECT_EQ(callRoute(handleAdminUpdate, *t.context, R"({"pin":"222222","audience":"x"})").status, 401);
    t.clock->set(kNow + 30);
    auto reply = callRoute(handleAdminUpdate, *t.context,
                           R"({"pin":"111111","audience":"lycee","requiresPin":true,"isSupervisionActive":true})");
    EXPECT_EQ(reply.status, 200);
    const std::string drawn = Json::parse(reply.body)["studentPinCode"];
    t.queue->drain();
    EXPECT_EQ(t.config().lastActivityTime(), kNow + 30);
    EXPECT_EQ(t.context->state.folder.loadTeacherConfig(kAlice.id),
              (TeacherConfig{"lycee", "", true, drawn, true, "questions_answers"}));
}

// One row per kind of rule; the fuzz corpus holds the other boundaries.
TEST(GenParamsRoute, ClampingTable) {
    const std::pair<std::string, Check> cases[] = {
        {R"("temperature":3)", [](const auto& v) { return v.temperature == 2.0; }},
        {R"("temperature":"0.5")", [](const auto& v) { return v.temperature == 0.7; }},
        {R"("topP":0)", [](const auto& v) { return v.topP == 0.01; }},
        {R"("freqPenalty":9)", [](const auto& v) { return v.frequencyPenalty == 2.0; }},
        {R"("presPenalty":-2.5)", [](const auto& v) { return v.presencePenalty == -2.0; }},
        {R"("maxTokens":10)", [](const auto& v) { return v.maxTokens == 50; }},
        {R"("maxTokens":4096.5)", [](const auto& v) { return v.maxTokens == 4096; }},
        {R"("seedValue":-7)", [](const auto& v) { return v.seedValue == 0; }},
        {R"("repeatPenalty":7)", [](const auto& v) { return v.repeatPenalty == 2.0; }},
        {R"("useSeed":1)", [](const auto& v) { return !v.useSeed; }},
        {R"("expertDirective":"  Tu es un pirate.  ")",
         [](const auto& v) { return v.expertDirective == "  Tu es un pirate.  "; }},
        {R"("frequencyPenalty":1)", [](const auto& v) { return v.frequencyPenalty == 0.0; }},  // not its name
    };
    for (const auto& [member, stored] : cases) {
        test::TestContext t;
        auto reply = callRoute(handleGenParams, *t.context, t.pinBody(member));
        EXPECT_EQ(reply.body, R"({"status":"OK"})") << member;
        EXPECT_EQ(reply.contentType, "application/json");
        t.queue->drain();
        EXPECT_TRUE(stored(t.config().snapshot())) << member;
    }
}

TEST(GenParamsRoute, JournalLineAndWhoMayTune) {
    test::TestContext t;
    callRoute(handleGenParams, *t.context, t.pinBody());
    EXPECT_EQ(t.journal(), std::vector<std::string>{
                               "Mode Expert — temp=0.7 topP=0.9 freq=0.0 pres=0.0 maxTok=4096 seed=off directives=ON"});
    test::TestContext u;
    callRoute(handleGenParams, *u.context,
              u.pinBody(R"("temperature":2,"topP":0.01,"freqPenalty":-1,"maxTokens":100,"useSeed":true,)"
                        R"("seedValue":7,"constraintsDisabled":true)"));
    EXPECT_EQ(u.journal(), std::vector<std::string>{
                               "Mode Expert — temp=2.0 topP=0.01 freq=-1.0 pres=0.0 maxTok=100 seed=7 directives=OFF"});

    // In the establishment mode any teacher of the roster may tune, session or not.
    test::TestContext e;
    e.establishment(false);
    EXPECT_EQ(callRoute(handleGenParams, *e.context, R"({"pin":"222222","temperature":1})").status, 200);
}

TEST(DecimalText, ShortestFormWithAFraction) {
    const std::pair<double, const char*> cases[] = {
        {0.7, "0.7"},
        {2, "2.0"},
        {0, "0.0"},
        {-2, "-2.0"},
        {0.1 + 0.2, "0.30000000000000004"},
        {1e21, "1e+21"},
        {0.0001, "0.0001"},
        {-0.00025, "-0.00025"},
        {0.00001, "1e-05"},
        {1.5e-7, "1.5e-07"},
        {9007199254740992.0, "9007199254740992.0"},
    };
    for (const auto& [value, text] : cases) EXPECT_EQ(decimalText(value), text) << text;
}

// ---- Live class data.

SafetyAlert alert(const std::string& id, const std::string& level, double time, bool ack = false) {
    return SafetyAlert{id,   "Léa", "10.0.0.9", "texte " + id, "raison " + id, *safetyAlertLevelFromString(level),
                       time, ack};
}

Json listFrom(test::TestContext& t, HttpResponse (*handler)(const ClassroomContext&, HttpRequest&)) {
    const auto reply = callRoute(handler, *t.context, t.pinBody());
    EXPECT_EQ(reply.contentType, "application/json");
    return Json::parse(reply.body);
}

TEST(LiveDataRoutes, OrderAndLimits) {
    test::TestContext t;
    for (auto handler : {handleKeywords, handleStudents, handleLiveFeed, handleSafetyAlerts}) {
        EXPECT_EQ(listFrom(t, handler), Json::array());
    }

    WordFrequency words;
    for (int i = 0; i < 31; ++i) words["mot" + std::to_string(100 + i)] = 100 - i;  // mot130 has the lowest count
    t.config().setWordFrequency(words);
    auto list = listFrom(t, handleKeywords);
    ASSERT_EQ(list.size(), 30u);
    EXPECT_EQ(list[0], (Json{{"text", "mot100"}, {"size", 100}}));
    for (size_t i = 1; i < list.size(); ++i) EXPECT_GE(list[i - 1]["size"], list[i]["size"]);
    EXPECT_EQ(list[29]["text"], "mot129");

    std::vector<LiveQuestion> questions;
    for (int i = 0; i < 70; ++i) {
        questions.push_back({"ID" + std::to_string(i), "Tom", "10.0.0.5", "q" + std::to_string(i), 1000.0 + i});
    }
    t.config().setLiveQuestions(questions);
    list = listFrom(t, handleLiveFeed);
    ASSERT_EQ(list.size(), 60u);
    EXPECT_EQ(list.front(), (Json{{"name", "Tom"}, {"text", "q69"}, {"time", 1069.0}}));
    EXPECT_EQ(list.back()["text"], "q10");

    std::vector<SafetyAlert> alerts;
    for (int i = 0; i < 40; ++i) {
        alerts.push_back(alert("ID-" + std::to_string(i), i % 4 == 0 ? "dismissed" : (i % 2 ? "keyword" : "confirmed"),
                               2000.0 + i, i == 38));
    }
    t.config().setSafetyAlerts(alerts);
    list = listFrom(t, handleSafetyAlerts);
    ASSERT_EQ(list.size(), 30u);
    EXPECT_EQ(list[0], (Json{{"id", "ID-39"},
                             {"name", "Léa"},
                             {"text", "texte ID-39"},
                             {"reason", "raison ID-39"},
                             {"level", "keyword"},
                             {"time", 2039.0},
                             {"ack", false}}));
    EXPECT_EQ(list[1], (Json{{"id", "ID-38"},
                             {"name", "Léa"},
                             {"text", "texte ID-38"},
                             {"reason", "raison ID-38"},
                             {"level", "confirmed"},
                             {"time", 2038.0},
                             {"ack", true}}));
    for (const auto& entry : list) EXPECT_NE(entry["level"], "dismissed");
}

TEST(LiveDataRoutes, StudentsWithDisambiguatedNames) {
    test::TestContext t;
    t.config().setConnectedStudents({{"10.0.0.9", "Léa"},
                                     {"10.0.0.12", "Léa"},
                                     {"10.0.0.5", "Tom"},
                                     {"10.0.0.7",
                                      "Le\xCC\x81"
                                      "a"}});  // "Léa" with a combining accent
    std::map<std::string, std::string> shown;
    for (const auto& entry : listFrom(t, handleStudents)) shown[entry["ip"]] = entry["name"];
    EXPECT_EQ(shown, (std::map<std::string, std::string>{{"10.0.0.12", "Léa"},
                                                         {"10.0.0.5", "Tom"},
                                                         {"10.0.0.7",
                                                          "Le\xCC\x81"
                                                          "a (2)"},
                                                         {"10.0.0.9", "Léa (3)"}}));
    EXPECT_EQ(studentEntry("10.0.0.99", t.config().connectedStudents())["name"], "Anonyme");
}

TEST(LiveDataRoutes, AcknowledgeMarksTheExactIdOnTheMainQueue) {
    const std::string id = "0F8FAD5B-D9CB-469F-A165-70867728950E";
    std::string lower = id;
    for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    test::TestContext t;
    t.config().setSafetyAlerts({alert("OTHER", "keyword", 1), alert(id, "confirmed", 2), alert(id, "keyword", 3)});

    for (const std::string& sent : {lower, id}) {  // lower case matches nothing; the reply is the same
        auto reply = callRoute(handleAckAlert, *t.context, t.pinBody(R"("id":")" + sent + "\""));
        EXPECT_EQ(reply.body, R"({"success":true})");
        EXPECT_EQ(reply.contentType, "application/json");
        EXPECT_FALSE(t.config().safetyAlerts()[1].acknowledged) << "applied only on the main queue";
        t.queue->drain();
        EXPECT_EQ(t.config().safetyAlerts()[1].acknowledged, sent == id);
    }
    const auto alerts = t.config().safetyAlerts();
    EXPECT_FALSE(alerts[0].acknowledged);
    EXPECT_TRUE(alerts[1].acknowledged);
    EXPECT_EQ(alerts[1].level, SafetyAlertLevel::confirmed);
    EXPECT_FALSE(alerts[2].acknowledged) << "only the first match";

    // Ids travel in upper case whatever their stored form.
    t.config().setSafetyAlerts({alert("ab-cd", "keyword", 4)});
    EXPECT_EQ(listFrom(t, handleSafetyAlerts)[0]["id"], "AB-CD");
    callRoute(handleAckAlert, *t.context, t.pinBody(R"("id":"AB-CD")"));
    t.queue->drain();
    EXPECT_TRUE(t.config().safetyAlerts()[0].acknowledged);

    EXPECT_EQ(callRoute(handleAckAlert, *t.context, t.pinBody()).status, 401) << "no id";
    EXPECT_EQ(callRoute(handleAckAlert, *t.context, t.pinBody(R"("id":7)")).status, 401) << "id not a string";
}

// ---- The agenda.

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
    EXPECT_EQ(json["slotDefinitions"][1],
              (Json{{"index", 1}, {"label", "Matin 2"}, {"start", "10:05"}, {"end", "11:45"}}));
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
