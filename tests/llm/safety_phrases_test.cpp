// The keyword scan's phrases: what a question matches, and which entries can never be reported.
#include "server/llm/safety_phrases.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>

namespace klarion {
namespace {

TEST(SafetyPhrases, FindTheFirstPhraseInListOrder) {
    const std::vector<std::pair<std::string, std::optional<std::string_view>>> cases = {
        // Earlier and shorter entries win, also inside longer words.
        {"Je vais me suicider", "suicide"},
        {"Je veux mourir", "veux mourir"},
        {"Je joue du violon", "viol"},
        {"on a battu le record", "battu"},
        // Case, accents, hyphens and commas.
        {"AU SECOURS", "au secours"},
        {"TOUT ARRÊTER", "tout arrêter"},
        {"À L'AIDE", "à l'aide"},
        {"HARCÈLEMENT à l'école", "harcèl"},
        {"on me harcelait", "harcel"},
        {"Aidez-moi svp", "aidez-moi"},
        {"j'en ai marre, la vie c'est dur", "marre, la vie"},
        // The characters must be the same: ASCII apostrophes only, accents as written.
        {"J\u2019ai besoin d\u2019aide", std::nullopt},
        {"J'ai besoin d'aide", "j'ai besoin d'aide"},
        {"Je me deteste", std::nullopt},
        {"il a battú", std::nullopt},
        // A combining accent equals the precomposed letter.
        {"JE ME DE\u0301TESTE", "je me déteste"},
        {"", std::nullopt},
        {"Quelle est la capitale de la France ?", std::nullopt},
        {"au\nsecours", std::nullopt},
        {"\xff"
         "au secours\xfe",
         "au secours"},  // invalid UTF-8 around a phrase
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(findSafetyPhrase(text), expected) << text;
}

// An entry that holds an earlier entry is never the reported one: any text containing it
// contains the earlier entry, which is tested first. Every other entry reports itself.
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
        const auto it = neverReported.find(phrase);
        const std::string_view expected = it == neverReported.end() ? phrase : it->second;
        shadowed += it != neverReported.end();
        EXPECT_EQ(findSafetyPhrase("Bonjour, " + std::string(phrase) + " !"), expected);
    }
    EXPECT_EQ(shadowed, neverReported.size());
    EXPECT_EQ(findSafetyPhrase("Peur De Mon Père"), "peur de mon père");
}

}  // namespace
}  // namespace klarion
