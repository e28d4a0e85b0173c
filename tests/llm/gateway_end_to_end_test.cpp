// The test server program with the LM Studio gateway: it starts through the
// panel's start action only when LM Studio answers with a model loaded, and
// then relays chats and model requests to it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "platform/json.h"
#include "tests/llm/gateway_test_support.h"

#ifndef KLARION_TEST_SERVER_PATH
#error "KLARION_TEST_SERVER_PATH must name the klarion-test-server program"
#endif

namespace klarion {
namespace {

using namespace std::chrono_literals;
using gateway_test::roundTrip;
using gateway_test::httpPost;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

// One run of the program, its standard output and error collected.
class TestServerRun {
public:
    TestServerRun(const klarion::testing::ScratchHome& home, const std::string& lmStudioURL) {
        const auto resources = home.root() / "resources";
        std::filesystem::create_directories(resources);
        int out[2], err[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            dup2(err[1], STDERR_FILENO);
            execl(KLARION_TEST_SERVER_PATH, KLARION_TEST_SERVER_PATH, "--port", "0", "--lmstudio",
                  lmStudioURL.c_str(), "--resources", resources.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(out[1]);
        close(err[1]);
        out_ = out[0];
        err_ = err[0];
    }

    ~TestServerRun() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) close(out_);
        if (err_ >= 0) close(err_);
    }

    // Reads both outputs until `done` holds or the program closes them (at most 20 s).
    void readUntil(const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (!done() && std::chrono::steady_clock::now() < deadline) {
            pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
            if (poll(fds, 2, 200) <= 0) continue;
            bool open = false;
            for (int i = 0; i < 2; ++i) {
                if (fds[i].revents == 0) {
                    open = true;
                    continue;
                }
                char buffer[512];
                const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
                if (n > 0) {
                    (i == 0 ? stdout_ : stderr_).append(buffer, static_cast<std::size_t>(n));
                    open = true;
                }
            }
            if (!open) break;
        }
    }

    // The port of the "listening on PORT" line and the teacher PIN line; 0 when they did not come.
    uint16_t waitForBanner() {
        readUntil([&] { return stdout_.find("\nteacher PIN ") != std::string::npos && stdout_.back() == '\n'; });
        if (std::sscanf(stdout_.c_str(), "listening on %hu\n", &port_) != 1) return 0;
        const std::size_t at = stdout_.find("teacher PIN ");
        if (at != std::string::npos) pin_ = stdout_.substr(at + 12, 4);
        return port_;
    }

    // Waits for the program to end; its exit status, -1 when it did not end within 20 s.
    int exitStatus() {
        for (int i = 0; i < 2000 && pid_ > 0; ++i) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                readUntil([] { return false; });
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(10ms);
        }
        return -1;
    }

    int terminate() {
        if (pid_ > 0) kill(pid_, SIGTERM);
        return exitStatus();
    }

    const std::string& standardOutput() const { return stdout_; }
    const std::string& standardError() const { return stderr_; }
    const std::string& teacherPin() const { return pin_; }

private:
    pid_t pid_ = -1;
    int out_ = -1, err_ = -1;
    std::string stdout_, stderr_, pin_;
    uint16_t port_ = 0;
};

std::string httpGet(const std::string& target) {
    return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
}

class GatewayEndToEnd : public ::testing::Test {
protected:
    klarion::testing::ScratchHome home;
    FakeLmStudio lmStudio;

