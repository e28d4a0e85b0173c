// "/api/logs" and "/api/log-content": listing order and filter, the folder of
// the moment, refused names and paths, and invalid UTF-8.
#include <gtest/gtest.h>

#include <fstream>

#include "platform/files.h"
#include "server/api/class_log.h"
#include "server/api/log_routes.h"
#include "tests/api/api_test_support.h"
#include "tests/api/route_call.h"

namespace klarion {
namespace {

using test::callRoute;

const Teacher kAlice{"A-ID", "Alice", "111111", "2025-09-01T07:45:09Z"};
const Teacher kBruno{"B-ID", "Bruno", "222222", "2025-09-01T07:45:09Z"};

void write(const std::filesystem::path& file, const std::string& content) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << content;
}

std::string pinBody(const test::TestContext& t, const std::string& extra = "") {
    return R"({"pin":")" + t.context->config().teacherPinCode() + "\"" + (extra.empty() ? "" : "," + extra) + "}";
}

std::string contentBody(const test::TestContext& t, const std::string& filename) {
    Json body = Json::object();
    body["pin"] = t.context->config().teacherPinCode();
    body["filename"] = filename;
    return body.dump();
}

TEST(LogsRoute, ListsTxtFilesGreatestNameFirst) {
    test::TestContext t;
    auto reply = callRoute(handleLogs, *t.context, pinBody(t));
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, "[]") << "no folder yet";
    EXPECT_EQ(reply.contentType, "application/json");

    const auto folder = t.home.documents() / "Klarion_Logs";
    for (const char* name : {"Log_05-01-2027.txt", "Log_31-12-2026.txt", "notes.md", ".cache.txt", "Log.TXT"}) {
        write(folder / name, "x");
    }
    std::filesystem::create_directories(folder / "archive.txt");
    write(folder / "archive.txt" / "Log_01-01-2020.txt", "x");
    reply = callRoute(handleLogs, *t.context, pinBody(t));
    EXPECT_EQ(reply.body, R"(["Log_31-12-2026.txt","Log_05-01-2027.txt",".cache.txt"])");

    EXPECT_EQ(callRoute(handleLogs, *t.context, R"({"pin":"nope"})").status, 401);
    EXPECT_EQ(callRoute(handleLogs, *t.context, "").status, 401);
}

TEST(LogsRoute, EstablishmentShowsTheActiveTeachersFolder) {
    test::TestContext t;
    t.config().setAppMode("establishment");
    t.config().setTeachers({kAlice, kBruno});
    const auto logs = t.home.documents() / "Klarion_Logs";
    write(logs / "_non_attribue" / "Log_01-03-2026.txt", "libre");
    write(logs / "Alice" / "Log_02-03-2026.txt", "alice");
    write(logs / "Bruno" / "Log_03-03-2026.txt", "bruno");

    EXPECT_EQ(callRoute(handleLogs, *t.context, R"({"pin":"222222"})").body, R"(["Log_01-03-2026.txt"])");
    t.config().setActiveTeacherId(kAlice.id);
    t.config().setActiveTeacherName(kAlice.name);
    // Bruno's PIN passes, and shows the folder of the class of the moment.
    EXPECT_EQ(callRoute(handleLogs, *t.context, R"({"pin":"222222"})").body, R"(["Log_02-03-2026.txt"])");
    auto reply = callRoute(handleLogContent, *t.context, R"({"pin":"222222","filename":"Log_02-03-2026.txt"})");
    EXPECT_EQ(reply.body, "alice");
    EXPECT_EQ(callRoute(handleLogContent, *t.context, R"({"pin":"222222","filename":"Log_03-03-2026.txt"})").status,
              404);
}

