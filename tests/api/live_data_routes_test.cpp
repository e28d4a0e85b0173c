// The live class data routes: word cloud, students, live feed, safety alerts
// and their acknowledgement.
#include <gtest/gtest.h>

#include "server/api/live_data_routes.h"
#include "tests/api/api_test_support.h"

namespace klarion {
namespace {

using test::callRoute;

SafetyAlert alert(const std::string& id, const std::string& level, double time, bool ack = false) {
    return SafetyAlert{id, "Léa", "10.0.0.9", "texte " + id, "raison " + id, level, time, ack};
}

Json listFrom(test::TestContext& t, HttpResponse (*handler)(const ClassroomContext&, HttpRequest&)) {
    const auto reply = callRoute(handler, *t.context, t.pinBody());
    EXPECT_EQ(reply.contentType, "application/json");
    return Json::parse(reply.body);
}

TEST(LiveDataRoutes, OrderAndLimits) {
    test::TestContext t;
    for (auto handler : {handleKeywords, handleStudents, handleLiveFeed, handleSafetyAlerts}) {
        EXPECT_EQ(listFrom(t, handler), Json::array());
    }

    WordFrequency words;
    for (int i = 0; i < 31; ++i) words["mot" + std::to_string(100 + i)] = 100 - i;  // mot130 has the lowest count
    t.config().setWordFrequency(words);
    auto list = listFrom(t, handleKeywords);
    ASSERT_EQ(list.size(), 30u);
    EXPECT_EQ(list[0], (Json{{"text", "mot100"}, {"size", 100}}));
    for (size_t i = 1; i < list.size(); ++i) EXPECT_GE(list[i - 1]["size"], list[i]["size"]);
    EXPECT_EQ(list[29]["text"], "mot129");

    std::vector<LiveQuestion> questions;
    for (int i = 0; i < 70; ++i) {
        questions.push_back({"ID" + std::to_string(i), "Tom", "10.0.0.5", "q" + std::to_string(i), 1000.0 + i});
    }
    t.config().setLiveQuestions(questions);
    list = listFrom(t, handleLiveFeed);
    ASSERT_EQ(list.size(), 60u);
    EXPECT_EQ(list.front(), (Json{{"name", "Tom"}, {"text", "q69"}, {"time", 1069.0}}));
    EXPECT_EQ(list.back()["text"], "q10");

    std::vector<SafetyAlert> alerts;
    for (int i = 0; i < 40; ++i) {
        alerts.push_back(alert("ID-" + std::to_string(i), i % 4 == 0 ? "dismissed" : (i % 2 ? "keyword" : "confirmed"),
                               2000.0 + i, i == 38));
    }
    t.config().setSafetyAlerts(alerts);
    list = listFrom(t, handleSafetyAlerts);
    ASSERT_EQ(list.size(), 30u);
    EXPECT_EQ(list[0], (Json{{"id", "ID-39"}, {"name", "Léa"}, {"text", "texte ID-39"}, {"reason", "raison ID-39"},
                             {"level", "keyword"}, {"time", 2039.0}, {"ack", false}}));
    EXPECT_EQ(list[1], (Json{{"id", "ID-38"}, {"name", "Léa"}, {"text", "texte ID-38"}, {"reason", "raison ID-38"},
                             {"level", "confirmed"}, {"time", 2038.0}, {"ack", true}}));
    for (const auto& entry : list) EXPECT_NE(entry["level"], "dismissed");
}

TEST(LiveDataRoutes, StudentsWithDisambiguatedNames) {
    test::TestContext t;
    t.config().setConnectedStudents({{"10.0.0.9", "Léa"}, {"10.0.0.12", "Léa"}, {"10.0.0.5", "Tom"},
                                     {"10.0.0.7", "Le\xCC\x81" "a"}});  // "Léa" with a combining accent
    std::map<std::string, std::string> shown;
    for (const auto& entry : listFrom(t, handleStudents)) shown[entry["ip"]] = entry["name"];
    EXPECT_EQ(shown, (std::map<std::string, std::string>{{"10.0.0.12", "Léa"},
                                                         {"10.0.0.5", "Tom"},
                                                         {"10.0.0.7", "Le\xCC\x81" "a (2)"},
                                                         {"10.0.0.9", "Léa (3)"}}));
    EXPECT_EQ(studentEntry("10.0.0.99", t.config().connectedStudents())["name"], "Anonyme");
}

TEST(LiveDataRoutes, AcknowledgeMarksTheExactIdOnTheMainQueue) {
    const std::string id = "0F8FAD5B-D9CB-469F-A165-70867728950E";
    std::string lower = id;
    for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    test::TestContext t;
    t.config().setSafetyAlerts({alert("OTHER", "keyword", 1), alert(id, "confirmed", 2), alert(id, "keyword", 3)});

    for (const std::string& sent : {lower, id}) {  // lower case matches nothing; the reply is the same
        auto reply = callRoute(handleAckAlert, *t.context, t.pinBody(R"("id":")" + sent + "\""));
        EXPECT_EQ(reply.body, R"({"success":true})");
        EXPECT_EQ(reply.contentType, "application/json");
        EXPECT_FALSE(t.config().safetyAlerts()[1].acknowledged) << "applied only on the main queue";
        t.queue->drain();
        EXPECT_EQ(t.config().safetyAlerts()[1].acknowledged, sent == id);
    }
    const auto alerts = t.config().safetyAlerts();
    EXPECT_FALSE(alerts[0].acknowledged);
    EXPECT_TRUE(alerts[1].acknowledged);
    EXPECT_EQ(alerts[1].level, "confirmed");
    EXPECT_FALSE(alerts[2].acknowledged) << "only the first match";

    // Ids travel in upper case whatever their stored form.
    t.config().setSafetyAlerts({alert("ab-cd", "keyword", 4)});
    EXPECT_EQ(listFrom(t, handleSafetyAlerts)[0]["id"], "AB-CD");
    callRoute(handleAckAlert, *t.context, t.pinBody(R"("id":"AB-CD")"));
    t.queue->drain();
    EXPECT_TRUE(t.config().safetyAlerts()[0].acknowledged);

    EXPECT_EQ(callRoute(handleAckAlert, *t.context, t.pinBody()).status, 401) << "no id";
    EXPECT_EQ(callRoute(handleAckAlert, *t.context, t.pinBody(R"("id":7)")).status, 401) << "id not a string";
}

}  // namespace
}  // namespace klarion
