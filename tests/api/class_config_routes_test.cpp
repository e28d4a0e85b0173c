// "/api/config", "/api/mission", "/api/admin/update" and "/api/gen-params".
#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "platform/files.h"
#include "server/api/class_config_routes.h"
#include "tests/api/api_test_support.h"
#include "tests/api/route_call.h"

namespace klarion {
namespace {

using test::callRoute;

const Teacher kAlice{"A-ID", "Alice", "111111", "2025-09-01T07:45:09Z"};
const Teacher kBruno{"B-ID", "Bruno", "222222", "2025-09-01T07:45:09Z"};
constexpr double kNow = 1772530200.0;  // Tue 2026-03-03 10:30 Paris, inside slot 1 (10:05-11:45)

std::set<std::string> keysOf(const std::string& body) {
    std::set<std::string> keys;
    const Json json = Json::parse(body);
    for (const auto& [key, value] : json.items()) keys.insert(key);
    return keys;
}

void establishment(test::TestContext& t, bool withSession) {
    t.config().setAppMode("establishment");
    t.config().setTeachers({kAlice, kBruno});
    if (withSession) {
        t.config().setActiveTeacherId(kAlice.id);
        t.config().setActiveTeacherName(kAlice.name);
    }
}

std::string pinBody(const test::TestContext& t, const std::string& extra = "") {
    const std::string pin = t.context->config().teacherPinCode();
    return R"({"pin":")" + pin + "\"" + (extra.empty() ? "" : "," + extra) + "}";
}

// ---- /api/config ----

TEST(ConfigRoute, MembersPerMode) {
    const std::set<std::string> common = {
        "audience",    "requiresPin", "isSupervisionActive", "supervisionLevel", "safetyAiScanAll",
        "customMission", "isAiPaused", "shortURL", "timerEndTime", "mode", "temperature", "topP",
        "frequencyPenalty", "presencePenalty", "maxTokens", "useSeed", "seedValue",
        "expertConstraintsDisabled", "expertDirective", "repeatPenalty"};
    test::TestContext t;
    auto reply = callRoute(handleConfig, *t.context, "");
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.contentType, "application/json");
    EXPECT_EQ(keysOf(reply.body), common);
    EXPECT_EQ(Json::parse(reply.body)["mode"], "individual");

    establishment(t, false);
    auto withSessionKeys = common;
    withSessionKeys.insert({"activeTeacherName", "activeTeacherId", "sessionSlotEndTime"});
    reply = callRoute(handleConfig, *t.context, "");
    EXPECT_EQ(keysOf(reply.body), withSessionKeys);
    auto json = Json::parse(reply.body);
    EXPECT_EQ(json["activeTeacherId"], "");
    EXPECT_EQ(json["activeTeacherName"], "");
    EXPECT_EQ(json["sessionSlotEndTime"], 0.0);

    // Alice holds the running slot: the session ends with it, at 11:45.
    establishment(t, true);
    auto schedule = t.config().scheduleConfig();
    schedule.reservations["2026-W10_tuesday_1"] = kAlice.id;
    t.config().setScheduleConfig(schedule);
    t.config().setPinCode("4321");
    json = Json::parse(callRoute(handleConfig, *t.context, "").body);
    EXPECT_EQ(json["activeTeacherId"], kAlice.id);
    EXPECT_EQ(json["activeTeacherName"], "Alice");
    EXPECT_EQ(json["sessionSlotEndTime"], kNow + 75 * 60);
    // No PIN of any kind leaves through the public route.
    const std::string body = callRoute(handleConfig, *t.context, "").body;
    for (const std::string& secret : std::vector<std::string>{"4321", "111111", t.config().teacherPinCode()}) {
        EXPECT_EQ(body.find(secret), std::string::npos) << secret;
    }
}

// ---- /api/mission ----

