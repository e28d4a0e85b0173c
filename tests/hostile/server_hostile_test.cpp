// The classroom server program (klarion-test-server, beside an in-process
// fake LM Studio) under hostile clients over real loopback sockets: JSON of
// the wrong type in every field of every route, malformed bodies, idle and
// slow connections, killed while it saves. It must answer every request, keep
// serving others, keep its memory bounded and leave its configuration and log
// files sound.
#include <gtest/gtest.h>

#include <signal.h>

#include <nlohmann/json.hpp>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/hostile/hostile_client.h"
#include "tests/hostile/server_process.h"
#include "tests/support/fake_lmstudio.h"

using namespace klarion;
using namespace klarion::hostile;
using nlohmann::json;

namespace {

// One request and its whole answer ("Connection: close").
std::string exchange(std::uint16_t port, const std::string& method, const std::string& path, const std::string& body,
                     const char* source = nullptr) {
    Client client(port, source, 30);
    if (!client.connected()) return {};
    std::string request = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    if (!body.empty()) {
        request += "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
    }
    request += "\r\n" + body;
    if (!client.send(request)) return {};
    return client.readToEnd();
}

// Every "/api/" route with a sound body (the teacher PIN goes in "pin").
struct Route {
    const char* path;
    json soundBody;
};

std::vector<Route> routes(const std::string& pin) {
    return {
        {"/api/config", json::object()},
        {"/api/mission", {{"pin", pin}, {"mission", "Réviser"}}},
        {"/api/admin/update",
         {{"pin", pin},
          {"audience", "college"},
          {"requiresPin", false},
          {"isSupervisionActive", true},
          {"supervisionLevel", "questions_answers"},
          {"isAiPaused", false},
          {"safetyAiScanAll", false},
          {"addTimer", 0}}},
        {"/api/gen-params",
         {{"pin", pin},
          {"temperature", 0.7},
          {"topP", 0.9},
          {"freqPenalty", 0.0},
          {"presPenalty", 0.0},
          {"maxTokens", 512},
          {"useSeed", false},
          {"seedValue", 42},
          {"repeatPenalty", 1.1},
          {"expertConstraintsDisabled", false},
          {"expertDirective", ""}}},
        {"/api/keywords", {{"pin", pin}}},
        {"/api/students", {{"pin", pin}}},
        {"/api/live-feed", {{"pin", pin}}},
        {"/api/safety-alerts", {{"pin", pin}}},
        {"/api/ack-alert", {{"pin", pin}, {"id", "X"}}},
        {"/api/verify", {{"pin", "8461"}}},
        {"/api/verify-teacher", {{"pin", pin}, {"id", "t1"}}},
        {"/api/teachers-list", json::object()},
        {"/api/end-session", {{"pin", pin}}},
        {"/api/schedule", {{"pin", pin}, {"week", "2026-W10"}}},
        {"/api/reserve-slot", {{"pin", pin}, {"week", "2026-W10"}, {"day", 1}, {"slot", 0}, {"action", "reserve"}}},
        {"/api/available-models", {{"pin", pin}}},
        {"/api/switch-model", {{"pin", pin}, {"modelPath", "qwen2.5-7b-instruct"}}},
        {"/api/log", {{"type", "question"}, {"text", "Qu'est-ce qu'une fraction ?"}, {"name", "Ana"}}},
        {"/api/logs", {{"pin", pin}}},
        {"/api/log-content", {{"pin", pin}, {"filename", "x.txt"}}},
        {"/api/models", json::object()},
        {"/api/chat",
         {{"userMessage", "Bonjour"},
          {"history", json::array({{{"role", "user"}, {"content", "a"}}, {{"role", "assistant"}, {"content", "b"}}})},
          {"image", "data:image/png;base64,iVBORw0KGgo="},
          {"systemOverride", "Tu es un assistant."}}},
    };
}

// Values of every JSON type and some extremes.
std::vector<json> hostileValues() {
    return {
        nullptr,
        true,
        false,
        0,
        -1,
        9223372036854775807LL,
        -9223372036854775807LL - 1,
        18446744073709551615ULL,
        1.5e308,
        -0.0,
        "",
        "x",
        std::string(20000, 'a'),
        "\xC3\xA9\xE2\x80\x94\xF0\x9F\x98\x80",
        json::array(),
        json::array({1, "a", nullptr}),
        json::object(),
        json::object({{"pin", "0000"}}),
        json::parse(std::string(200, '[') + std::string(200, ']')),
    };
}

// Bodies that are not a sound JSON object at all.
std::vector<std::string> hostileBodies() {
    return {
        "",
        "null",
        "[]",
        "\"pin\"",
        "42",
        "{",
        "{\"pin\":",
        "{\"pin\":\"1\",}",
        "\xFF\xFE\x00{}",
        std::string(100000, '['),
        std::string(50000, '{'),
        "{\"a\":" + std::string(5000, '[') + "}",
        "{\"pin\":\"\xC3\x28\"}",
        std::string(1 << 20, ' ') + "{}",
    };
}

bool isUtf8(const std::string& text) {
    try {
        (void)json(text).dump(-1, ' ', false, json::error_handler_t::strict);
        return true;
    } catch (const json::exception&) {
        return false;
    }
}

class HostileServer : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(fake_.start());
        server_ = startTestServer(home_.path(), fake_.baseUrl());
        ASSERT_NE(server_->port(), 0) << "klarion-test-server did not start";
        port_ = server_->port();
    }

    void TearDown() override {
        if (server_) {
            EXPECT_EQ(server_->terminate(), 0) << "the server did not stop cleanly";
        }
        fake_.stop();
    }

    bool othersServed() { return statusOf(exchange(port_, "GET", "/", "")) == 200; }

    // Every JSON file under the configuration folder and the preferences
    // parses; every class log file is UTF-8 text.
    void expectFilesSound() {
        for (const auto& folder : {home_.path() / "Documents", home_.path() / ".config"}) {
            if (!std::filesystem::exists(folder)) continue;
            for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
                if (!entry.is_regular_file()) continue;
                std::ifstream in(entry.path(), std::ios::binary);
                std::stringstream text;
                text << in.rdbuf();
                const std::string name = entry.path().filename().string();
                if (entry.path().extension() == ".json") {
                    EXPECT_TRUE(json::accept(text.str())) << entry.path();
                } else if (entry.path().extension() == ".txt") {
                    EXPECT_TRUE(isUtf8(text.str())) << entry.path();
                }
                EXPECT_EQ(name.find(".damaged"), std::string::npos) << "a file failed to load: " << entry.path();
            }
        }
    }

    FakeLmStudio fake_;
    ScratchFolder home_;
    std::unique_ptr<test::TestServerProcess> server_;
    std::uint16_t port_ = 0;
};

