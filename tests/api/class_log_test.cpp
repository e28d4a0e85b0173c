// "/api/log": the day file (supervision x level x type), the folder per mode,
// the word cloud, the live feed, the connected names, the hand-off to the
// keyword scan, the bounds, and parallel appends.
#include <gtest/gtest.h>

#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "platform/files.h"
#include "server/api/class_log.h"
#include "server/llm/lmstudio_client.h"
#include "server/llm/safety_monitor.h"
#include "tests/api/api_test_support.h"
#include "tests/api/route_call.h"

namespace klarion {
namespace {

using test::callRoute;

constexpr double kNow = 1772530200.0;  // Tue 2026-03-03 10:30:00 Paris
const char* const kDayFile = "Log_03-03-2026.txt";

std::filesystem::path logs(const test::TestContext& t) { return t.home.documents() / "Klarion_Logs"; }

std::string logBody(const std::string& type, const std::string& text, const std::optional<std::string>& name) {
    Json body = Json::object();
    body["type"] = type;
    body["text"] = text;
    if (name) body["name"] = *name;
    return body.dump();
}

// The keyword safety scan of the context, its AI verdict pointed at a closed
// loopback port.
std::shared_ptr<SafetyMonitor> attachSafetyMonitor(test::TestContext& t) {
    t.context->safetyMonitor =
        std::make_shared<SafetyMonitor>(t.context->state, std::make_shared<const LmStudioClient>("http://127.0.0.1:9"));
    return t.context->safetyMonitor;
}

// The journal lines of the keyword scan.
std::vector<std::string> scanLines(const std::vector<std::string>& journal) {
    std::vector<std::string> lines;
    for (const auto& line : journal) {
        if (line.rfind("Surveillance — ", 0) == 0) lines.push_back(line);
    }
    return lines;
}

TEST(ClassLog, SupervisionLevelTypeMatrixOnTheDayFile) {
    for (bool supervision : {true, false}) {
        for (const std::string level : {"questions_answers", "questions", "autre"}) {
            for (const std::string type : {"question", "answer", "note"}) {
                test::TestContext t;
                t.config().setIsSupervisionActive(supervision);
                t.config().setSupervisionLevel(level);
                auto reply = callRoute(handleLog, *t.context, logBody(type, "Bonjour", "Tom"));
                const std::string label = (supervision ? "on/" : "off/") + level + "/" + type;
                EXPECT_EQ(reply.status, 200) << label;
                EXPECT_EQ(reply.body, "Logged") << label;
                EXPECT_EQ(reply.contentType, std::nullopt) << label;
                const bool written = supervision && !(type == "answer" && level == "questions");
                const auto content = readFile(logs(t) / kDayFile);
                if (written) {
                    EXPECT_EQ(content, "[10:30:00] Tom (10.0.0.5): Bonjour\n") << label;
                } else {
                    EXPECT_FALSE(content.has_value()) << label;
                }
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
    struct Case {
        const char* label;
        std::string mode;
        std::string teacher;
        std::string folder;
    };
    const Case cases[] = {
        {"individual", "individual", "Alice", ""},
        {"unknown mode", "autre", "Alice", ""},
        {"no session", "establishment", "", "_non_attribue"},
        {"teacher", "establishment", "Mme Léa Martin", "Mme Léa Martin"},
        {"slash", "establishment", "../../etc/x", ".._.._etc_x"},
        {"dot dot", "establishment", "..", "_"},
    };
    for (const auto& c : cases) {
        test::TestContext t;
        t.config().setAppMode(c.mode);
        t.config().setActiveTeacherName(c.teacher);
        const auto expected = c.folder.empty() ? logs(t) : logs(t) / c.folder;
        EXPECT_EQ(logFolderURL(*t.context), expected) << c.label;
        t.config().setIsSupervisionActive(true);
        callRoute(handleLog, *t.context, logBody("question", "q", "Tom"));
        EXPECT_TRUE(std::filesystem::is_regular_file(expected / kDayFile)) << c.label;
    }
}

TEST(ClassLog, WordCountExamples) {
    struct Case {
        const char* text;
        std::vector<std::string> words;
    };
    const Case cases[] = {
        {"Pourquoi les étoiles brillent-elles ?", {"étoiles", "brillent"}},
        {"Qui est là ?", {}},
        {"l'école", {"école"}},
        {"Étoiles étoiles etoiles", {"étoiles", "étoiles", "etoiles"}},
        {"est-ce que c'est bien ?", {}},
        {"POUR AVEC DANS Êtes", {}},
        {"abc123defg 2025 mot_clé", {"defg"}},
        {"Le théorème de Pythagore, le théorème !", {"théorème", "pythagore", "théorème"}},
        {"thé café", {"café"}},
        // Combining accents: characters are counted as the reader sees them,
        // and a decomposed spelling is the same word as the composed one.
        {"e\xCC\x81te\xCC\x81", {}},
        {"l'e\xCC\x81" "cole", {"école"}},
        {"tre\xCC\x80s", {}},
        // Only characters that are not letters cut: a run of letters is one
        // word in any script, with no dictionary splitting.
        {"为什么天空是蓝色的", {"为什么天空是蓝色的"}},
        {"カタカナひらがな", {"カタカナひらがな"}},
        {"ภาษาไทยง่ายนิดเดียว", {"ภาษาไทยง่ายนิดเดียว"}},
        {"anticonstitutionnellement", {"anticonstitutionnellement"}},
        {"", {}},
    };
    for (const auto& c : cases) EXPECT_EQ(questionWords(c.text), c.words) << c.text;
    EXPECT_TRUE(questionWords(std::string(kMaxCountedWordLength + 1, 'a')).empty());
    EXPECT_EQ(questionWords(std::string(kMaxCountedWordLength, 'a')).size(), 1u);
}

TEST(ClassLog, QuestionFeedsEverythingAnswerOnlyTheFile) {
    test::TestContext t;
    auto monitor = attachSafetyMonitor(t);
    t.config().setConnectedStudents({{"10.0.0.9", "Léa"}});

    callRoute(handleLog, *t.context, logBody("question", "Pourquoi les étoiles brillent ? étoiles", "Léa"), "10.0.0.12");
    EXPECT_TRUE(t.config().liveQuestions().empty()) << "state changes wait for the main queue";
    // The scan runs on the request's thread, before the request's own line.
    EXPECT_EQ(t.journal(), (std::vector<std::string>{
                               "Surveillance — mot-clé=aucun scanAll=false — « Pourquoi les étoiles brillent ? étoiles »",
                               "Question de Léa (10.0.0.12): Pourquoi les étoiles brillent ? étoiles"}));
    EXPECT_EQ(t.config().wordFrequency(), (WordFrequency{{"étoiles", 2}, {"brillent", 1}}));
    EXPECT_EQ(t.config().connectedStudents(), (ConnectedStudents{{"10.0.0.9", "Léa"}, {"10.0.0.12", "Léa"}}));
    const auto live = t.config().liveQuestions();
    ASSERT_EQ(live.size(), 1u);
    // The name sent with the question is applied before the live question.
    EXPECT_EQ(live[0].displayName, "Léa");
    EXPECT_EQ(live[0].ip, "10.0.0.12");
    EXPECT_EQ(live[0].time, kNow);
    EXPECT_EQ(live[0].id.size(), 36u);

    // Answers and other types reach neither the live data nor the scan.
    for (const std::string type : {"answer", "Question", "note"}) {
        callRoute(handleLog, *t.context, logBody(type, "Les étoiles brillent", "Zoé"), "10.0.0.20");
    }
    EXPECT_EQ(t.journal().size(), 2u);
    EXPECT_EQ(t.config().liveQuestions().size(), 1u);
    EXPECT_EQ(t.config().wordFrequency().at("étoiles"), 2);
    EXPECT_FALSE(t.config().connectedStudents().contains("10.0.0.20"));

    // Without a name: "Anonyme" replaces the earlier name; without a peer
    // address: "0.0.0.0", and "?" in the journal.
    callRoute(handleLog, *t.context, logBody("question", "Qui est là ?", std::nullopt), "10.0.0.12");
    callRoute(handleLog, *t.context, logBody("question", "Au secours", "Max"), std::nullopt);
    const auto lines = t.journal();
    EXPECT_EQ(scanLines(lines).size(), 3u);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Question de Max (?): Au secours"), 1);
    EXPECT_EQ(t.config().connectedStudents().at("10.0.0.12"), "Anonyme");
    EXPECT_EQ(t.config().connectedStudents().at("0.0.0.0"), "Max");
    // The keyword alert carries the same address and the name sent with it.
    const auto alerts = t.config().safetyAlerts();
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0].ip, "0.0.0.0");
    EXPECT_EQ(alerts[0].displayName, "Max");
    EXPECT_EQ(alerts[0].text, "Au secours");
    EXPECT_TRUE(monitor->waitUntilIdle(std::chrono::seconds(60)));
}

TEST(ClassLog, JournalQuotesTheFirstEightyCharacters) {
    test::TestContext t;
    std::string text;
    for (int i = 0; i < 100; ++i) text += "é";
    callRoute(handleLog, *t.context, logBody("question", text, "Tom"));
    std::string expected;
    for (int i = 0; i < 80; ++i) expected += "é";
    EXPECT_EQ(t.journal(), std::vector<std::string>{"Question de Tom (10.0.0.5): " + expected});
}

TEST(ClassLog, SupervisionOffStillFeedsTheLiveData) {
    test::TestContext t;
    attachSafetyMonitor(t);
    callRoute(handleLog, *t.context, logBody("question", "Les volcans", "Tom"));
    EXPECT_EQ(scanLines(t.journal()).size(), 1u);
    EXPECT_EQ(t.config().liveQuestions().size(), 1u);
    EXPECT_EQ(t.config().wordFrequency(), (WordFrequency{{"volcans", 1}}));
    EXPECT_FALSE(std::filesystem::exists(logs(t)));
}

TEST(ClassLog, MalformedBodiesLeaveNoTrace) {
    for (const std::string body : {"", "pas du json", "[]", R"(["question","x"])", "{}", R"({"type":"question"})",
                                   R"({"text":"x"})", R"({"type":1,"text":"x"})", R"({"type":"question","text":2})"}) {
        test::TestContext t;
        attachSafetyMonitor(t);
        t.config().setIsSupervisionActive(true);
        t.config().setAppMode("establishment");
        auto reply = callRoute(handleLog, *t.context, body);
        EXPECT_EQ(reply.status, 200) << body;
        EXPECT_EQ(reply.body, "Logged") << body;
        EXPECT_EQ(t.queue->drain(), 0u) << body << ": nothing posted, not even a scan's journal line";
        EXPECT_FALSE(std::filesystem::exists(logs(t))) << body;
    }
}

TEST(ClassLog, EstablishmentStampsActivityForEveryRecord) {
    for (const std::string type : {"question", "answer", "note"}) {
        test::TestContext t;
        t.config().setAppMode("establishment");
        t.clock->set(kNow + 42);
        callRoute(handleLog, *t.context, logBody(type, "x", "Tom"));
        t.queue->drain();
        EXPECT_EQ(t.config().lastActivityTime(), kNow + 42) << type;
    }
    test::TestContext individual;
    callRoute(handleLog, *individual.context, logBody("question", "x", "Tom"));
    individual.queue->drain();
    EXPECT_EQ(individual.config().lastActivityTime(), 0);
}

TEST(ClassLog, LiveFeedKeepsTheNewestSixty) {
    test::TestContext t;
    for (int i = 0; i < 61; ++i) callRoute(handleLog, *t.context, logBody("question", "q" + std::to_string(i), "Tom"));
    t.queue->drain();
    const auto live = t.config().liveQuestions();
    ASSERT_EQ(live.size(), 60u);
    EXPECT_EQ(live.front().text, "q1");
    EXPECT_EQ(live.back().text, "q60");
}

TEST(ClassLog, BoundsOnWhatAnonymousPostsCanGrow) {
    test::TestContext t;
    WordFrequency full;
    for (size_t i = 0; i < kMaxWordTableSize; ++i) full["mot" + std::to_string(i)] = 1;
    t.config().setWordFrequency(full);
    addWordCounts(t.config(), {"nouveau", "mot7", "mot7"});
    EXPECT_EQ(t.config().wordFrequency().size(), kMaxWordTableSize);
    EXPECT_FALSE(t.config().wordFrequency().contains("nouveau"));
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
            callRoute(handleLog, *t.context, logBody(i % 2 ? "question" : "answer", "n" + std::to_string(i) + filler, "Tom"),
                      "10.0.0." + std::to_string(i));
        });
    }
    for (auto& thread : threads) thread.join();
    const auto content = readFile(logs(t) / kDayFile);
    ASSERT_TRUE(content.has_value());
    std::istringstream lines(*content);
    std::set<std::string> seen;
    std::string line;
    while (std::getline(lines, line)) {
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

}  // namespace
}  // namespace klarion
