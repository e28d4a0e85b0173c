// Start and stop of the classroom server: port alert, route table over real
// HTTP, published address, short links, clearing on stop.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "http/core/server.h"
#include "http/core/socket.h"
#include "server/api/classroom_server.h"
#include "server/api/lan_address.h"
#include "tests/api/api_test_support.h"
#include "web/dashboard/static_routes.h"

namespace klarion {
namespace {

bool contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}
bool containsPrefix(const std::vector<std::string>& lines, const std::string& prefix) {
    return std::any_of(lines.begin(), lines.end(), [&](const auto& l) { return l.rfind(prefix, 0) == 0; });
}

struct ClassroomServerTest : ::testing::Test {
    test::TestContext t;
    std::shared_ptr<PanelState> panel = std::make_shared<PanelState>();
    std::unique_ptr<ClassroomServer> classroom;

    void SetUp() override {
        const auto folder = t.home.path() / "resources";
        std::filesystem::create_directories(folder);
        for (const char* name : {"index.html", "style.css", "app.js", "klarion_petit.png", "context_help.png"}) {
            std::ofstream(folder / name) << "contenu de " << name;
        }
        classroom = std::make_unique<ClassroomServer>(t.context, panel);
        classroom->setPageRoutes(dashboard::staticRoutes(std::make_shared<dashboard::ResourceFolder>(folder)));
        panel->hostName = "Salle 12 Mac";
    }
    uint16_t startOnFreePort() {
        panel->selectedPort = 0;
        classroom->startServer();
        t.queue->drain();
        EXPECT_TRUE(panel->isRunning);
        return classroom->listeningPort().value_or(0);
    }
};

TEST_F(ClassroomServerTest, BusyPortShowsTheAlertAndKeepsTheServerStopped) {
    auto taken = Socket::openListening(0);
    const uint16_t port = taken->port();
    t.config().setTeacherPinCode("abcd");
    panel->selectedPort = port;
    classroom->startServer();
    t.queue->drain();

    const std::string p = std::to_string(port);
    EXPECT_FALSE(panel->isRunning);
    EXPECT_TRUE(panel->showingAlert);
    EXPECT_EQ(panel->alertTitle, "Port réseau bloqué");
    EXPECT_EQ(panel->alertMessage, "Impossible de démarrer le serveur sur le port " + p +
                                       ".\n\n👉 Solution : Sélectionne le port 8080 ou 80, puis clique à nouveau "
                                       "sur Démarrer.");
    EXPECT_TRUE(panel->ipURL.empty());
    // A new teacher PIN was drawn all the same.
    EXPECT_NE(t.config().teacherPinCode(), "abcd");
    EXPECT_EQ(t.config().teacherPinCode().size(), 4u);
    const auto journal = t.journal();
    EXPECT_TRUE(contains(journal, "Démarrage du serveur sur le port " + p + "…"));
    EXPECT_TRUE(contains(journal, "PIN enseignant régénéré au démarrage du serveur"));
    EXPECT_TRUE(containsPrefix(journal, "Impossible de démarrer sur le port " + p + " : "));
    EXPECT_FALSE(containsPrefix(journal, "Serveur démarré"));
}

TEST_F(ClassroomServerTest, PortOutOfRangeIsAStartFailure) {
    panel->selectedPort = 70000;
    classroom->startServer();
    t.queue->drain();
    EXPECT_FALSE(panel->isRunning);
    EXPECT_EQ(panel->alertTitle, "Port réseau bloqué");
    EXPECT_TRUE(containsPrefix(t.journal(), "Impossible de démarrer sur le port 70000 : "));
}

TEST_F(ClassroomServerTest, EstablishmentModeKeepsTheTeacherPin) {
    t.config().setAppMode("establishment");
    t.config().setTeacherPinCode("abcd");
    startOnFreePort();
    EXPECT_EQ(t.config().teacherPinCode(), "abcd");
    EXPECT_FALSE(contains(t.journal(), "PIN enseignant régénéré au démarrage du serveur"));
}

TEST_F(ClassroomServerTest, EveryRegisteredRouteAnswersAnyMethod) {
    const uint16_t port = startOnFreePort();
    ASSERT_NE(port, 0);

    auto routes = classroom->server().routes();
    std::sort(routes.begin(), routes.end());
    std::vector<std::string> expected{"",  // "/"
                                      "/api/ack-alert", "/api/admin/update", "/api/available-models", "/api/chat",
                                      "/api/config", "/api/end-session", "/api/gen-params", "/api/keywords",
                                      "/api/live-feed", "/api/log", "/api/log-content", "/api/logs", "/api/mission",
                                      "/api/models", "/api/reserve-slot", "/api/safety-alerts", "/api/schedule",
                                      "/api/students", "/api/switch-model", "/api/teachers-list", "/api/verify",
                                      "/api/verify-teacher", "/app.js", "/context_help.png", "/klarion_petit.png",
                                      "/style.css", "/teacher"};
    std::vector<std::string> listed;
    for (auto& r : routes) listed.push_back(r == "/" ? "" : r);
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, expected);