TEST(LogContentRoute, ReturnsTheFileAsText) {
    test::TestContext t;
    const auto folder = t.home.documents() / "Klarion_Logs";
    write(folder / "Log_03-03-2026.txt", "[10:30:00] Tom (10.0.0.5): Bonjour\n");
    write(folder / "notes.md", "notes");
    write(folder / "abîmé.txt", std::string("a\xFF" "b\xE2\x82" "c\xF0\x9F\x98\x80", 10));

    auto reply = callRoute(handleLogContent, *t.context, contentBody(t, "Log_03-03-2026.txt"));
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, "[10:30:00] Tom (10.0.0.5): Bonjour\n");
    EXPECT_EQ(reply.contentType, std::nullopt);
    EXPECT_EQ(callRoute(handleLogContent, *t.context, contentBody(t, "notes.md")).body, "notes");
    EXPECT_EQ(callRoute(handleLogContent, *t.context, contentBody(t, "abîmé.txt")).body,
              "a\xEF\xBF\xBD" "b\xEF\xBF\xBD" "c\xF0\x9F\x98\x80");
}

TEST(LogContentRoute, RefusedNamesAndPaths) {
    test::TestContext t;
    const auto documents = t.home.documents();
    const auto folder = documents / "Klarion_Logs";
    write(folder / "Log_03-03-2026.txt", "log");
    write(documents / "secret.txt", "secret");
    write(documents / "%2e%2e", "secret");
    std::filesystem::create_directories(folder / "%2e%2e");
    std::filesystem::create_directories(folder / "sub");
    write(folder / "sub" / "Log_x.txt", "nested");
    std::filesystem::create_symlink(documents / "secret.txt", folder / "lien.txt");

    struct Case {
        std::string filename;
        int status;
    };
    const Case cases[] = {
        {"../secret.txt", 401},
        {"..", 401},
        {"a..b.txt", 401},
        {"sub/Log_x.txt", 401},
        {"/etc/passwd", 401},
        {(documents / "secret.txt").string(), 401},
        {"%2e%2e", 404},               // not decoded: a folder of that name inside
        {"%2e%2e%2fsecret.txt", 404},  // not decoded: no such file
        {"..%2fsecret.txt", 401},
        {"", 404},
        {".", 404},
        {"sub", 404},
        {std::string("Log_03-03-2026.txt\0.md", 22), 404},
        {"lien.txt", 404},  // a link leading out of the folder
        {"absent.txt", 404},
    };
    for (const auto& c : cases) {
        auto reply = callRoute(handleLogContent, *t.context, contentBody(t, c.filename));
        EXPECT_EQ(reply.status, c.status) << c.filename;
        EXPECT_EQ(reply.body, "") << c.filename;
    }
    EXPECT_EQ(t.context->lockout->failureCount("10.0.0.5"), 0) << "no PIN was refused";

    for (const std::string& body : std::vector<std::string>{"", "{}", R"({"filename":"Log_03-03-2026.txt"})", R"({"pin":"x","filename":"Log_03-03-2026.txt"})",
                                   R"({"pin":")" + t.config().teacherPinCode() + R"("})",
                                   R"({"pin":")" + t.config().teacherPinCode() + R"(","filename":3})"}) {
        EXPECT_EQ(callRoute(handleLogContent, *t.context, body).status, 401) << body;
    }
    EXPECT_EQ(callRoute(handleLogContent, *t.context, contentBody(t, "Log_03-03-2026.txt")).body, "log");
}

TEST(RepairUTF8, EachInvalidSequenceBecomesOneReplacement) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain é", "plain é"},
        {"\xFF", "\xEF\xBF\xBD"},
        {"\xE2\x82", "\xEF\xBF\xBD"},                            // one truncated sequence
        {"\xE2\x82\xE2\x82\xAC", "\xEF\xBF\xBD\xE2\x82\xAC"},    // then a valid euro sign
        {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},                // overlong: two
        {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // a surrogate: three
        {std::string("a\0b", 3), std::string("a\0b", 3)},
    };
    for (const auto& [bytes, text] : cases) EXPECT_EQ(repairUTF8(bytes), text);
}

}  // namespace
}  // namespace klarion
