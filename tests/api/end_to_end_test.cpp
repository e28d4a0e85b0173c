// The test server program over real HTTP: start, logins, lockout, stop.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <thread>

#include "platform/json.h"
#include "tests/api/api_test_support.h"
#include "tests/support/fake_lmstudio.h"

#ifndef KLARION_TEST_SERVER_PATH
#error "KLARION_TEST_SERVER_PATH must name the klarion-test-server program"
#endif

namespace klarion {
namespace {

// One run of klarion-test-server, with HOME and XDG pointing at `home`.
class TestServerProcess {
public:
    explicit TestServerProcess(const test::ScratchHome& home) {
        const auto resources = home.path() / "resources";
        std::filesystem::create_directories(resources);
        std::ofstream(resources / "index.html") << "<!DOCTYPE html><title>Klarion</title>";

        // The server starts only when LM Studio answers with a model loaded.
        if (!lmStudio_.start()) return;
        const std::string lmStudioURL = lmStudio_.baseUrl();

        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            // The environment (HOME, XDG_*) comes from the scratch home of the test.
            execl(KLARION_TEST_SERVER_PATH, KLARION_TEST_SERVER_PATH, "--port", "0", "--lmstudio",
                  lmStudioURL.c_str(), "--resources", resources.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(out[1]);
        stdout_ = out[0];
        readBanner();
    }

    ~TestServerProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (stdout_ >= 0) close(stdout_);
        lmStudio_.stop();
        EXPECT_TRUE(lmStudio_.violations().empty()) << ::testing::PrintToString(lmStudio_.violations());
    }

    uint16_t port() const { return port_; }
    const std::string& teacherPin() const { return pin_; }

    // SIGTERM, then the exit status (-1 when it did not end within 15 s).
    int terminate() {
        if (pid_ <= 0) return -1;
        kill(pid_, SIGTERM);
        for (int i = 0; i < 1500; ++i) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }

private:
    // Reads "listening on PORT" and "teacher PIN NNNN", for at most 20 s.
    void readBanner() {
        std::string text;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        std::smatch match;
        const std::regex banner("listening on (\\d+)\nteacher PIN (\\S+)\n");
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd fd{stdout_, POLLIN, 0};
            if (poll(&fd, 1, 200) <= 0) continue;
            char buffer[256];
            const ssize_t n = read(stdout_, buffer, sizeof buffer);
            if (n <= 0) break;
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

TEST(TestServerEndToEnd, LoginsOverRealHttp) {
    test::ScratchHome home;
    TestServerProcess server(home);
    ASSERT_NE(server.port(), 0) << "no banner from the test server";
    ASSERT_TRUE(std::regex_match(server.teacherPin(), std::regex("\\d{4}")));
    const uint16_t port = server.port();

    // The class PIN, right and wrong.
    EXPECT_EQ(test::httpRequest(port, "POST", "/api/verify", R"({"pin":"8461"})").body, R"({"success": true})");
    EXPECT_EQ(test::httpRequest(port, "POST", "/api/verify", R"({"pin":"0000"})").body, R"({"success": false})");

    // The teacher login of the individual mode.
    const std::string login = R"({"pin":")" + server.teacherPin() + R"("})";
    auto reply = test::httpRequest(port, "POST", "/api/verify-teacher", login);
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.headers["content-type"], "application/json");
    EXPECT_EQ(reply.body, R"({"success":true,"studentPinCode":"8461"})");
    EXPECT_EQ(test::httpRequest(port, "GET", "/api/teachers-list").body, "[]");

    // The dashboard page and a resource file.
    reply = test::httpRequest(port, "GET", "/teacher?pin=" + server.teacherPin());
    EXPECT_EQ(reply.status, 200);
    EXPECT_NE(reply.body.find("<title>Klarion - Tableau de bord</title>"), std::string::npos);
    EXPECT_EQ(test::httpRequest(port, "GET", "/").body, "<!DOCTYPE html><title>Klarion</title>");
    EXPECT_EQ(test::httpRequest(port, "GET", "/app.js").status, 404);

    // End of session: plain text.
    reply = test::httpRequest(port, "POST", "/api/end-session", login);
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, R"({"status": "OK"})");
    EXPECT_EQ(reply.headers.count("content-type"), 0u);

    // Five wrong PINs block the address, the right one included.
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(test::httpRequest(port, "POST", "/api/verify-teacher", R"({"pin":"x"})").body,
                  R"({"success": false})");
    }
    EXPECT_EQ(test::httpRequest(port, "POST", "/api/verify-teacher", login).body,
              R"({"success": false, "reason": "blocked", "message": "Trop de tentatives. Veuillez patienter."})");
    EXPECT_EQ(test::httpRequest(port, "POST", "/api/end-session", login).status, 401);

    EXPECT_EQ(server.terminate(), 0);
    EXPECT_FALSE(test::httpRequest(port, "GET", "/teacher").ok);
}

TEST(TestServerEndToEnd, EstablishmentLoginsOverRealHttp) {
    test::ScratchHome home;
    const auto config = home.documents() / "Klarion_Config";
    std::filesystem::create_directories(config);
    std::ofstream(config / "mode.json") << R"({"mode":"establishment"})";
    std::ofstream(config / "teachers.json")
        << R"([{"id":"A-ID","name":"Alice","pin":"111111","createdAt":"2025-09-01T07:45:09Z"},)"
        << R"({"id":"B-ID","name":"Bruno","pin":"222222","createdAt":"2025-09-01T07:45:09Z"}])";
    TestServerProcess server(home);
    ASSERT_NE(server.port(), 0) << "no banner from the test server";
    const uint16_t port = server.port();

    EXPECT_EQ(test::httpRequest(port, "GET", "/api/teachers-list").body,
              R"([{"id":"A-ID","name":"Alice"},{"id":"B-ID","name":"Bruno"}])");
    EXPECT_EQ(test::httpRequest(port, "POST", "/api/verify-teacher", R"({"id":"A-ID","pin":"222222"})").body,
              R"({"success": false, "reason": "wrong_pin"})");
    EXPECT_EQ(test::httpRequest(port, "POST", "/api/verify-teacher", R"({"id":"Z-ID","pin":"111111"})").body,
              R"({"success": false})");

    const std::string alice = R"({"id":"A-ID","pin":"111111"})";
    auto reply = test::httpRequest(port, "POST", "/api/verify-teacher", alice);
    auto json = parseJsonObject(reply.body);
    ASSERT_TRUE(json) << reply.body;
    EXPECT_EQ(readBool(*json, "success"), true);
    EXPECT_EQ(readString(*json, "teacherName"), "Alice");
    EXPECT_EQ(readString(*json, "studentPinCode"), "8461");
    EXPECT_TRUE(readString(*json, "sessionToken"));

    // The session start is applied on the main thread a moment later; a few
    // spaced tries stay well below the lockout's five failures.
    int status = 0;
    for (int attempt = 0; attempt < 3 && status != 200; ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        status = test::httpRequest(port, "POST", "/api/end-session", R"({"pin":"111111"})").status;
    }
    EXPECT_EQ(status, 200);
    EXPECT_EQ(server.terminate(), 0);
}

}  // namespace
}  // namespace klarion
