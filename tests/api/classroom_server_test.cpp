// The classroom server: the LAN address it publishes, the short links asked
// for it, its start and stop (port alert, route table over real HTTP, clearing
// on stop, the panel's start button), and the student page's resource routes.
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>

#include "http/core/socket.h"
#include "platform/files.h"
#include "server/api/classroom_server.h"
#include "server/api/lan_address.h"
#include "server/api/short_links.h"
#include "tests/support/classroom_fixture.h"
#include "tests/support/fake_lmstudio.h"
#include "tests/support/loopback_client.h"
#include "tests/support/mini_http_server.h"
#include "ui/panel/classroom_seam.h"
#include "web/dashboard/static_routes.h"

namespace klarion {
namespace {

// ---- The LAN address.

InterfaceAddress v4(const char* name, const char* address) { return {name, std::string(address), false}; }

TEST(LanAddress, ChoiceExamples) {
    const struct {
        const char* label;
        std::vector<InterfaceAddress> entries;
        std::string preferred;  // the default route's interface
        std::optional<std::string> expected;
    } cases[] = {
        {"the default route's interface wins wherever it stands",
         {v4("lo", "127.0.0.1"), v4("wlan1", "192.168.1.20"), v4("eth0", "192.168.1.10")},
         "eth0",
         "192.168.1.10"},
        {"else the first qualifying one",
         {v4("lo", "127.0.0.1"), v4("virbr0", "192.168.2.1"), v4("wlan1", "10.0.0.4")},
         "eth0",
         "192.168.2.1"},
        {"link-local only", {v4("lo", "127.0.0.1"), v4("eth0", "169.254.3.4")}, "eth0", std::nullopt},
        {"loopback by name, flag or address",
         {v4("lo", "10.9.9.9"),
          {"lo1", std::string("10.8.8.8"), true},
          v4("dummy0", "127.0.1.1"),
          v4("eth0", "192.168.5.5")},
         "",
         "192.168.5.5"},
        {"a loopback default route never wins",
         {v4("lo", "127.0.0.1"), v4("eth0", "192.168.1.10")},
         "lo",
         "192.168.1.10"},
    };
    for (const auto& c : cases) EXPECT_EQ(chooseLanAddress(c.entries, c.preferred), c.expected) << c.label;

    EXPECT_EQ(buildServerURL(std::string("192.168.1.10"), "Salle 12 Mac", 3000), "http://192.168.1.10:3000");
    EXPECT_EQ(buildServerURL(std::nullopt, "  a  b ", 80), "http://--a--b-.local:80");

    const std::string table =
        "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
        "docker0\t000011AC\t00000000\t0001\t0\t0\t0\t0000FFFF\t0\t0\t0\n"
        "wlan0\t00000000\t0101A8C0\t0002\t0\t0\t600\t00000000\t0\t0\t0\n"  // not up
        "eth0\t00000000\t0101A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n";
    EXPECT_EQ(parseDefaultRouteInterface(table), "eth0");
    EXPECT_EQ(parseDefaultRouteInterface("Iface\tDestination\n"), std::nullopt);
}

// ---- Short links, against a loopback stand-in for the service.

struct FakeShortLinkService {
    std::mutex mutex;
    std::vector<MiniHttpRequest> requests;
    MiniHttpServer server;