TEST_F(HostileServer, WrongTypesInEveryFieldOfEveryRouteAreAnsweredSoundly) {
    const std::string pin = server_->teacherPin();
    const auto values = hostileValues();
    int sent = 0;
    int sources = 0;
    for (const auto& route : routes(pin)) {
        for (const auto& [field, sound] : route.soundBody.items()) {
            // An address of its own for each field: wrong PINs lock an address out.
            const std::string source = "127.0.3." + std::to_string(1 + sources++ % 250);
            for (const auto& value : values) {
                json body = route.soundBody;
                body[field] = value;
                const std::string response = exchange(port_, "POST", route.path, body.dump(), source.c_str());
                ++sent;
                const int status = statusOf(response);
                EXPECT_NE(status, 0) << route.path << " " << field << "=" << value.dump().substr(0, 60)
                                     << ": no answer";
                EXPECT_LT(status, 500) << route.path << " " << field << "=" << value.dump().substr(0, 60);
            }
        }
        if (std::string(route.path) == "/api/chat") {
            // Wrong types inside the history entries too.
            for (const auto& value : values) {
                for (const char* member : {"role", "content"}) {
                    json body = route.soundBody;
                    body["history"][0][member] = value;
                    const int status = statusOf(exchange(port_, "POST", route.path, body.dump()));
                    ++sent;
                    EXPECT_EQ(status, 200) << "history " << member << "=" << value.dump().substr(0, 60);
                }
                json body = route.soundBody;
                body["history"] = json::array({value, value});
                EXPECT_EQ(statusOf(exchange(port_, "POST", route.path, body.dump())), 200)
                    << value.dump().substr(0, 60);
            }
        }
        // The wrong type for the whole body, and bodies that are not JSON.
        const std::string source = "127.0.4." + std::to_string(1 + sources++ % 250);
        for (const auto& body : hostileBodies()) {
            const int status = statusOf(exchange(port_, "POST", route.path, body, source.c_str()));
            ++sent;
            EXPECT_NE(status, 0) << route.path << " body " << body.substr(0, 40);
            EXPECT_LT(status, 500) << route.path << " body " << body.substr(0, 40);
        }
        // Other methods, with and without a body.
        for (const char* method : {"GET", "PUT", "DELETE", "HEAD", "OPTIONS"}) {
            for (const std::string body : {"", "{}"}) {
                const int status = statusOf(exchange(port_, method, route.path, body, source.c_str()));
                ++sent;
                EXPECT_NE(status, 0) << method << " " << route.path;
                EXPECT_LT(status, 500) << method << " " << route.path;
            }
        }
        ASSERT_TRUE(server_->alive()) << "the server died on " << route.path;
    }
    EXPECT_GT(sent, 1000);
    EXPECT_TRUE(othersServed());

    // The teacher can still log in, and nothing on disk was damaged.
    const std::string login = exchange(port_, "POST", "/api/verify-teacher", json{{"pin", pin}}.dump());
    EXPECT_NE(bodyOf(login).find("true"), std::string::npos) << login;
    expectFilesSound();
}