TEST(MissionRoute, RefusalsChangeNothing) {
    struct Case {
        const char* label;
        bool establishmentMode;
        bool session;
        std::string body;  // "{pin}" stands for the individual teacher PIN
    };
    const Case cases[] = {
        {"not JSON", false, false, "mission"},
        {"an array", false, false, R"(["{pin}"])"},
        {"no mission", false, false, R"({"pin":"{pin}"})"},
        {"mission not a string", false, false, R"({"pin":"{pin}","mission":5})"},
        {"pin a number", false, false, R"({"pin":1234,"mission":"x"})"},
        {"wrong pin", false, false, R"({"pin":"nope","mission":"x"})"},
        {"no session", true, false, R"({"pin":"111111","mission":"x"})"},
        {"other teacher", true, true, R"({"pin":"222222","mission":"x"})"},
    };
    for (const auto& c : cases) {
        test::TestContext t;
        if (c.establishmentMode) establishment(t, c.session);
        std::string body = std::regex_replace(c.body, std::regex("\\{pin\\}"), t.config().teacherPinCode());
        auto reply = callRoute(handleMission, *t.context, body);
        EXPECT_EQ(reply.status, 401) << c.label;
        EXPECT_EQ(reply.body, "") << c.label;
        EXPECT_EQ(t.queue->drain(), 0u) << c.label;
        EXPECT_EQ(t.config().customMission(), "") << c.label;
    }
}

TEST(MissionRoute, SetsTheMissionOnTheMainQueue) {
    test::TestContext t;
    auto reply = callRoute(handleMission, *t.context, pinBody(t, R"("mission":"Parler du système solaire")"));
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, "OK");
    EXPECT_EQ(reply.contentType, std::nullopt);
    EXPECT_EQ(t.config().customMission(), "") << "applied only on the main queue";
    auto journal = t.journal();
    EXPECT_EQ(t.config().customMission(), "Parler du système solaire");
    EXPECT_EQ(journal, std::vector<std::string>{"Mission mise à jour"});

    callRoute(handleMission, *t.context, pinBody(t, R"("mission":"")"));
    t.queue->drain();
    EXPECT_EQ(t.config().customMission(), "");
}

TEST(MissionRoute, EstablishmentStoresOnlyTheMissionInTheTeachersFile) {
    test::TestContext t;
    establishment(t, true);
    TeacherConfig stored;
    stored.audience = "lycee";
    stored.pinCode = "1357";
    t.context->state.folder.saveTeacherConfig(kAlice.id, stored);
    t.config().setAudience("college");  // newer than the file: must not reach it

    auto reply = callRoute(handleMission, *t.context, R"({"pin":"111111","mission":"Nouvelle mission"})");
    EXPECT_EQ(reply.status, 200);
    t.queue->drain();
    TeacherConfig expected = stored;
    expected.customMission = "Nouvelle mission";
    EXPECT_EQ(t.context->state.folder.loadTeacherConfig(kAlice.id), expected);
    EXPECT_EQ(t.config().lastActivityTime(), 0) << "the mission does not stamp the activity";
}

// ---- /api/admin/update ----

TEST(AdminUpdateRoute, EachKeyOnlyWithItsType) {
    struct Case {
        const char* key;
        const char* wrong;  // a value of another JSON type: ignored
        const char* right;
        std::function<bool(const AppConfigValues&)> applied;
    };
    const Case cases[] = {
        {"audience", "3", R"("lycee")", [](const auto& v) { return v.audience == "lycee"; }},
        {"requiresPin", R"("true")", "true", [](const auto& v) { return v.requiresPin; }},
        {"isSupervisionActive", "1", "true", [](const auto& v) { return v.isSupervisionActive; }},
        {"supervisionLevel", "false", R"("questions")", [](const auto& v) { return v.supervisionLevel == "questions"; }},
        {"isAiPaused", R"("yes")", "true", [](const auto& v) { return v.isAiPaused; }},
        {"safetyAiScanAll", "1", "true", [](const auto& v) { return v.safetyAiScanAll; }},
        {"addTimer", R"("600")", "600", [](const auto& v) { return v.timerEndTime == kNow + 600; }},
    };
    for (const auto& c : cases) {
        test::TestContext t;
        const auto before = t.config().snapshot();
        // The wrong type alone: nothing changes, the reply is still OK.
        auto reply = callRoute(handleAdminUpdate, *t.context, pinBody(t, "\"" + std::string(c.key) + "\":" + c.wrong));
        EXPECT_EQ(reply.status, 200) << c.key;
        t.queue->drain();
        EXPECT_EQ(t.config().snapshot(), before) << c.key;
        // The wrong type beside a right key: the right one still applies.
        const std::string other = std::string(c.key) == "audience" ? R"("isAiPaused":true)" : R"("audience":"lycee")";
        callRoute(handleAdminUpdate, *t.context, pinBody(t, "\"" + std::string(c.key) + "\":" + c.wrong + "," + other));
        t.queue->drain();
        EXPECT_FALSE(c.applied(t.config().snapshot())) << c.key;
        EXPECT_NE(t.config().snapshot(), before) << c.key;
        // The right type.
        callRoute(handleAdminUpdate, *t.context, pinBody(t, "\"" + std::string(c.key) + "\":" + c.right));
        t.queue->drain();
        EXPECT_TRUE(c.applied(t.config().snapshot())) << c.key;
    }
    test::TestContext t;
    callRoute(handleAdminUpdate, *t.context, pinBody(t, R"("safetyAiScanAll":true)"));
    t.queue->drain();
    EXPECT_EQ(t.config().preferences()->boolean(AppConfig::safetyScanPreferenceKey), true);
}