    for (const auto& listedPath : listed) {
        const std::string path = listedPath.empty() ? "/" : listedPath;
        const auto reference = test::httpRequest(port, "GET", path);
        ASSERT_TRUE(reference.ok) << path;
        EXPECT_NE(reference.status, 404) << path;
        for (const char* method : {"POST", "PUT", "DELETE", "PATCH", "OPTIONS"}) {
            SCOPED_TRACE(std::string(method) + " " + path);
            const auto reply = test::httpRequest(port, method, path);
            ASSERT_TRUE(reply.ok);
            EXPECT_EQ(reply.status, reference.status);
            EXPECT_EQ(reply.body, reference.body);
        }
    }
    // The route tree answers 404 off the table.
    EXPECT_EQ(test::httpRequest(port, "GET", "/api/nothing").status, 404);
}

TEST_F(ClassroomServerTest, StartPublishesTheAddressAndIgnoresASecondStart) {
    const uint16_t port = startOnFreePort();
    const std::string pin = t.config().teacherPinCode();
    EXPECT_EQ(panel->ipURL.rfind("http://", 0), 0u);
    const std::string suffix = ":" + std::to_string(port);
    EXPECT_EQ(panel->ipURL.substr(panel->ipURL.size() - suffix.size()), suffix);
    if (!localIPAddress()) {
        EXPECT_EQ(panel->ipURL, "http://Salle-12-Mac.local" + suffix);
    }
    EXPECT_TRUE(contains(t.journal(), "Serveur démarré sur le port " + std::to_string(port) + " → " + panel->ipURL));

    classroom->startServer();  // ignored while running
    t.queue->drain();
    EXPECT_EQ(t.config().teacherPinCode(), pin);
    const auto journal = t.journal();
    EXPECT_EQ(std::count_if(journal.begin(), journal.end(),
                            [](const auto& l) { return l.rfind("Démarrage du serveur", 0) == 0; }),
              1);
    EXPECT_EQ(classroom->listeningPort(), port);
}

