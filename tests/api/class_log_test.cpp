// "/api/log": the day file (supervision x level x type), the folder per mode,
// the word cloud, the live data, the hand-off to the keyword scan, the bounds
// and parallel appends; "/api/logs" and "/api/log-content": listing, the
// folder of the moment, refused names and paths.
#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <thread>

#include "platform/files.h"
#include "platform/text.h"
#include "server/api/class_log.h"
#include "server/api/log_routes.h"
#include "server/llm/lmstudio_client.h"
#include "server/llm/safety_monitor.h"
#include "tests/support/classroom_fixture.h"

namespace klarion {
namespace {

using klarion::testing::writeText;
using test::callRoute;

constexpr double kNow = 1772530200.0;  // Tue 2026-03-03 10:30:00 Paris
const char* const kDayFile = "Log_03-03-2026.txt";

std::filesystem::path logs(const test::TestContext& t) { return t.home.documents() / "Klarion_Logs"; }

std::string logBody(const std::string& type, const std::string& text, const std::optional<std::string>& name) {
    Json body{{"type", type}, {"text", text}};
    if (name) body["name"] = *name;
    return body.dump();
}

// The keyword safety scan of the context, its AI verdict pointed at a closed loopback port.
std::shared_ptr<SafetyMonitor> attachSafetyMonitor(test::TestContext& t) {
    return t.context->safetyMonitor = std::make_shared<SafetyMonitor>(
               t.context->state, std::make_shared<const LmStudioClient>("http://127.0.0.1:9"));
}

size_t scanLines(const std::vector<std::string>& journal) {
    return std::count_if(journal.begin(), journal.end(),
                         [](const auto& l) { return l.rfind("Surveillance — ", 0) == 0; });
}

TEST(ClassLog, SupervisionLevelTypeMatrixOnTheDayFile) {
    for (bool supervision : {true, false}) {
        for (const std::string level : {"questions_answers", "questions", "autre"}) {
            for (const std::string type : {"question", "answer", "note"}) {
                SCOPED_TRACE((supervision ? "on/" : "off/") + level + "/" + type);
                test::TestContext t;
                t.config().setIsSupervisionActive(supervision);
                t.config().setSupervisionLevel(level);
                auto reply = callRoute(handleLog, *t.context, logBody(type, "Bonjour", "Tom"));
                EXPECT_EQ(reply.status, 200);
                EXPECT_EQ(reply.body, "Logged");
                EXPECT_EQ(reply.contentType, std::nullopt);
                const bool written = supervision && !(type == "answer" && level == "questions");
                EXPECT_EQ(readFile(logs(t) / kDayFile),
                          written ? std::optional<std::string>("[10:30:00] Tom (10.0.0.5): Bonjour\n") : std::nullopt);
            }
        }
    }
}

TEST(ClassLog, LinesAppendAndTheDateIsTakenAtEachWrite) {
    test::TestContext t;
    t.config().setIsSupervisionActive(true);
    t.clock->set(1772578799.0);  // 23:59:59
    callRoute(handleLog, *t.context, logBody("question", "Ligne 1\nsuite", "Tom"));
    callRoute(handleLog, *t.context, logBody("answer", "Réponse", "Tom"), std::nullopt);
    t.clock->set(1772578801.0);  // 00:00:01 the next day
    callRoute(handleLog, *t.context, logBody("question", "Après minuit", std::nullopt));
    EXPECT_EQ(readFile(logs(t) / kDayFile),
              "[23:59:59] Tom (10.0.0.5): Ligne 1\nsuite\n[23:59:59] Tom (0.0.0.0): Réponse\n");
    EXPECT_EQ(readFile(logs(t) / "Log_04-03-2026.txt"), "[00:00:01] Anonyme (10.0.0.5): Après minuit\n");
}

TEST(ClassLog, FolderPerMode) {
    const struct {
        std::string mode;
        std::string teacher;
        std::string folder;
    } cases[] = {
        {"individual", "Alice", ""},
        {"autre", "Alice", ""},
        {"establishment", "", "_non_attribue"},
        {"establishment", "Mme Léa Martin", "Mme Léa Martin"},
        {"establishment", "../../etc/x", ".._.._etc_x"},  // made safe as a folder name
        {"establishment", "..", "_"},
    };
    for (const auto& c : cases) {
        test::TestContext t;
        t.config().setAppMode(c.mode);
        t.config().setActiveTeacherName(c.teacher);
        t.config().setIsSupervisionActive(true);
        const auto expected = c.folder.empty() ? logs(t) : logs(t) / c.folder;
        EXPECT_EQ(classLogFolder(*t.context), expected) << c.teacher;
        callRoute(handleLog, *t.context, logBody("question", "q", "Tom"));
        EXPECT_TRUE(std::filesystem::is_regular_file(expected / kDayFile)) << c.teacher;
    }
}

TEST(ClassLog, WordCountExamples) {
    const std::pair<const char*, std::vector<std::string>> cases[] = {
        {"Pourquoi les étoiles brillent-elles ?", {"étoiles", "brillent"}},
        {"l'école", {"école"}},
        {"Étoiles étoiles etoiles", {"étoiles", "étoiles", "etoiles"}},
        {"POUR AVEC DANS Êtes", {}},
        {"abc123defg 2025 mot_clé", {"defg"}},
        {"Le théorème de Pythagore, le théorème !", {"théorème", "pythagore", "théorème"}},
        // Combining accents: characters are counted as the reader sees them,
        // and a decomposed spelling is the same word as the composed one.
        {"e\xCC\x81te\xCC\x81", {}},
        {"l'e\xCC\x81"
         "cole",
         {"école"}},
        // Only characters that are not letters cut: a run of letters is one
        // word in any script, with no dictionary splitting.
        {"为什么天空是蓝色的", {"为什么天空是蓝色的"}},
        {"ภาษาไทยง่ายนิดเดียว", {"ภาษาไทยง่ายนิดเดียว"}},
    };
    for (const auto& [text, words] : cases) EXPECT_EQ(questionWords(text), words) << text;
    EXPECT_TRUE(questionWords(std::string(kMaxCountedWordLength + 1, 'a')).empty());
    EXPECT_EQ(questionWords(std::string(kMaxCountedWordLength, 'a')).size(), 1u);
}

TEST(ClassLog, QuestionFeedsEverythingAnswerOnlyTheFile) {
    test::TestContext t;
    auto monitor = attachSafetyMonitor(t);
    t.config().setConnectedStudents({{"10.0.0.9", "Léa"}});

    callRoute(handleLog, *t.context, logBody("question", "Pourquoi les étoiles brillent ? étoiles", "Léa"),
              "10.0.0.12");
    EXPECT_TRUE(t.config().liveQuestions().empty()) << "state changes wait for the main queue";
    // The scan runs on the request's thread, before the request's own line.
    EXPECT_EQ(t.journal(),
              (std::vector<std::string>{
                  "Surveillance — mot-clé=aucun scanAll=false — « Pourquoi les étoiles brillent ? étoiles »",
                  "Question de Léa (10.0.0.12): Pourquoi les étoiles brillent ? étoiles"}));
    EXPECT_EQ(t.config().wordFrequency(), (WordFrequency{{"étoiles", 2}, {"brillent", 1}}));
    EXPECT_EQ(t.config().connectedStudents(), (ConnectedStudents{{"10.0.0.9", "Léa"}, {"10.0.0.12", "Léa"}}));
    const auto live = t.config().liveQuestions();
    ASSERT_EQ(live.size(), 1u);
    EXPECT_EQ(live[0].displayName, "Léa");  // the name sent with it is applied first
    EXPECT_EQ(live[0].ip, "10.0.0.12");
    EXPECT_EQ(live[0].time, kNow);

    // Answers and other types reach neither the live data nor the scan.
    for (const std::string type : {"answer", "Question", "note"}) {
        callRoute(handleLog, *t.context, logBody(type, "Les étoiles brillent", "Zoé"), "10.0.0.20");
    }
    EXPECT_EQ(t.journal().size(), 2u);
    EXPECT_EQ(t.config().liveQuestions().size(), 1u);
    EXPECT_FALSE(t.config().connectedStudents().contains("10.0.0.20"));

    // Without a name: "Anonyme" replaces the earlier name; without a peer
    // address: "0.0.0.0", and "?" in the journal.
    callRoute(handleLog, *t.context, logBody("question", "Qui est là ?", std::nullopt), "10.0.0.12");
    callRoute(handleLog, *t.context, logBody("question", "Au secours", "Max"), std::nullopt);
    const auto lines = t.journal();
    EXPECT_EQ(scanLines(lines), 3u);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Question de Max (?): Au secours"), 1);
    EXPECT_EQ(t.config().connectedStudents().at("10.0.0.12"), "Anonyme");
    // The keyword alert carries the same address and the name sent with it.
    const auto alerts = t.config().safetyAlerts();
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0].ip, "0.0.0.0");
    EXPECT_EQ(alerts[0].displayName, "Max");
    EXPECT_TRUE(monitor->waitUntilIdle(std::chrono::seconds(60)));

