#include "server/llm/safety_verdict.h"

#include <gtest/gtest.h>

#include "platform/json.h"
#include "platform/text.h"

namespace klarion {
namespace {

TEST(SafetyRequest, PromptHas526Characters) {
    EXPECT_EQ(characterCount(safetyFilterPrompt), 526u);
    EXPECT_TRUE(safetyFilterPrompt.starts_with("Tu es un filtre de sécurité scolaire. On te donne UN message"));
    EXPECT_TRUE(safetyFilterPrompt.ends_with("une question scolaire ou une expression banale."));
    EXPECT_NE(safetyFilterPrompt.find(R"({"danger": true|false, "motif": "..."})"), std::string_view::npos);
    EXPECT_EQ(safetyFilterPrompt.find("  "), std::string_view::npos);
    EXPECT_EQ(safetyFilterPrompt.find("\u00a0"), std::string_view::npos);
}

TEST(SafetyRequest, BodyHasExactlyTheFourKeys) {
    const std::string question = "  Je veux mourir\n\"vraiment\"  ";
    auto body = parseJsonObject(buildSafetyRequestBody(question));
    ASSERT_TRUE(body);
    EXPECT_EQ(body->size(), 4u);
    EXPECT_FALSE(body->contains("model"));
    EXPECT_EQ((*body)["stream"], false);
    EXPECT_TRUE((*body)["temperature"].is_number());
    EXPECT_EQ((*body)["temperature"].get<double>(), 0.0);
    EXPECT_TRUE((*body)["max_tokens"].is_number_integer());
    EXPECT_EQ((*body)["max_tokens"], 200);
    const Json& messages = (*body)["messages"];
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], (Json{{"role", "system"}, {"content", std::string(safetyFilterPrompt)}}));
    EXPECT_EQ(messages[1], (Json{{"role", "user"}, {"content", question}}));
}

struct ContentCase {
    const char* what;
    std::string reply;
    std::optional<std::string> content;
};
void PrintTo(const ContentCase& c, std::ostream* os) { *os << c.what; }

class SafetyReplyContent : public testing::TestWithParam<ContentCase> {};

TEST_P(SafetyReplyContent, ReadsTheFirstChoicesMessage) {
    EXPECT_EQ(safetyReplyContent(GetParam().reply), GetParam().content) << GetParam().what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SafetyReplyContent,
    testing::Values(
        ContentCase{"chat completion",
                    R"({"id":"x","choices":[{"index":0,"message":{"role":"assistant","content":"ok"}}],"usage":{}})",
                    "ok"},
        ContentCase{"empty content", R"({"choices":[{"message":{"content":""}}]})", ""},
        ContentCase{"second choice ignored", R"({"choices":[{"message":{"content":"a"}},{"message":{}}]})", "a"},
        ContentCase{"an error body", R"({"error":"context length exceeded"})", std::nullopt},
        ContentCase{"not JSON", "Internal Server Error", std::nullopt},
        ContentCase{"empty", "", std::nullopt},
        ContentCase{"top-level list", R"([{"choices":[{"message":{"content":"a"}}]}])", std::nullopt},
        ContentCase{"empty choices", R"({"choices":[]})", std::nullopt},
        ContentCase{"choices not a list", R"({"choices":{"message":{"content":"a"}}})", std::nullopt},
        ContentCase{"a choice that is no object", R"({"choices":[{"message":{"content":"a"}},3]})", std::nullopt},
        ContentCase{"message not an object", R"({"choices":[{"message":"a"}]})", std::nullopt},
        ContentCase{"content not a string", R"({"choices":[{"message":{"content":5}}]})", std::nullopt},
        ContentCase{"content null", R"({"choices":[{"message":{"content":null}}]})", std::nullopt}));

struct VerdictCase {
    const char* what;
    std::string content;
    SafetyVerdict expected;
};
void PrintTo(const VerdictCase& c, std::ostream* os) { *os << c.what; }

class SafetyVerdictReading : public testing::TestWithParam<VerdictCase> {};

TEST_P(SafetyVerdictReading, ReadsLeniently) {
    const auto& c = GetParam();
    SafetyVerdict got = readSafetyVerdict(c.content);
    EXPECT_EQ(got.danger, c.expected.danger) << c.what;
    EXPECT_EQ(got.motif, c.expected.motif) << c.what;
    EXPECT_EQ(got.usable, c.expected.usable) << c.what;
}

const SafetyVerdict dangerous{true, "", true};
const SafetyVerdict harmless{false, "", true};
const SafetyVerdict unusable{false, "", false};

INSTANTIATE_TEST_SUITE_P(
    Objects, SafetyVerdictReading,
    testing::Values(
        VerdictCase{"object", R"({"danger": true, "motif": "harcèlement grave"})", {true, "harcèlement grave", true}},
        VerdictCase{"embedded object", R"(Voici mon analyse : {"danger": false, "motif": "humour"} Merci.)",
                    {false, "humour", true}},
        VerdictCase{"inside a list", R"([{"danger": true}])", dangerous},
        VerdictCase{"motif of another type", R"({"danger": true, "motif": 5})", dangerous},
        VerdictCase{"string Oui", R"({"danger": "Oui"})", dangerous},
        VerdictCase{"string VRAI", R"({"danger": "VRAI"})", dangerous},
        VerdictCase{"string 1", R"({"danger": "1"})", dangerous},
        VerdictCase{"string true", R"({"danger": "true"})", dangerous},
        VerdictCase{"string with a blank", R"({"danger": "yes "})", harmless},
        VerdictCase{"string non", R"({"danger": "non"})", harmless},
        VerdictCase{"whole number", R"({"danger": 2})", dangerous},
        VerdictCase{"negative whole number", R"({"danger": -1})", dangerous},
        VerdictCase{"zero", R"({"danger": 0})", harmless},
        VerdictCase{"whole number written with a fraction", R"({"danger": 2.0})", dangerous},
        VerdictCase{"fraction", R"({"danger": 0.9})", harmless},
        VerdictCase{"null", R"({"danger": null})", harmless},
        VerdictCase{"list", R"({"danger": [true]})", harmless},
        VerdictCase{"object", R"({"danger": {"value": true}})", harmless},
        VerdictCase{"false with motif", R"({"danger": false, "motif": "question scolaire"})",
                    {false, "question scolaire", true}}));

INSTANTIATE_TEST_SUITE_P(
    Words, SafetyVerdictReading,
    testing::Values(
        VerdictCase{"empty object: no danger key, no word", "{}", unusable},
        VerdictCase{"words yes", "DANGER : OUI", dangerous},
        VerdictCase{"first group found inside a word", "danger : false (vraisemblablement une blague)", dangerous},
        VerdictCase{"words no", "danger: non", harmless},
        VerdictCase{"aucun", "Aucun danger ici.", harmless},
        VerdictCase{"no danger word", "Tout va bien, true.", unusable},
        VerdictCase{"danger word alone", "danger ?", unusable},
        VerdictCase{"empty", "", unusable},
        VerdictCase{"only blanks and line breaks", " \n\t\r\n ", unusable},
        VerdictCase{"braces in the wrong order", R"(} "danger": true {)", dangerous},
        VerdictCase{"two objects make no JSON", R"({"danger": false} puis {"danger": true})", dangerous},
        VerdictCase{"key with another case", R"({"Danger": false, "motif": "x"})", harmless},
        VerdictCase{"object without danger, words", R"({"motif": "x"} danger false)", harmless},
        VerdictCase{"broken JSON", R"({"danger": tru)", unusable}));

}  // namespace
}  // namespace klarion