    explicit FakeShortLinkService(std::function<std::pair<int, std::string>(const std::string& url)> answer)
        : server([this, answer](const MiniHttpRequest& request, MiniHttpConnection& connection) {
              std::lock_guard lock(mutex);
              requests.push_back(request);
              auto body = parseJsonObject(request.body);
              auto [status, text] = answer(body ? readString(*body, "url").value_or("") : "");
              connection.sendResponse(status, "application/json", text);
          }) {
        server.start();
    }
    std::string url() { return "http://127.0.0.1:" + std::to_string(server.port()) + "/api/shorturl.php"; }
    size_t count() {
        std::lock_guard lock(mutex);
        return requests.size();
    }
};

// The links `client` delivers for one request.
std::vector<std::string> linksFrom(const std::string& serviceURL) {
    ShortLinkClient client;
    client.setServiceURL(serviceURL);
    std::mutex mutex;
    std::vector<std::string> links;
    client.request("http://192.168.1.10:3000", [&](const std::string& link) {
        std::lock_guard lock(mutex);
        links.push_back(link);
    });
    client.waitIdle();
    return links;
}

TEST(ShortLinks, OnlyAStringShortUrlIsDelivered) {
    const struct {
        int status;
        std::string body;
        std::optional<std::string> link;
    } cases[] = {
        {200, R"({"shorturl":"https://k.test/s1","other":1})", "https://k.test/s1"},
        {500, R"({"shorturl":"https://k.test/s2"})", "https://k.test/s2"},
        {200, R"({"shorturl":42})", std::nullopt},
        {200, "https://k.test/s5", std::nullopt},
        {200, R"j({"shorturl":"javascript:alert(document.cookie)"})j", std::nullopt},
        {200, R"({"shorturl":"HTTP://K.test/s6"})", "HTTP://K.test/s6"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        FakeShortLinkService service([&](const std::string&) { return std::pair{c.status, c.body}; });
        EXPECT_EQ(linksFrom(service.url()), c.link ? std::vector<std::string>{*c.link} : std::vector<std::string>{});
        ASSERT_EQ(service.count(), 1u);
        const MiniHttpRequest& sent = service.requests.front();
        EXPECT_EQ(sent.method + " " + sent.path, "POST /api/shorturl.php");
        ASSERT_TRUE(sent.header("content-type"));
        EXPECT_EQ(*sent.header("content-type"), "application/json");
        EXPECT_EQ(sent.body, R"({"url":"http://192.168.1.10:3000"})");
    }
}

TEST(ShortLinks, OnlyWebAddressesCountAsLinks) {
    for (const std::string url :
         {"http://k.test", "https://k.test/s1?a=1#b", "HTTPS://[::1]:8080/x", "http://192.168.1.10:3000"}) {
        EXPECT_TRUE(isHttpURL(url)) << url;
    }
    for (const std::string url :
         {"", "javascript:alert(1)", "JavaScript://k.test/%0Aalert(1)", "data:text/html,<script>alert(1)</script>",
          "ftp://k.test/s", "//k.test/s", "k.test/s", "https://", " https://k.test", "https://k.test/a b",
          "https://k.test/\nx", "https:k.test"}) {
        EXPECT_FALSE(isHttpURL(url)) << url;
    }
}

TEST(ShortLinks, NoRequestWithoutAUsableServiceAndSilenceWhenItIsDown) {
    FakeShortLinkService service([](const std::string&) { return std::pair{200, std::string(R"({"shorturl":"x"})")}; });
    for (const std::string url : {"", "not a url", "ftp://127.0.0.1/api/shorturl.php"}) {
        EXPECT_TRUE(linksFrom(url).empty()) << url;
    }
    EXPECT_EQ(service.count(), 0u);

    auto closed = Socket::openListening(0);
    const auto port = closed->port();
    closed->close();
    EXPECT_TRUE(linksFrom("http://127.0.0.1:" + std::to_string(port) + "/api/shorturl.php").empty());
}

// ---- Start and stop.

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
        const auto folder = t.home.home() / "resources";
        for (const std::string name : {"index.html", "style.css", "app.js", "klarion_petit.png", "context_help.png",
                                       "katex.css", "fonts/KaTeX_Main-Regular.woff2"}) {
            klarion::testing::writeText(folder / name, "contenu de " + name);
        }
        classroom = std::make_unique<ClassroomServer>(t.context, panelServerReports(panel));
        classroom->setPageRoutes(dashboard::staticRoutes(std::make_shared<dashboard::ResourceFolder>(folder)));
    }
    uint16_t start(int64_t port = 0) {
        panel->isRunning = classroom->startServer(port, "Salle 12 Mac");
        t.queue->drain();
        return classroom->listeningPort().value_or(0);
    }
};

TEST_F(ClassroomServerTest, StartOnABusyPortShowsTheAlert) {
    auto taken = Socket::openListening(0);
    for (const int64_t port : {int64_t(taken->port()), int64_t(70000)}) {
        const std::string p = std::to_string(port);
        SCOPED_TRACE(p);
        t.config().setTeacherPinCode("abcd");
        start(port);
        EXPECT_FALSE(panel->isRunning);
        EXPECT_TRUE(panel->showingAlert);
        EXPECT_EQ(panel->alertTitle, "Port réseau bloqué");
        EXPECT_EQ(panel->alertMessage, "Impossible de démarrer le serveur sur le port " + p +
                                           ".\n\n👉 Solution : Sélectionne le port 8080 ou 80, puis clique à nouveau "
                                           "sur Démarrer.");
        EXPECT_TRUE(panel->ipURL.empty());
        EXPECT_NE(t.config().teacherPinCode(), "abcd");  // a new teacher PIN was drawn all the same
        const auto journal = t.journal();
        EXPECT_TRUE(contains(journal, "Démarrage du serveur sur le port " + p + "…"));
        EXPECT_TRUE(contains(journal, "PIN enseignant régénéré au démarrage du serveur"));
        EXPECT_TRUE(containsPrefix(journal, "Impossible de démarrer sur le port " + p + " : "));
        EXPECT_FALSE(containsPrefix(journal, "Serveur démarré"));
    }
}

TEST_F(ClassroomServerTest, EveryRegisteredRouteAnswersAnyMethod) {
    const uint16_t port = start();
    ASSERT_NE(port, 0);
    auto routes = classroom->server().routes();
    for (auto& route : routes) route = route.empty() ? "/" : route;  // the root is listed as ""
    std::sort(routes.begin(), routes.end());
    EXPECT_EQ(routes, (std::vector<std::string>{"/",
                                                "/api/ack-alert",
                                                "/api/admin/update",
                                                "/api/available-models",
                                                "/api/chat",
                                                "/api/config",
                                                "/api/end-session",
                                                "/api/gen-params",
                                                "/api/keywords",
                                                "/api/live-feed",
                                                "/api/log",
                                                "/api/log-content",
                                                "/api/logs",
                                                "/api/mission",
                                                "/api/models",
                                                "/api/reserve-slot",
                                                "/api/safety-alerts",
                                                "/api/schedule",
                                                "/api/students",
                                                "/api/switch-model",
                                                "/api/teachers-list",
                                                "/api/verify",
                                                "/api/verify-teacher",
                                                "/app.js",
                                                "/context_help.png",
                                                "/fonts/:name",
                                                "/katex.css",
                                                "/klarion_petit.png",
                                                "/style.css",
                                                "/teacher"}));
    for (auto& path : routes) {
        if (path == "/fonts/:name") path = "/fonts/KaTeX_Main-Regular.woff2";
        const auto reference = klarion::testing::request(port, "GET", path);
        ASSERT_TRUE(reference.complete) << path;
        EXPECT_NE(reference.status, 404) << path;
        for (const char* method : {"POST", "PUT", "DELETE", "PATCH", "OPTIONS"}) {
            SCOPED_TRACE(std::string(method) + " " + path);
            const auto reply = klarion::testing::request(port, method, path);
            ASSERT_TRUE(reply.complete);
            EXPECT_EQ(reply.status, reference.status);
            EXPECT_EQ(reply.body, reference.body);
        }
    }
    EXPECT_EQ(klarion::testing::request(port, "GET", "/api/nothing").status, 404);
}

TEST_F(ClassroomServerTest, StartPublishesTheAddressAndShortLinksStopClearsTheRun) {
    FakeShortLinkService service([](const std::string& url) {
        const bool teacher = url.size() > 8 && url.substr(url.size() - 8) == "/teacher";
        return std::pair{200, std::string(teacher ? R"({"shorturl":"https://k.test/prof"})"
                                                  : R"({"shorturl":"https://k.test/eleve"})")};
    });
    t.config().preferences()->setString(ClassroomServer::shortLinkServicePreferenceKey, service.url());
    const uint16_t port = start();
    ASSERT_TRUE(panel->isRunning);
    const std::string pin = t.config().teacherPinCode();
    const auto lan = localIPAddress();
    EXPECT_EQ(panel->ipURL, "http://" + (lan ? *lan : "Salle-12-Mac.local") + ":" + std::to_string(port));
    EXPECT_TRUE(contains(t.journal(), "Serveur démarré sur le port " + std::to_string(port) + " → " + panel->ipURL));
    ASSERT_TRUE(t.queue->drainUntil(
        [&] { return !t.config().shortURL().empty() && !t.config().teacherShortURL().empty(); }, 15.0));
    EXPECT_EQ(t.config().shortURL(), "https://k.test/eleve");
    EXPECT_EQ(t.config().teacherShortURL(), "https://k.test/prof");
    EXPECT_EQ(service.count(), 2u);
    EXPECT_TRUE(contains(t.journal(), "Lien court généré : https://k.test/prof"));

    EXPECT_TRUE(classroom->startServer(port, "Salle 12 Mac"));  // ignored while running
    t.queue->drain();
    EXPECT_EQ(t.config().teacherPinCode(), pin);
    EXPECT_EQ(classroom->listeningPort(), port);

    t.config().setConnectedStudents({{"10.0.0.2", "Léa"}});
    t.config().setWordFrequency({{"volcan", 3}});
    t.config().setLiveQuestions({LiveQuestion{"Q", "Léa", "10.0.0.2", "Pourquoi ?", 1.0}});
    t.config().setSafetyAlerts({SafetyAlert{}});
    classroom->stopServer();
    EXPECT_FALSE(classroom->isRunning());
    t.queue->drain();
    const auto values = t.config().snapshot();
    EXPECT_EQ(panel->ipURL + values.shortURL + values.teacherShortURL, "");
    EXPECT_TRUE(values.connectedStudents.empty() && values.wordFrequency.empty() && values.liveQuestions.empty() &&
                values.safetyAlerts.empty());
    EXPECT_TRUE(contains(t.journal(), "Serveur arrêté"));
    EXPECT_FALSE(klarion::testing::request(port, "GET", "/teacher").complete);

    const uint16_t second = start();
    EXPECT_EQ(klarion::testing::request(second, "POST", "/api/verify-teacher", t.pinBody()).body,
              R"({"success":true,"studentPinCode":"8461"})");
    const auto journal = t.journal();
    EXPECT_EQ(std::count_if(journal.begin(), journal.end(),
                            [](const auto& l) { return l.rfind("Démarrage du serveur", 0) == 0; }),
              2);
}

// The desktop's stop button runs on the main thread: it must not wait for
// requests that wait for LM Studio, and the port is free again at once.
TEST_F(ClassroomServerTest, StopReturnsWhileModelListsWaitForLmStudio) {
    FakeLmStudio fake;
    ASSERT_TRUE(fake.start());
    fake.addFault(FakeFault{.action = FakeFaultAction::Hang, .times = 0});
    // Only the fake's stop ends the wait.
    t.context->lmStudio =
        std::make_shared<const LmStudioClient>(fake.baseUrl(), LmStudioTimeouts{.modelLists = std::chrono::minutes(2)});
    const uint16_t port = start();
    std::thread lists(
        [&, body = t.pinBody()] { klarion::testing::request(port, "POST", "/api/available-models", body); });
    std::thread models([&] { klarion::testing::request(port, "GET", "/api/models"); });
    EXPECT_TRUE(klarion::testing::eventually([&] { return fake.requests().size() == 2; }));

    classroom->stopServer();
    const auto held = fake.requests();
    EXPECT_TRUE(std::none_of(held.begin(), held.end(), [](const auto& r) { return r.finished; }));
    EXPECT_EQ(start(port), port);
    EXPECT_EQ(klarion::testing::request(port, "POST", "/api/verify-teacher", t.pinBody()).status, 200);
    fake.stop();
    lists.join();
    models.join();
}

TEST_F(ClassroomServerTest, EstablishmentModeKeepsTheTeacherPinAndStopEndsTheSession) {
    for (const std::string mode : {"individual", "establishment"}) {
        SCOPED_TRACE(mode);
        t.config().setAppMode(mode);
        t.config().setTeachers({test::kAlice});
        t.config().setActiveTeacherId(test::kAlice.id);
        t.config().setActiveTeacherName("Alice");
        t.config().setTeacherPinCode("abcd");
        start();
        EXPECT_EQ(t.config().teacherPinCode() == "abcd", mode == "establishment");
        classroom->stopServer();
        t.queue->drain();
        EXPECT_EQ(t.config().activeTeacherId() == std::nullopt, mode == "establishment");
        EXPECT_EQ(contains(t.journal(), "Session terminée : Alice"), mode == "establishment");
    }
}

// The panel's start button with the real server plugged in (one check at a
// time is the panel's own test): a check dropped without an answer frees the
// button, dropping an old answered one does not.
TEST(StartButton, ADroppedCheckFreesItAndAnOldOneDoesNot) {
    test::TestContext t;
    ContentView view(t.context->state);
    auto classroom = plugClassroomServer(view, ClassroomContext::make(view.context(), view.sessions()));
    std::vector<StartPrecheck> checks;
    view.lmStudioProbes.probeBeforeStart = [&](double, StartPrecheck precheck) {
        checks.push_back(std::move(precheck));
    };
    auto panel = view.panel();
    panel->selectedPort = 0;

    view.startStopAction();
    checks[0].showAlert("LM Studio injoignable", "Lancez LM Studio.");
    view.startStopAction();
    ASSERT_EQ(checks.size(), 2u);
    checks.pop_back();
    view.startStopAction();
    ASSERT_EQ(checks.size(), 2u);
    checks.erase(checks.begin());
    view.startStopAction();  // the pending check is still pending
    EXPECT_EQ(checks.size(), 1u);
    checks.back().startServer();
    EXPECT_TRUE(panel->isRunning);
    classroom->stopServer();
    t.queue->drain();
}

// ---- The student page's resource routes, read at each request.

struct ResourceRoutes : ::testing::Test {
    test::ScratchHome home;
    std::filesystem::path folder = home.home() / "resources";
    std::shared_ptr<dashboard::ResourceFolder> resources = std::make_shared<dashboard::ResourceFolder>(folder);

    void write(const std::string& name, const std::string& bytes) { klarion::testing::writeText(folder / name, bytes); }
    HttpResponse get(const std::string& path) {
        HttpRouter router;
        for (auto& [routePath, handler] : dashboard::staticRoutes(resources)) router.registerRoute({}, routePath, handler);
        auto found = router.route("GET", path);
        if (!found) {
            ADD_FAILURE() << "no route " << path;
            return HttpResponse::internalServerError();
        }
        HttpRequest request;
        request.method = "GET";
        request.params = std::move(found->first);
        return found->second(request);
    }
};

TEST_F(ResourceRoutes, ServeEachFileWithItsType) {
    const std::string png("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16);
    const struct {
        const char* path;
        const char* file;
        std::string bytes;
        const char* type;
    } cases[] = {{"/", "index.html", "<!DOCTYPE html><title>Élève</title>", "text/html"},
                 {"/style.css", "style.css", "body{color:red}", "text/css"},
                 {"/app.js", "app.js", "console.log('ok');", "application/javascript"},
                 {"/klarion_petit.png", "klarion_petit.png", png, "image/png"},
                 {"/context_help.png", "context_help.png", png + "help", "image/png"},
                 {"/katex.css", "katex.css", ".katex{font:normal 1.21em KaTeX_Main}", "text/css"},
                 {"/fonts/KaTeX_Size1-Regular.woff2", "fonts/KaTeX_Size1-Regular.woff2", "wOF2size1", "font/woff2"},
                 {"/teacher", nullptr, std::string(dashboard::teacherPage()), "text/html"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        if (c.file) write(c.file, c.bytes);
        const auto reply = test::replyOf(get(c.path));
        EXPECT_EQ(reply.status, 200);
        EXPECT_EQ(reply.contentType, c.type);
        EXPECT_EQ(get(c.path).content().length, static_cast<int64_t>(c.bytes.size()));
        EXPECT_EQ(reply.body, c.bytes);
    }
    EXPECT_NE(dashboard::teacherPage().find("<title>Klarion - Tableau de bord</title>"), std::string_view::npos);

    write("app.js", "two");  // replaced on disk: served at the next request
    EXPECT_EQ(test::replyOf(get("/app.js")).body, "two");
}

// The student page files that the build copies beside the programs, served byte for byte;
// the served script is KaTeX followed by the page's own.
TEST_F(ResourceRoutes, ServeTheBuildsCopyOfTheStudentPage) {
    resources = std::make_shared<dashboard::ResourceFolder>(KLARION_RESOURCES_DIR);
    const std::pair<const char*, const char*> files[] = {{"/", "index.html"},
                                                         {"/style.css", "style.css"},
                                                         {"/app.js", "app.js"},
                                                         {"/klarion_petit.png", "klarion_petit.png"},
                                                         {"/context_help.png", "context_help.png"}};
    for (const auto& [path, file] : files) {
        SCOPED_TRACE(path);
        const auto source = readFile(std::filesystem::path(KLARION_STUDENT_PAGE_DIR) / file);
        ASSERT_TRUE(source);
        const auto body = test::replyOf(get(path)).body;
        if (std::string_view(file) == "app.js") {
            EXPECT_TRUE(body.starts_with("/*! KaTeX, from Debian's libjs-katex"));
            EXPECT_NE(body.find("renderToString"), std::string::npos);  // KaTeX itself
            EXPECT_NE(body.find("__defineMacro(\"\\\\ce\""), std::string::npos);  // and its chemistry
            EXPECT_TRUE(body.ends_with(*source));
        } else {
            EXPECT_EQ(body, *source);
        }
    }
    // KaTeX's style sheet, and the WOFF2 font of each of its font faces.
    const auto css = test::replyOf(get("/katex.css"));
    ASSERT_EQ(css.status, 200);
    EXPECT_EQ(css.body, readFile("/usr/share/javascript/katex/katex.min.css"));
    std::size_t fonts = 0;
    for (std::size_t at = css.body.find("url(fonts/"); at != std::string::npos; at = css.body.find("url(fonts/", at + 1)) {
        const auto end = css.body.find(')', at);
        const auto name = css.body.substr(at + 10, end - at - 10);
        if (!name.ends_with(".woff2")) continue;
        SCOPED_TRACE(name);
        ++fonts;
        const auto font = test::replyOf(get("/fonts/" + name));
        EXPECT_EQ(font.status, 200);
        EXPECT_TRUE(font.body.starts_with("wOF2"));
    }
    EXPECT_EQ(fonts, 20u);
}

TEST_F(ResourceRoutes, MissingOrUnreadableFileIsNotFoundWithoutBody) {
    std::filesystem::create_directories(folder / "style.css");  // a folder, not a file
    write("KaTeX_Secret.woff2", "beside the fonts, not among them");
    write("fonts/KaTeX_Main-Regular.ttf", "a font, not the one served");
    write("fonts/KaTeX_Main-Regular.woff2.bak", "not a font name");
    write("fonts/.woff2", "no name");
    for (const char* path : {"/style.css", "/klarion_petit.png", "/context_help.png", "/katex.css",
                             "/fonts/KaTeX_Main-Regular.woff2", "/fonts/..%2FKaTeX_Secret.woff2",
                             "/fonts/KaTeX_..%2FKaTeX_Secret.woff2", "/fonts/KaTeX_Main-Regular.ttf",
                             "/fonts/KaTeX_Main-Regular.woff2.bak", "/fonts/.woff2"}) {
        SCOPED_TRACE(path);
        const auto response = get(path);
        EXPECT_EQ(response.statusCode(), 404);
        EXPECT_EQ(response.content().length, -1);
        EXPECT_FALSE(response.content().writer);
    }
}

}  // namespace
}  // namespace klarion