    // The journal quotes the first eighty characters.
    std::string text;
    for (int i = 0; i < 100; ++i) text += "é";
    callRoute(handleLog, *t.context, logBody("question", text, "Tom"));
    EXPECT_EQ(t.journal().back(), "Question de Tom (10.0.0.5): " + text.substr(0, 160));
    EXPECT_FALSE(std::filesystem::exists(logs(t))) << "supervision off: no file, the live data all the same";
}

TEST(ClassLog, MalformedBodiesLeaveNoTrace) {
    for (const std::string body : {"", "pas du json", "[]", R"(["question","x"])", "{}", R"({"type":"question"})",
                                   R"({"text":"x"})", R"({"type":1,"text":"x"})", R"({"type":"question","text":2})"}) {
        test::TestContext t;
        attachSafetyMonitor(t);
        t.config().setIsSupervisionActive(true);
        t.config().setAppMode("establishment");
        auto reply = callRoute(handleLog, *t.context, body);
        EXPECT_EQ(reply.body, "Logged") << body;
        EXPECT_EQ(t.queue->drain(), 0u) << body << ": nothing posted, not even a scan's journal line";
        EXPECT_FALSE(std::filesystem::exists(logs(t))) << body;
    }
}

TEST(ClassLog, EstablishmentStampsActivityForEveryRecord) {
    for (const std::string mode : {"establishment", "individual"}) {
        for (const std::string type : {"question", "answer", "note"}) {
            test::TestContext t;
            t.config().setAppMode(mode);
            t.clock->set(kNow + 42);
            callRoute(handleLog, *t.context, logBody(type, "x", "Tom"));
            t.queue->drain();
            EXPECT_EQ(t.config().lastActivityTime(), mode == "individual" ? 0 : kNow + 42) << mode << " " << type;
        }
    }
}