TEST_F(ClassroomServerTest, StopClearsTheRunAndAStartServesAgain) {
    t.config().setShortURL("https://k.test/a");
    t.config().setTeacherShortURL("https://k.test/b");
    const uint16_t first = startOnFreePort();
    t.config().setConnectedStudents({{"10.0.0.2", "Léa"}});
    t.config().setWordFrequency({{"volcan", 3}});
    t.config().setLiveQuestions({LiveQuestion{"Q", "Léa", "10.0.0.2", "Pourquoi ?", 1.0}});
    t.config().setSafetyAlerts({SafetyAlert{}});

    classroom->stopServer();
    EXPECT_FALSE(panel->isRunning);
    t.queue->drain();
    EXPECT_EQ(panel->ipURL, "");
    EXPECT_EQ(t.config().shortURL(), "");
    EXPECT_EQ(t.config().teacherShortURL(), "");
    EXPECT_TRUE(t.config().connectedStudents().empty());
    EXPECT_TRUE(t.config().wordFrequency().empty());
    EXPECT_TRUE(t.config().liveQuestions().empty());
    EXPECT_TRUE(t.config().safetyAlerts().empty());
    EXPECT_TRUE(contains(t.journal(), "Serveur arrêté"));
    EXPECT_EQ(t.config().pinCode(), "8461");
    EXPECT_FALSE(test::httpRequest(first, "GET", "/teacher").ok);

    const uint16_t second = startOnFreePort();
    const auto reply = test::httpRequest(second, "POST", "/api/verify-teacher",
                                         R"({"pin":")" + t.config().teacherPinCode() + R"("})");
    EXPECT_EQ(reply.body, R"({"success":true,"studentPinCode":"8461"})");
}

TEST_F(ClassroomServerTest, StopEndsTheSessionInTheEstablishmentModeOnly) {
    for (const std::string mode : {"establishment", "individual"}) {
        SCOPED_TRACE(mode);
        t.config().setAppMode(mode);
        t.config().setTeachers({Teacher{"A-ID", "Alice", "111111", "2025-09-01T07:45:09Z"}});
        t.config().setActiveTeacherId(std::string("A-ID"));
        t.config().setActiveTeacherName("Alice");
        startOnFreePort();
        classroom->stopServer();
        t.queue->drain();
        if (mode == "establishment") {
            EXPECT_EQ(t.config().activeTeacherId(), std::nullopt);
            EXPECT_TRUE(contains(t.journal(), "Session terminée : Alice"));
        } else {
            EXPECT_EQ(t.config().activeTeacherId(), "A-ID");
        }
    }
}

TEST_F(ClassroomServerTest, StartAsksForBothShortLinks) {
    std::mutex mutex;
    std::vector<std::string> asked;
    HttpServer service;
    service["/api/shorturl.php"] = [&](HttpRequest& request) {
        auto body = parseJsonObject(request.bodyText());
        std::string url = body ? readString(*body, "url").value_or("") : "";
        std::lock_guard lock(mutex);
        asked.push_back(url);
        const std::string link = url.size() > 8 && url.substr(url.size() - 8) == "/teacher" ? "https://k.test/prof"
                                                                                           : "https://k.test/eleve";
        return HttpResponse::ok(HttpResponseBody::data(utf8Bytes(R"({"shorturl":")" + link + R"("})"),
                                                       std::string("application/json")));
    };
    service.start(0);
    t.config().preferences()->setString(ClassroomServer::shortLinkServicePreferenceKey,
                                        "http://127.0.0.1:" + std::to_string(service.port()) + "/api/shorturl.php");

    startOnFreePort();
    const bool arrived = t.queue->drainUntil(
        [&] { return !t.config().shortURL().empty() && !t.config().teacherShortURL().empty(); }, 15.0);
    ASSERT_TRUE(arrived);
    EXPECT_EQ(t.config().shortURL(), "https://k.test/eleve");
    EXPECT_EQ(t.config().teacherShortURL(), "https://k.test/prof");
    {
        std::lock_guard lock(mutex);
        std::sort(asked.begin(), asked.end());
        EXPECT_EQ(asked, (std::vector<std::string>{panel->ipURL, panel->ipURL + "/teacher"}));
    }
    service.stop();
}

TEST_F(ClassroomServerTest, WithoutServiceSettingNoShortLinkIsAsked) {
    startOnFreePort();
    classroom->shortLinks().waitIdle();
    t.queue->drain();
    EXPECT_EQ(t.config().shortURL(), "");
    EXPECT_EQ(t.config().teacherShortURL(), "");
}

}  // namespace
}  // namespace klarion