TEST_F(HostileServer, IdleAndSlowConnectionsHoldUpNobodyAndMemoryStaysBounded) {
    ASSERT_TRUE(othersServed());
    const long before = server_->residentKiB();
    constexpr long idleCount = 200;
    std::vector<std::unique_ptr<Client>> idle;
    for (long i = 0; i < idleCount; ++i) {
        const std::string source = "127.0.2." + std::to_string(1 + i % 100);
        idle.push_back(std::make_unique<Client>(port_, source.c_str()));
        ASSERT_TRUE(idle.back()->connected());
        if (i % 3 == 1) idle.back()->send("POST /api/log HTTP/1.1\r\nContent-Length: 90\r\n\r\n{\"type\":");
        if (i % 3 == 2) idle.back()->send("GET /api/con");
    }
    Client slow(port_);
    const std::string request = "GET /api/teachers-list HTTP/1.1\r\nHost: x\r\n\r\n";
    for (std::size_t i = 0; i < request.size(); ++i) {
        ASSERT_TRUE(slow.send(request.substr(i, 1)));
        if (i % 10 == 0) {
            EXPECT_TRUE(othersServed());
        }
    }
    EXPECT_EQ(statusOf(slow.readResponse()), 200);
    ASSERT_TRUE(eventually([&] { return server_->threads() >= idleCount; }));
    if (!sanitized()) {
        // Generous: well above what a blocked connection thread holds.
        EXPECT_LT(server_->residentKiB() - before, idleCount * 256) << "KiB for " << idleCount << " idle connections";
    }
    idle.clear();
    EXPECT_TRUE(othersServed());
}