TEST(ClassLog, BoundsOnWhatAnonymousPostsCanGrow) {
    test::TestContext t;
    for (int i = 0; i < 61; ++i) callRoute(handleLog, *t.context, logBody("question", "q" + std::to_string(i), "Tom"));
    t.queue->drain();
    const auto live = t.config().liveQuestions();
    ASSERT_EQ(live.size(), 60u);
    EXPECT_EQ(live.front().text, "q1");
    EXPECT_EQ(live.back().text, "q60");

    WordFrequency full;
    for (size_t i = 0; i < kMaxWordTableSize; ++i) full["mot" + std::to_string(i)] = 1;
    t.config().setWordFrequency(full);
    addWordCounts(t.config(), {"nouveau", "mot7", "mot7"});
    EXPECT_EQ(t.config().wordFrequency().size(), kMaxWordTableSize);
    EXPECT_EQ(t.config().wordFrequency().at("mot7"), 3);

    ConnectedStudents students;
    for (size_t i = 0; i < kMaxConnectedStudents; ++i) students["10.1." + std::to_string(i)] = "x";
    t.config().setConnectedStudents(students);
    rememberStudentName(t.config(), "10.9.9.9", "Nouveau");
    EXPECT_FALSE(t.config().connectedStudents().contains("10.9.9.9"));
    rememberStudentName(t.config(), "10.1.7", std::string(500, 'a'));
    EXPECT_EQ(t.config().connectedStudents().at("10.1.7"), std::string(kMaxStudentNameLength, 'a'));
    recordLiveQuestion(t.config(), "10.9.9.9", "q", kNow);
    EXPECT_EQ(t.config().liveQuestions().back().displayName, "Anonyme");
}