TEST(AdminUpdateRoute, ClassPinIsDrawnOnceFromTheDefault) {
    test::TestContext t;
    auto reply = callRoute(handleAdminUpdate, *t.context, pinBody(t, R"("requiresPin":false)"));
    EXPECT_EQ(reply.body, R"({"status":"OK","studentPinCode":"8461"})");
    EXPECT_EQ(reply.contentType, "application/json");
    t.queue->drain();

    reply = callRoute(handleAdminUpdate, *t.context, pinBody(t, R"("requiresPin":true)"));
    const std::string drawn = Json::parse(reply.body)["studentPinCode"];
    EXPECT_TRUE(std::regex_match(drawn, std::regex("\\d{4}"))) << drawn;
    EXPECT_EQ(t.config().pinCode(), "8461") << "applied only on the main queue";
    const auto journal = t.journal();
    EXPECT_EQ(t.config().pinCode(), drawn);
    EXPECT_TRUE(t.config().requiresPin());
    EXPECT_EQ(journal, std::vector<std::string>{"PIN élève généré via admin/update → " + drawn});

    reply = callRoute(handleAdminUpdate, *t.context, pinBody(t, R"("requiresPin":true)"));
    EXPECT_EQ(Json::parse(reply.body)["studentPinCode"], drawn);
    t.queue->drain();
    EXPECT_EQ(t.config().pinCode(), drawn);
}

TEST(AdminUpdateRoute, PauseTimer) {
    struct Case {
        const char* label;
        std::string keys;
        bool pausedBefore;
        double timerBefore;
        double timerAfter;
        bool pausedAfter;
    };
    const Case cases[] = {
        {"arms and lifts a pause", R"("addTimer":600)", true, 0, kNow + 600, false},
        {"lifts a pause sent with it", R"("isAiPaused":true,"addTimer":600)", false, 0, kNow + 600, false},
        {"fractional seconds", R"("addTimer":0.5)", false, 0, kNow + 0.5, false},
        {"zero disarms", R"("addTimer":0)", true, kNow + 60, 0, true},
        {"negative disarms", R"("addTimer":-5)", false, kNow + 60, 0, false},
        {"a string is ignored", R"("addTimer":"600")", true, kNow + 60, kNow + 60, true},
    };
    for (const auto& c : cases) {
        test::TestContext t;
        t.config().setIsAiPaused(c.pausedBefore);
        t.config().setTimerEndTime(c.timerBefore);
        callRoute(handleAdminUpdate, *t.context, pinBody(t, c.keys));
        t.queue->drain();
        EXPECT_EQ(t.config().timerEndTime(), c.timerAfter) << c.label;
        EXPECT_EQ(t.config().isAiPaused(), c.pausedAfter) << c.label;
    }
}

TEST(AdminUpdateRoute, EstablishmentStampsActivityAndSavesTheTeachersSettings) {
    test::TestContext t;
    establishment(t, true);
    EXPECT_EQ(callRoute(handleAdminUpdate, *t.context, R"({"pin":"222222","audience":"x"})").status, 401);
    EXPECT_EQ(t.queue->drain(), 0u);

    t.clock->set(kNow + 30);
    auto reply = callRoute(handleAdminUpdate, *t.context,
                           R"({"pin":"111111","audience":"lycee","requiresPin":true,"isSupervisionActive":true})");
    EXPECT_EQ(reply.status, 200);
    const std::string drawn = Json::parse(reply.body)["studentPinCode"];
    t.queue->drain();
    EXPECT_EQ(t.config().lastActivityTime(), kNow + 30);
    const TeacherConfig saved = t.context->state.folder.loadTeacherConfig(kAlice.id);
    EXPECT_EQ(saved, (TeacherConfig{"lycee", "", true, drawn, true, "questions_answers"}));

    // Without a session every PIN is refused.
    test::TestContext idle;
    establishment(idle, false);
    EXPECT_EQ(callRoute(handleAdminUpdate, *idle.context, R"({"pin":"111111","audience":"x"})").status, 401);
}