std::string chatRequest(const std::string& message) {
    const std::string body = json{{"userMessage", message}, {"history", json::array()}}.dump();
    return "POST /api/chat HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

TEST_F(HostileServer, ClientsThatStopReadingAChatStreamHoldOnlyTheirOwnSlots) {
    // An answer far larger than the socket buffers on the way.
    FakeChatReply reply;
    reply.pieces.assign(2000, std::string(8000, 'z'));
    reply.pieces.front() = "DEBUT";
    fake_.setChatReply(reply);
    ASSERT_TRUE(othersServed());
    const long before = server_->residentKiB();

    // Two streams from one address (its whole allowance), never read past the head.
    std::vector<std::unique_ptr<Client>> stalled;
    for (int i = 0; i < 2; ++i) {
        stalled.push_back(std::make_unique<Client>(port_, "127.0.5.1", 20, 4096));
        ASSERT_TRUE(stalled.back()->send(chatRequest("bloque " + std::to_string(i))));
        ASSERT_EQ(statusOf(stalled.back()->readSome(12)), 200);
    }

    // Others chat and are served meanwhile.
    EXPECT_TRUE(othersServed());
    {
        Client other(port_, "127.0.5.2");
        ASSERT_TRUE(other.send(chatRequest("autre")));
        const std::string answer = other.readToEnd();
        EXPECT_NE(answer.find("DEBUT"), std::string::npos);
        EXPECT_GT(answer.size(), 2000u * 8000u);
    }
    if (!sanitized()) {
        EXPECT_LT(server_->residentKiB() - before, 32 * 1024) << "KiB held for two stalled streams";
    }

    {
        // A third stream from the stalled address is over its allowance: a canned reply.
        Client third(port_, "127.0.5.1");
        ASSERT_TRUE(third.send(chatRequest("troisieme")));
        const std::string answer = third.readToEnd();
        EXPECT_EQ(statusOf(answer), 200);
        EXPECT_EQ(answer.find("DEBUT"), std::string::npos);
    }

    // Once they leave, their slots come back: the same address is relayed again.
    stalled.clear();
    EXPECT_TRUE(eventually([&] {
        Client again(port_, "127.0.5.1");
        if (!again.send(chatRequest("de retour"))) return false;
        return again.readToEnd().find("DEBUT") != std::string::npos;
    }));
    EXPECT_TRUE(server_->alive());
}

}  // namespace

namespace {

TEST_F(HostileServer, FileNamesInBodiesNeverLeaveTheLogFolder) {
    const std::string secret = "SECRET-" + std::to_string(::getpid());
    std::ofstream(home_.path() / "Documents" / "secret.txt") << secret;
    std::filesystem::create_directories(home_.path() / "Documents" / "Klarion_Logs");
    const std::string pin = server_->teacherPin();
    std::ofstream(home_.path() / "Documents" / "Klarion_Logs" / "2026-03-03.txt") << "LISIBLE";
    // The route works for a file of the folder...
    const std::string own =
        exchange(port_, "POST", "/api/log-content", json{{"pin", pin}, {"filename", "2026-03-03.txt"}}.dump());
    EXPECT_NE(own.find("LISIBLE"), std::string::npos) << own;
    // ...and for nothing outside it.
    const std::vector<std::string> names{"../secret.txt",
                                         "..",
                                         "/etc/passwd",
                                         (home_.path() / "Documents" / "secret.txt").string(),
                                         "..%2Fsecret.txt",
                                         "Klarion_Logs/../../secret.txt",
                                         std::string("secret.txt\0.txt", 15),
                                         "%2e%2e/secret.txt",
                                         "....//secret.txt",
                                         "..\\secret.txt",
                                         "./../secret.txt"};
    for (const auto& name : names) {
        const std::string answer =
            exchange(port_, "POST", "/api/log-content", json{{"pin", pin}, {"filename", name}}.dump());
        EXPECT_NE(statusOf(answer), 0) << name;
        EXPECT_EQ(answer.find(secret), std::string::npos) << name;
        EXPECT_EQ(answer.find("root:"), std::string::npos) << name;
    }
    EXPECT_TRUE(othersServed());
}

}  // namespace