    void SetUp() override { ASSERT_TRUE(lmStudio.start()); }
    void TearDown() override {
        lmStudio.stop();
        EXPECT_THAT(lmStudio.violations(), IsEmpty());
    }
};

TEST_F(GatewayEndToEnd, StartsWithAModelLoadedAndRelaysToLmStudio) {
    TestServerRun run(home, lmStudio.baseUrl());
    const uint16_t port = run.waitForBanner();
    ASSERT_NE(port, 0) << run.standardOutput() << run.standardError();

    const auto chat = roundTrip(port, httpPost("/api/chat", R"({"userMessage":"Bonjour","history":[]})"));
    EXPECT_EQ(chat.status, 200);
    EXPECT_EQ(chat.headers.at("content-type"), "text/event-stream");
    const auto chats = lmStudio.requestsTo("/v1/chat/completions");
    ASSERT_EQ(chats.size(), 1u);
    EXPECT_EQ(chat.body, chats[0].emitted);

    const auto models = roundTrip(port, httpGet("/api/models"));
    EXPECT_EQ(models.status, 200);
    EXPECT_EQ(models.body, lmStudio.requestsTo("/v1/models").back().emitted);

    const auto switched = roundTrip(port, httpPost("/api/switch-model", dumpJson(Json{
                                                      {"pin", run.teacherPin()}, {"modelPath", "google/gemma-3-4b"}})));
    EXPECT_EQ(switched.body, R"({"status": "loaded"})");
    ASSERT_EQ(lmStudio.loadedInstances().size(), 1u);
    EXPECT_EQ(lmStudio.loadedInstances()[0].id, "google/gemma-3-4b");

    EXPECT_EQ(run.terminate(), 0);
}

TEST_F(GatewayEndToEnd, RefusesToStartWhenLmStudioDoesNotAnswer) {
    ASSERT_TRUE(lmStudio.setRefusing(true));
    TestServerRun run(home, lmStudio.baseUrl());
    EXPECT_EQ(run.exitStatus(), 1);
    EXPECT_THAT(run.standardError(), HasSubstr("LM Studio inaccessible"));
    EXPECT_THAT(run.standardError(),
                HasSubstr("Veuillez vérifier que LM Studio est ouvert et que le serveur local est démarré sur le port "
                          "1234 avant de lancer le serveur Klarion."));
    EXPECT_THAT(run.standardOutput(), IsEmpty());
}

TEST_F(GatewayEndToEnd, RefusesToStartWithoutAModelLoaded) {
    lmStudio.setModels(FakeLmStudio::defaultModels(), {});
    TestServerRun run(home, lmStudio.baseUrl());
    EXPECT_EQ(run.exitStatus(), 1);
    EXPECT_THAT(run.standardError(), HasSubstr("Aucun modèle chargé"));
    EXPECT_THAT(run.standardOutput(), IsEmpty());
    // Only status probes: no model means no context query, and no chat ever went out.
    EXPECT_FALSE(lmStudio.requests().empty());
    for (const auto& request : lmStudio.requests()) EXPECT_EQ(request.path, "/v1/models");
}

TEST_F(GatewayEndToEnd, StopsWithoutWaitingForASilentLmStudio) {
    TestServerRun run(home, lmStudio.baseUrl());
    const uint16_t port = run.waitForBanner();
    ASSERT_NE(port, 0) << run.standardOutput() << run.standardError();
    // A student's chat and a model switch, both waiting for an LM Studio that says nothing.
    for (const char* path : {"/v1/chat/completions", "/api/v1/models/load"}) {
        FakeFault hang;
        hang.path = path;
        hang.action = FakeFaultAction::Hang;
        lmStudio.addFault(hang);
    }
    gateway_test::RawConnection student(port), teacher(port);
    ASSERT_TRUE(student.send(httpPost("/api/chat", R"({"userMessage":"Bonjour","history":[]})")));
    ASSERT_TRUE(teacher.send(httpPost("/api/switch-model", dumpJson(Json{{"pin", run.teacherPin()},
                                                                         {"modelPath", "google/gemma-3-4b"}}))));
    ASSERT_TRUE(gateway_test::eventually([&] {
        return !lmStudio.requestsTo("/v1/chat/completions").empty() && !lmStudio.requestsTo("/api/v1/models/load").empty();
    }));
    // LM Studio's own time-outs (60 s of silence, 120 s for a load) are beyond what exitStatus waits.
    EXPECT_EQ(run.terminate(), 0);
}

}  // namespace
}  // namespace klarion
