#include "server/llm/safety_phrases.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>

#include "platform/text.h"

namespace klarion {
namespace {

struct PhraseCase {
    const char* what;
    std::string text;
    std::optional<std::string> expected;
};
void PrintTo(const PhraseCase& c, std::ostream* os) { *os << c.what; }

class SafetyPhraseMatch : public testing::TestWithParam<PhraseCase> {};

TEST_P(SafetyPhraseMatch, FindsTheFirstPhraseInListOrder) {
    const auto& c = GetParam();
    std::optional<std::string_view> found = findSafetyPhrase(c.text);
    std::optional<std::string> got = found ? std::optional<std::string>(std::string(*found)) : std::nullopt;
    EXPECT_EQ(got, c.expected) << c.what << ": " << c.text;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SafetyPhraseMatch,
    testing::Values(
        // Earlier and shorter entries win.
        PhraseCase{"stem inside a longer word, first in the list", "Je vais me suicider", "suicide"},
        PhraseCase{"shorter entry listed first", "Je veux mourir", "veux mourir"},
        PhraseCase{"entry inside a longer word", "Je joue du violon", "viol"},
        PhraseCase{"entry inside an ordinary sentence", "on a battu le record", "battu"},
        PhraseCase{"abus de langage", "un abus de langage", "abus"},
        // Case.
        PhraseCase{"upper case", "AU SECOURS", "au secours"},
        PhraseCase{"accented upper case", "TOUT ARRÊTER", "tout arrêter"},
        PhraseCase{"upper-case À", "À L'AIDE", "à l'aide"},
        PhraseCase{"stem with accent", "HARCÈLEMENT à l'école", "harcèl"},
        PhraseCase{"stem without accent", "on me harcelait", "harcel"},
        PhraseCase{"stem of self-harm", "automutilation", "automutil"},
        PhraseCase{"hyphenated entry", "Aidez-moi svp", "aidez-moi"},
        PhraseCase{"comma inside the entry", "j'en ai marre, la vie c'est dur", "marre, la vie"},
        // Characters must be the same.
        PhraseCase{"missing accent", "Je me deteste", std::nullopt},
        PhraseCase{"typographic apostrophes", "J\u2019ai besoin d\u2019aide", std::nullopt},
        PhraseCase{"ASCII apostrophes", "J'ai besoin d'aide", "j'ai besoin d'aide"},
        PhraseCase{"combining accent equals the precomposed letter", "Je me de\u0301teste", "je me déteste"},
        PhraseCase{"combining accent in upper case", "JE ME DE\u0301TESTE", "je me déteste"},
        PhraseCase{"accent on a letter the entry has bare", "il a battú", std::nullopt},
        // Nothing to find.
        PhraseCase{"empty text", "", std::nullopt},
        PhraseCase{"neutral question", "Quelle est la capitale de la France ?", std::nullopt},
        PhraseCase{"words split by a line break", "au\nsecours", std::nullopt},
        PhraseCase{"invalid UTF-8 around a phrase", "\xff" "au secours\xfe", "au secours"}));

TEST(SafetyPhrases, EveryEntryIsLowerCaseComposedAndUnique) {
    std::map<std::string_view, int> seen;
    for (std::string_view phrase : safetyPhrases) {
        EXPECT_EQ(lowercased(phrase), phrase);
        EXPECT_EQ(nfc(phrase), phrase);
        EXPECT_EQ(phrase.find("\u2019"), std::string_view::npos) << phrase;
        EXPECT_EQ(++seen[phrase], 1) << phrase;
    }
}

// An entry that holds an earlier entry is never the reported one: any text
// containing it contains the earlier entry, which is tested first. Every other
// entry reports itself, also when written in capitals.
TEST(SafetyPhrases, EachEntryReportsItselfUnlessAnEarlierEntryIsInsideIt) {
    const std::map<std::string_view, std::string_view> neverReported = {
        {"suicider", "suicide"},
        {"me suicider", "suicide"},
        {"je veux mourir", "veux mourir"},
        {"veux en finir", "en finir"},
        {"en finir avec la vie", "en finir"},
        {"en avoir marre de tout", "marre de tout"},
        {"me scarifier", "scarifi"},
        {"me couper les", "me couper"},
        {"je suis nulle", "je suis nul"},
        {"je suis battue", "je suis battu"},
        {"on abuse de moi", "abus"},
        {"violé", "viol"},
        {"violée", "viol"},
        {"je me fais harceler", "harcel"},
        {"fuguer", "fugue"},
    };
    ASSERT_EQ(safetyPhrases.size(), 120u);
    size_t shadowed = 0;
    for (std::string_view phrase : safetyPhrases) {
        auto it = neverReported.find(phrase);
        std::string_view expected = it == neverReported.end() ? phrase : it->second;
        shadowed += it != neverReported.end();
        EXPECT_EQ(findSafetyPhrase(phrase), expected);
        EXPECT_EQ(findSafetyPhrase("Bonjour, " + std::string(phrase) + " !"), expected);
    }
    EXPECT_EQ(shadowed, neverReported.size());
    EXPECT_EQ(findSafetyPhrase("JE VAIS LES TUER"), "je vais les tuer");
    EXPECT_EQ(findSafetyPhrase("Peur De Mon Père"), "peur de mon père");
}

}  // namespace
}  // namespace klarion