TEST(ClassLog, ParallelPostsLoseNoLine) {
    test::TestContext t;
    t.config().setIsSupervisionActive(true);
    constexpr int kPosts = 50;
    const std::string filler(3000, 'x');  // long lines make torn writes visible
    std::vector<std::thread> threads;
    for (int i = 0; i < kPosts; ++i) {
        threads.emplace_back([&, i] {
            callRoute(handleLog, *t.context,
                      logBody(i % 2 ? "question" : "answer", "n" + std::to_string(i) + filler, "Tom"),
                      "10.0.0." + std::to_string(i));
        });
    }
    for (auto& thread : threads) thread.join();
    std::istringstream lines(readFile(logs(t) / kDayFile).value_or(""));
    std::set<std::string> seen;
    for (std::string line; std::getline(lines, line);) {
        const auto colon = line.find("): n");
        ASSERT_NE(colon, std::string::npos) << line.substr(0, 60);
        const std::string number = line.substr(colon + 4, line.size() - colon - 4 - filler.size());
        EXPECT_EQ(line, "[10:30:00] Tom (10.0.0." + number + "): n" + number + filler);
        seen.insert(number);
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(kPosts));
    t.queue->drain();
    EXPECT_EQ(t.config().liveQuestions().size(), static_cast<size_t>(kPosts / 2));
}

// ---- "/api/logs" and "/api/log-content".

std::string contentBody(test::TestContext& t, const std::string& filename) {
    return Json{{"pin", t.config().teacherPinCode()}, {"filename", filename}}.dump();
}

TEST(LogRoutes, ListsTxtFilesGreatestNameFirstAndServesThemAsText) {
    test::TestContext t;
    auto reply = callRoute(handleLogs, *t.context, t.pinBody());
    EXPECT_EQ(reply.body, "[]") << "no folder yet";
    EXPECT_EQ(reply.contentType, "application/json");

    for (const char* name : {"Log_05-01-2027.txt", "Log_31-12-2026.txt", "notes.md", ".cache.txt", "Log.TXT"}) {
        writeText(logs(t) / name, name);
    }
    writeText(logs(t) / "archive.txt" / "Log_01-01-2020.txt", "x");
    writeText(logs(t) / "abîmé.txt", std::string("a\xFF"
                                                 "b\xE2\x82"
                                                 "c\xF0\x9F\x98\x80",
                                                 10));
    EXPECT_EQ(callRoute(handleLogs, *t.context, t.pinBody()).body,
              R"(["abîmé.txt","Log_31-12-2026.txt","Log_05-01-2027.txt",".cache.txt"])");

    reply = callRoute(handleLogContent, *t.context, contentBody(t, "Log_31-12-2026.txt"));
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, "Log_31-12-2026.txt");
    EXPECT_EQ(reply.contentType, std::nullopt);
    EXPECT_EQ(callRoute(handleLogContent, *t.context, contentBody(t, "notes.md")).body, "notes.md");
    EXPECT_EQ(callRoute(handleLogContent, *t.context, contentBody(t, "abîmé.txt")).body,
              "a\xEF\xBF\xBD"
              "b\xEF\xBF\xBD"
              "c\xF0\x9F\x98\x80");
}