namespace {

namespace fs = std::filesystem;

// Files named as the atomic writes' temporary ones ("." + name + ".tmp." + 6 characters) in
// the folders the server saves into.
std::vector<fs::path> saveLeftovers(const fs::path& home) {
    std::vector<fs::path> found;
    for (const auto& folder :
         {home / "Documents" / "Klarion_Config", home / "Documents" / "Klarion_Config" / "teacher_configs",
          home / ".config" / "klarion"}) {
        std::error_code ec;
        for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
            const std::string name = it->path().filename().string();
            if (name[0] == '.' && name.size() > 11 && name.compare(name.size() - 11, 5, ".tmp.") == 0) {
                found.push_back(it->path());
            }
        }
    }
    return found;
}

TEST_F(HostileServer, KillsDuringSavesLeaveWholeFilesAndEachStartRemovesTheirTemporaryOnes) {
    // The establishment mode: a teacher's session makes each of these requests save a file.
    ASSERT_EQ(server_->terminate(), 0);
    const fs::path config = home_.path() / "Documents" / "Klarion_Config";
    fs::create_directories(config);
    std::ofstream(config / "mode.json") << R"({"mode":"establishment"})";
    std::ofstream(config / "teachers.json") << R"([{"id":"T1","name":"Anne","pin":"123456","createdAt":"x"}])";
    const json login{{"id", "T1"}, {"pin", "123456"}};
    const std::pair<const char*, json> saves[] = {
        {"/api/reserve-slot", {{"pin", "123456"}, {"week", "2026-W10"}, {"day", 1}, {"slot", 0}}},
        {"/api/mission", {{"pin", "123456"}, {"mission", "Réviser"}}},
        {"/api/admin/update", {{"pin", "123456"}, {"safetyAiScanAll", true}}},
    };

    int roundsWithLeftovers = 0;
    for (int round = 0; round < 40 && roundsWithLeftovers < 5; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        server_ = startTestServer(home_.path(), fake_.baseUrl());
        const std::uint16_t port = server_->port();
        ASSERT_NE(port, 0);
        EXPECT_EQ(saveLeftovers(home_.path()), std::vector<fs::path>{});
        ASSERT_NE(exchange(port, "POST", "/api/verify-teacher", login.dump()).find("\"success\":true"),
                  std::string::npos);
        // The session starts on the main thread a moment after the answer.
        ASSERT_TRUE(eventually([&] {
            return exchange(port, "GET", "/api/config", "").find("\"activeTeacherId\":\"T1\"") != std::string::npos;
        }));
        std::atomic<int> answered{0};
        std::vector<std::thread> writers;
        for (int w = 0; w < 3; ++w) {
            writers.emplace_back([&, w] {
                for (int i = w; i < 20000; ++i) {
                    const auto& [path, body] = saves[i % 3];
                    if (statusOf(exchange(port, "POST", path, body.dump())) != 200) return;
                    ++answered;
                }
            });
        }
        // Answers go out before their saves: the main thread has saves queued by then.
        EXPECT_TRUE(eventually([&] { return answered >= 150; }));
        ::kill(server_->pid(), SIGKILL);
        for (auto& writer : writers) writer.join();
        EXPECT_EQ(server_->exitStatus(), 128 + SIGKILL);
        roundsWithLeftovers += !saveLeftovers(home_.path()).empty();
    }

    // What a save cut short leaves, in each folder, beside a name that is not of ours.
    for (const auto& folder : {config, config / "teacher_configs", home_.path() / ".config" / "klarion"}) {
        fs::create_directories(folder);
        std::ofstream(folder / ".schedule.json.tmp.Ab3dE9") << R"({"slotDefinitions":[)";
        std::ofstream(folder / "notes.tmp.Ab3dE9") << "à garder";
    }
    server_ = startTestServer(home_.path(), fake_.baseUrl());
    ASSERT_NE(server_->port(), 0);
    EXPECT_EQ(saveLeftovers(home_.path()), std::vector<fs::path>{});
    EXPECT_TRUE(fs::exists(config / "teacher_configs" / "notes.tmp.Ab3dE9"));
    expectFilesSound();
    EXPECT_NE(exchange(server_->port(), "POST", "/api/verify-teacher", login.dump()).find("\"success\":true"),
              std::string::npos);
}

}  // namespace