TEST(AdminUpdateRoute, IndividualModeDoesNotStampActivity) {
    test::TestContext t;
    callRoute(handleAdminUpdate, *t.context, pinBody(t, R"("audience":"lycee")"));
    t.queue->drain();
    EXPECT_EQ(t.config().lastActivityTime(), 0);
    EXPECT_EQ(t.config().audience(), "lycee");
}

// ---- /api/gen-params ----

TEST(GenParamsRoute, ClampingTable) {
    struct Case {
        std::string member;  // "key":value
        std::function<bool(const AppConfigValues&)> stored;
    };
    const Case cases[] = {
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
        {R"("expertDirective":"  Tu es un pirate.  ")", [](const auto& v) { return v.expertDirective == "  Tu es un pirate.  "; }},
        {R"("frequencyPenalty":1)", [](const auto& v) { return v.frequencyPenalty == 0.0; }},
    };
    for (const auto& c : cases) {
        test::TestContext t;
        auto reply = callRoute(handleGenParams, *t.context, pinBody(t, c.member));
        EXPECT_EQ(reply.status, 200) << c.member;
        EXPECT_EQ(reply.body, R"({"status":"OK"})") << c.member;
        EXPECT_EQ(reply.contentType, "application/json");
        t.queue->drain();
        EXPECT_TRUE(c.stored(t.config().snapshot())) << c.member;
    }
}

TEST(GenParamsRoute, JournalLineFromTheStoredValues) {
    test::TestContext t;
    callRoute(handleGenParams, *t.context, pinBody(t));
    EXPECT_EQ(t.journal(), std::vector<std::string>{
                               "Mode Expert — temp=0.7 topP=0.9 freq=0.0 pres=0.0 maxTok=4096 seed=off directives=ON"});

    test::TestContext u;
    callRoute(handleGenParams, *u.context,
              pinBody(u, R"("temperature":2,"topP":0.01,"freqPenalty":-1,"maxTokens":100,"useSeed":true,)"
                         R"("seedValue":7,"constraintsDisabled":true)"));
    EXPECT_EQ(u.journal(), std::vector<std::string>{
                               "Mode Expert — temp=2.0 topP=0.01 freq=-1.0 pres=0.0 maxTok=100 seed=7 directives=OFF"});
}

TEST(GenParamsRoute, Refusals) {
    for (const std::string body : {"", "{}", "[]", R"({"pin":1234})", R"({"temperature":1})", R"({"pin":"0000x"})"}) {
        test::TestContext t;
        auto reply = callRoute(handleGenParams, *t.context, body);
        EXPECT_EQ(reply.status, 401) << body;
        EXPECT_EQ(reply.body, "") << body;
        EXPECT_TRUE(t.journal().empty()) << body;
    }
    // In the establishment mode any teacher of the roster may tune, session or not.
    test::TestContext t;
    establishment(t, false);
    EXPECT_EQ(callRoute(handleGenParams, *t.context, R"({"pin":"222222","temperature":1})").status, 200);
}

TEST(FormatDecimal, ShortestFormWithAFraction) {
    const std::pair<double, const char*> cases[] = {
        {0.7, "0.7"}, {2, "2.0"}, {0.01, "0.01"}, {0, "0.0"}, {-2, "-2.0"}, {1.1, "1.1"}, {0.1 + 0.2, "0.30000000000000004"},
        {1e21, "1e+21"}, {0.0001, "0.0001"}, {0.0003, "0.0003"}, {-0.00025, "-0.00025"}, {0.00001, "1e-05"},
        {1.5e-7, "1.5e-07"}, {9007199254740992.0, "9007199254740992.0"},
    };
    for (const auto& [value, text] : cases) EXPECT_EQ(formatDecimal(value), text) << text;
}

}  // namespace
}  // namespace klarion