TEST(LogRoutes, EstablishmentShowsTheActiveTeachersFolder) {
    test::TestContext t;
    t.establishment(false);
    writeText(logs(t) / "_non_attribue" / "Log_01-03-2026.txt", "libre");
    writeText(logs(t) / "Alice" / "Log_02-03-2026.txt", "alice");
    writeText(logs(t) / "Bruno" / "Log_03-03-2026.txt", "bruno");
    EXPECT_EQ(callRoute(handleLogs, *t.context, R"({"pin":"222222"})").body, R"(["Log_01-03-2026.txt"])");
    t.establishment(true);
    // Bruno's PIN passes, and shows the folder of the class of the moment.
    EXPECT_EQ(callRoute(handleLogs, *t.context, R"({"pin":"222222"})").body, R"(["Log_02-03-2026.txt"])");
    EXPECT_EQ(callRoute(handleLogContent, *t.context, R"({"pin":"222222","filename":"Log_02-03-2026.txt"})").body,
              "alice");
    EXPECT_EQ(callRoute(handleLogContent, *t.context, R"({"pin":"222222","filename":"Log_03-03-2026.txt"})").status,
              404);
}

TEST(LogRoutes, RefusedNamesAndPaths) {
    test::TestContext t;
    const auto documents = t.home.documents();
    writeText(logs(t) / "Log_03-03-2026.txt", "log");
    writeText(documents / "secret.txt", "secret");
    writeText(documents / "%2e%2e", "secret");
    std::filesystem::create_directories(logs(t) / "%2e%2e");
    writeText(logs(t) / "sub" / "Log_x.txt", "nested");
    std::filesystem::create_symlink(documents / "secret.txt", logs(t) / "lien.txt");

    // Names with a path or ".." are refused; names are not decoded; a link out of the folder is not followed.
    for (const std::string& name :
         {std::string("../secret.txt"), std::string(".."), std::string("a..b.txt"), std::string("sub/Log_x.txt"),
          std::string("/etc/passwd"), (documents / "secret.txt").string(), std::string("..%2fsecret.txt")}) {
        EXPECT_EQ(callRoute(handleLogContent, *t.context, contentBody(t, name)).status, 401) << name;
    }
    for (const std::string& name : {std::string("%2e%2e"), std::string("%2e%2e%2fsecret.txt"), std::string(""),
                                    std::string("."), std::string("sub"), std::string("Log_03-03-2026.txt\0.md", 22),
                                    std::string("lien.txt"), std::string("absent.txt")}) {
        const auto reply = callRoute(handleLogContent, *t.context, contentBody(t, name));
        EXPECT_EQ(reply.status, 404) << name;
        EXPECT_EQ(reply.body, "") << name;
    }
    EXPECT_EQ(t.context->lockout->failureCount("10.0.0.5"), 0) << "no PIN was refused";
    for (const std::string& body : {t.pinBody(), t.pinBody(R"("filename":3)")}) {
        EXPECT_EQ(callRoute(handleLogContent, *t.context, body).status, 401) << body;
    }
    EXPECT_EQ(callRoute(handleLogContent, *t.context, contentBody(t, "Log_03-03-2026.txt")).body, "log");
}

TEST(RepairUTF8, EachInvalidSequenceBecomesOneReplacement) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain é", "plain é"},
        {"\xE2\x82\xE2\x82\xAC", "\xEF\xBF\xBD\xE2\x82\xAC"},      // a truncated sequence, then a euro sign
        {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},                  // overlong: two
        {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // a surrogate: three
        {std::string("a\0b", 3), std::string("a\0b", 3)},
    };
    for (const auto& [bytes, text] : cases) EXPECT_EQ(repairUTF8(bytes), text);
}

}  // namespace
}  // namespace klarion
