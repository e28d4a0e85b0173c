// "/api/config", "/api/mission", "/api/admin/update" and "/api/gen-params".
#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "server/api/class_config_routes.h"
#include "tests/api/api_test_support.h"

namespace klarion {
namespace {

using test::callRoute;
using test::kAlice;
using Check = std::function<bool(const AppConfigValues&)>;

constexpr double kNow = 1772530200.0;  // Tue 2026-03-03 10:30 Paris, inside slot 1 (10:05-11:45)

TEST(ConfigRoute, MembersPerMode) {
    std::set<std::string> keys = {"audience", "requiresPin", "isSupervisionActive", "supervisionLevel",
                                  "safetyAiScanAll", "customMission", "isAiPaused", "shortURL", "timerEndTime", "mode",
                                  "temperature", "topP", "frequencyPenalty", "presencePenalty", "maxTokens", "useSeed",
                                  "seedValue", "expertConstraintsDisabled", "expertDirective", "repeatPenalty"};
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

TEST(MissionRoute, RefusalsChangeNothing) {
    const struct {
        bool establishment;
        bool session;
        std::string body;  // "{pin}" stands for the individual teacher PIN
    } cases[] = {
        {false, false, "mission"},
        {false, false, R"(["{pin}"])"},
        {false, false, R"({"pin":"{pin}"})"},
        {false, false, R"({"pin":"{pin}","mission":5})"},
        {false, false, R"({"pin":1234,"mission":"x"})"},
        {true, false, R"({"pin":"111111","mission":"x"})"},  // no session
        {true, true, R"({"pin":"222222","mission":"x"})"},   // another teacher's
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        test::TestContext t;
        if (c.establishment) t.establishment(c.session);
        auto reply = callRoute(handleMission, *t.context,
                               std::regex_replace(c.body, std::regex("\\{pin\\}"), t.config().teacherPinCode()));
        EXPECT_EQ(reply.status, 401);
        EXPECT_EQ(reply.body, "");
        EXPECT_EQ(t.queue->drain(), 0u);
    }
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
        {"supervisionLevel", "false", R"("questions")", [](const auto& v) { return v.supervisionLevel == "questions"; }},
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
    EXPECT_TRUE(std::regex_match(drawn, std::regex("\\d{4}"))) << drawn;
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
        {R"("addTimer":0.5)", false, 0, kNow + 0.5, false},
        {R"("addTimer":0)", true, kNow + 60, 0, true},  // disarms
        {R"("addTimer":-5)", false, kNow + 60, 0, false},
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

    test::TestContext individual;
    callRoute(handleAdminUpdate, *individual.context, individual.pinBody(R"("audience":"lycee")"));
    individual.queue->drain();
    EXPECT_EQ(individual.config().audience(), "lycee");
    EXPECT_EQ(individual.config().lastActivityTime(), 0);
}

TEST(GenParamsRoute, ClampingTable) {
    const std::pair<std::string, Check> cases[] = {
        {R"("temperature":3)", [](const auto& v) { return v.temperature == 2.0; }},
        {R"("temperature":-1)", [](const auto& v) { return v.temperature == 0.0; }},
        {R"("temperature":1.25)", [](const auto& v) { return v.temperature == 1.25; }},
        {R"("temperature":"0.5")", [](const auto& v) { return v.temperature == 0.7; }},
        {R"("topP":0)", [](const auto& v) { return v.topP == 0.01; }},
        {R"("topP":5)", [](const auto& v) { return v.topP == 1.0; }},
        {R"("freqPenalty":-9)", [](const auto& v) { return v.frequencyPenalty == -2.0; }},
        {R"("freqPenalty":9)", [](const auto& v) { return v.frequencyPenalty == 2.0; }},
        {R"("presPenalty":-2.5)", [](const auto& v) { return v.presencePenalty == -2.0; }},
        {R"("presPenalty":1.5)", [](const auto& v) { return v.presencePenalty == 1.5; }},
        {R"("maxTokens":10)", [](const auto& v) { return v.maxTokens == 50; }},
        {R"("maxTokens":20480)", [](const auto& v) { return v.maxTokens == 8192; }},
        {R"("maxTokens":4096.5)", [](const auto& v) { return v.maxTokens == 4096; }},
        {R"("maxTokens":1000.0)", [](const auto& v) { return v.maxTokens == 1000; }},
        {R"("maxTokens":true)", [](const auto& v) { return v.maxTokens == 4096; }},
        {R"("seedValue":-7)", [](const auto& v) { return v.seedValue == 0; }},
        {R"("seedValue":99999999)", [](const auto& v) { return v.seedValue == 99999999; }},
        {R"("seedValue":1.5)", [](const auto& v) { return v.seedValue == 42; }},
        {R"("repeatPenalty":0.2)", [](const auto& v) { return v.repeatPenalty == 0.5; }},
        {R"("repeatPenalty":7)", [](const auto& v) { return v.repeatPenalty == 2.0; }},
        {R"("useSeed":true)", [](const auto& v) { return v.useSeed; }},
        {R"("useSeed":1)", [](const auto& v) { return !v.useSeed; }},
        {R"("constraintsDisabled":true)", [](const auto& v) { return v.expertConstraintsDisabled; }},
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

    for (const std::string body : {"{}", "[]", R"({"pin":1234})", R"({"temperature":1})"}) {
        test::TestContext r;
        EXPECT_EQ(callRoute(handleGenParams, *r.context, body).status, 401) << body;
        EXPECT_TRUE(r.journal().empty()) << body;
    }
    // In the establishment mode any teacher of the roster may tune, session or not.
    test::TestContext e;
    e.establishment(false);
    EXPECT_EQ(callRoute(handleGenParams, *e.context, R"({"pin":"222222","temperature":1})").status, 200);
}

TEST(FormatDecimal, ShortestFormWithAFraction) {
    const std::pair<double, const char*> cases[] = {
        {0.7, "0.7"}, {2, "2.0"}, {0, "0.0"}, {-2, "-2.0"}, {0.1 + 0.2, "0.30000000000000004"}, {1e21, "1e+21"},
        {0.0001, "0.0001"}, {-0.00025, "-0.00025"}, {0.00001, "1e-05"}, {1.5e-7, "1.5e-07"},
        {9007199254740992.0, "9007199254740992.0"},
    };
    for (const auto& [value, text] : cases) EXPECT_EQ(formatDecimal(value), text) << text;
}

}  // namespace
}  // namespace klarion
