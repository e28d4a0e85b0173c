// The AI safety verdict: the request LM Studio gets, and the lenient reading of its answer.
#include "server/llm/safety_verdict.h"

#include <gtest/gtest.h>

#include "platform/json.h"
#include "platform/text.h"

namespace klarion {
namespace {

TEST(SafetyRequest, CarriesThePromptAndTheQuestionAsReceived) {
    EXPECT_EQ(characterCount(safetyFilterPrompt), 526u);
    EXPECT_TRUE(safetyFilterPrompt.starts_with("Tu es un filtre de sécurité scolaire. On te donne UN message"));
    EXPECT_TRUE(safetyFilterPrompt.ends_with("une question scolaire ou une expression banale."));
    EXPECT_NE(safetyFilterPrompt.find(R"({"danger": true|false, "motif": "..."})"), std::string_view::npos);
    const std::string question = "  Je veux mourir\n\"vraiment\"  ";
    const auto body = parseJsonObject(buildSafetyRequestBody(question));
    ASSERT_TRUE(body);
    EXPECT_EQ(*body,
              (Json{{"messages", Json::array({Json{{"role", "system"}, {"content", std::string(safetyFilterPrompt)}},
                                              Json{{"role", "user"}, {"content", question}}})},
                    {"stream", false},
                    {"temperature", 0.0},
                    {"max_tokens", 200}}));
    EXPECT_TRUE((*body)["max_tokens"].is_number_integer());
}

TEST(SafetyReply, ContentIsTheFirstChoicesMessage) {
    const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
        {R"({"id":"x","choices":[{"index":0,"message":{"role":"assistant","content":"ok"}}],"usage":{}})", "ok"},
        {R"({"choices":[{"message":{"content":""}}]})", ""},
        {R"({"choices":[{"message":{"content":"a"}},{"message":{}}]})", "a"},
        {R"({"error":"context length exceeded"})", std::nullopt},
        {"Internal Server Error", std::nullopt},
        {"", std::nullopt},
        {R"([{"choices":[{"message":{"content":"a"}}]}])", std::nullopt},
        {R"({"choices":[]})", std::nullopt},
        {R"({"choices":{"message":{"content":"a"}}})", std::nullopt},
        {R"({"choices":[{"message":{"content":"a"}},3]})", std::nullopt},
        {R"({"choices":[{"message":"a"}]})", std::nullopt},
        {R"({"choices":[{"message":{"content":5}}]})", std::nullopt},
        {R"({"choices":[{"message":{"content":null}}]})", std::nullopt},
    };
    for (const auto& [reply, content] : cases) EXPECT_EQ(safetyReplyContent(reply), content) << reply;
}

TEST(SafetyVerdictReading, ReadsObjectsLenientlyThenWords) {
    const SafetyVerdict dangerous{true, "", true}, harmless{false, "", true}, unusable{false, "", false};
    const std::vector<std::pair<std::string, SafetyVerdict>> cases = {
        // A JSON object, alone or among words.
        {R"({"danger": true, "motif": "harcèlement grave"})", {true, "harcèlement grave", true}},
        {R"(Voici mon analyse : {"danger": false, "motif": "humour"} Merci.)", {false, "humour", true}},
        {R"([{"danger": true}])", dangerous},
        {R"({"danger": true, "motif": 5})", dangerous},
        // "danger" as a string, a number or anything else.
        {R"({"danger": "Oui"})", dangerous},
        {R"({"danger": "VRAI"})", dangerous},
        {R"({"danger": "1"})", dangerous},
        {R"({"danger": "true"})", dangerous},
        {R"({"danger": "yes "})", harmless},
        {R"({"danger": "non"})", harmless},
        {R"({"danger": 2})", dangerous},
        {R"({"danger": -1})", dangerous},
        {R"({"danger": 0})", harmless},
        {R"({"danger": 2.0})", dangerous},
        {R"({"danger": 0.9})", harmless},
        {R"({"danger": null})", harmless},
        {R"({"danger": [true]})", harmless},
        {R"({"danger": {"value": true}})", harmless},
        // Words.
        {"{}", unusable},
        {"DANGER : OUI", dangerous},
        {"danger : false (vraisemblablement une blague)", dangerous},  // the first group found, inside a word
        {"danger: non", harmless},
        {"Aucun danger ici.", harmless},
        {"Tout va bien, true.", unusable},
        {"danger ?", unusable},
        {"", unusable},
        {" \n\t\r\n ", unusable},
        {R"(} "danger": true {)", dangerous},
        {R"({"danger": false} puis {"danger": true})", dangerous},  // two objects make no JSON
        {R"({"Danger": false, "motif": "x"})", harmless},
        {R"({"motif": "x"} danger false)", harmless},
        {R"({"danger": tru)", unusable},
    };
    for (const auto& [content, expected] : cases) {
        const SafetyVerdict got = readSafetyVerdict(content);
        EXPECT_EQ(got, expected) << content << " read as danger=" << got.danger << " motif=" << got.motif
                                 << " usable=" << got.usable;
    }
}

}  // namespace
}  // namespace klarion
