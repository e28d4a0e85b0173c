// The class routes over real HTTP through the test server program: a teacher
// changes the mission, pauses the AI, books a slot, a student question is
// logged, and the teacher downloads the day's log and sees a safety alert.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <regex>
#include <thread>

#include "platform/files.h"
#include "platform/json.h"
#include "tests/api/api_test_support.h"
#include "tests/support/fake_lmstudio.h"

#ifndef KLARION_TEST_SERVER_PATH
#error "KLARION_TEST_SERVER_PATH must name the klarion-test-server program"
#endif

namespace klarion {
namespace {

// One run of klarion-test-server on a free port, with HOME and XDG pointing
// at the scratch home of the test, and a fake LM Studio with a model loaded
// (the server starts only then) whose safety verdicts say "danger".
class TestServer {
public:
    TestServer() {
        FakeChatReply reply;
        reply.content = R"({"danger": true, "motif": "appel à l'aide"})";
        lmStudio_.setChatReply(reply);
        if (!lmStudio_.start()) return;
        const std::string lmStudioURL = lmStudio_.baseUrl();
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            execl(KLARION_TEST_SERVER_PATH, KLARION_TEST_SERVER_PATH, "--port", "0", "--lmstudio",
                  lmStudioURL.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(out[1]);
        stdout_ = out[0];
        readBanner();
    }
    ~TestServer() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            for (int i = 0; i < 1000 && waitpid(pid_, nullptr, WNOHANG) == 0; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (stdout_ >= 0) close(stdout_);
        lmStudio_.stop();
        EXPECT_TRUE(lmStudio_.violations().empty()) << ::testing::PrintToString(lmStudio_.violations());
    }
    uint16_t port() const { return port_; }
    const std::string& pin() const { return pin_; }

private:
    void readBanner() {
        std::string text;
        const std::regex banner("listening on (\\d+)\nteacher PIN (\\S+)\n");
        std::smatch match;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd fd{stdout_, POLLIN, 0};
            if (poll(&fd, 1, 200) <= 0) continue;
            char buffer[256];
            const ssize_t n = read(stdout_, buffer, sizeof buffer);
            if (n <= 0) return;
            text.append(buffer, static_cast<size_t>(n));
            if (std::regex_search(text, match, banner)) {
                port_ = static_cast<uint16_t>(std::stoi(match[1]));
                pin_ = match[2];
                return;
            }
        }
    }
    FakeLmStudio lmStudio_;
    pid_t pid_ = -1;
    int stdout_ = -1;
    uint16_t port_ = 0;
    std::string pin_;
};

// Asks again (at most 5 s) until `accept` holds for the reply's JSON body:
// the server applies changes on its main queue after answering.
Json pollJson(uint16_t port, const std::string& route, const std::string& body,
              const std::function<bool(const Json&)>& accept) {
    Json last;
    for (int i = 0; i < 100; ++i) {
        const auto reply = test::httpRequest(port, body.empty() ? "GET" : "POST", route, body);
        if (auto json = parseJson(reply.body)) {
            last = *json;
            if (accept(last)) break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return last;
}

TEST(ClassRoutesEndToEnd, MissionPauseBookingAndTheDaysLog) {
    test::ScratchHome home;
    TestServer server;
    ASSERT_NE(server.port(), 0) << "no banner from the test server";
    const uint16_t port = server.port();
    const std::string pin = R"("pin":")" + server.pin() + "\"";

    auto reply = test::httpRequest(port, "POST", "/api/mission", "{" + pin + R"(,"mission":"Les volcans d'Auvergne"})");
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, "OK");
    reply = test::httpRequest(port, "POST", "/api/admin/update", "{" + pin + R"(,"isAiPaused":true,"isSupervisionActive":true})");
    EXPECT_EQ(reply.body, R"({"status":"OK","studentPinCode":"8461"})");
    const Json config = pollJson(port, "/api/config", "", [](const Json& c) {
        return c.value("customMission", "") == "Les volcans d'Auvergne" && c.value("isAiPaused", false) &&
               c.value("isSupervisionActive", false);
    });
    EXPECT_EQ(config.value("customMission", ""), "Les volcans d'Auvergne");
    EXPECT_TRUE(config.value("isAiPaused", false));
    EXPECT_EQ(config.value("mode", ""), "individual");

    reply = test::httpRequest(port, "POST", "/api/reserve-slot", "{" + pin + R"(,"week":"2026-W10","day":1,"slot":2})");
    EXPECT_EQ(reply.body, R"({"success": true})");
    const Json grid = pollJson(port, "/api/schedule", "{" + pin + R"(,"week":"2026-W10"})",
                               [](const Json& g) { return g.contains("reservations") && !g["reservations"].empty(); });
    EXPECT_EQ(grid["reservations"], Json::parse(R"([{"day":1,"slot":2,"teacherId":"","teacherName":"?"}])"));
    const auto scheduleFile = home.documents() / "Klarion_Config" / "schedule.json";
    // Saved in the same main-queue step, right after the change.
    std::optional<Json> saved;
    for (int i = 0; i < 100 && !(saved = parseJson(readFile(scheduleFile).value_or(""))); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_TRUE(saved.has_value());
    EXPECT_EQ((*saved)["reservations"], Json::parse(R"({"2026-W10_tuesday_2":""})"));

    reply = test::httpRequest(port, "POST", "/api/log",
                              R"({"type":"question","text":"Pourquoi les volcans explosent ?","name":"Léa"})");
    EXPECT_EQ(reply.body, "Logged");
    reply = test::httpRequest(port, "POST", "/api/log", R"({"type":"answer","text":"À cause du magma.","name":"Léa"})");
    EXPECT_EQ(reply.body, "Logged");

    const Json logs = pollJson(port, "/api/logs", "{" + pin + "}", [](const Json& l) { return !l.empty(); });
    ASSERT_EQ(logs.size(), 1u) << logs.dump();
    const std::string name = logs[0];
    EXPECT_TRUE(std::regex_match(name, std::regex(R"(Log_\d\d-\d\d-\d{4}\.txt)"))) << name;
    reply = test::httpRequest(port, "POST", "/api/log-content", "{" + pin + R"(,"filename":")" + name + "\"}");
    EXPECT_EQ(reply.status, 200);
    EXPECT_TRUE(std::regex_match(reply.body,
                                 std::regex(R"(\[\d\d:\d\d:\d\d\] Léa \(127\.0\.0\.1\): Pourquoi les volcans explosent \?\n)"
                                            R"(\[\d\d:\d\d:\d\d\] Léa \(127\.0\.0\.1\): À cause du magma\.\n)")))
        << reply.body;

    const Json feed = pollJson(port, "/api/live-feed", "{" + pin + "}", [](const Json& f) { return !f.empty(); });
    ASSERT_EQ(feed.size(), 1u);
    EXPECT_EQ(feed[0]["name"], "Léa");

    test::httpRequest(port, "POST", "/api/log", R"({"type":"question","text":"Au secours","name":"Tom"})");
    // A question goes to the keyword safety scan, and its AI verdict confirms it.
    const Json alerts = pollJson(port, "/api/safety-alerts", "{" + pin + "}", [](const Json& a) {
        return !a.empty() && a[0].value("level", "") == "confirmed";
    });
    ASSERT_EQ(alerts.size(), 1u) << alerts.dump();
    EXPECT_EQ(alerts[0]["name"], "Tom");
    EXPECT_EQ(alerts[0]["level"], "confirmed") << alerts.dump();

    EXPECT_EQ(test::httpRequest(port, "POST", "/api/log-content", "{" + pin + R"(,"filename":"../Klarion_Config/schedule.json"})").status, 401);
    EXPECT_EQ(test::httpRequest(port, "POST", "/api/logs", R"({"pin":"nope"})").status, 401);
}

}  // namespace
}  // namespace klarion
