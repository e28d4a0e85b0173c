#include "server/llm/safety_phrases.h"

#include "platform/text.h"

namespace klarion {

// Searched in this order; the first phrase found wins. Every entry is lower
// case and in composed form (NFC), with the ASCII apostrophe.
const std::array<std::string_view, 120> safetyPhrases = {
    "suicide", "suicider", "me suicider", "me tuer", "veux mourir", "je veux mourir",
    "envie de mourir", "envie de mourrir", "envie d'en finir", "en finir", "veux en finir",
    "en finir avec la vie", "tout arrêter", "marre de la vie", "marre de vivre", "marre, la vie",
    "marre de tout", "plus envie de vivre", "plus envie de rien", "plus goût à rien",
    "sert à rien de vivre", "la vie sert à rien", "la vie est trop dure", "la vie est nulle",
    "vie de merde", "vie de m", "à quoi bon", "mieux sans moi", "mieux si je disparais",
    "je veux disparaître", "je veux disparaitre", "disparaître pour toujours", "plus me réveiller",
    "dormir pour toujours", "en avoir marre de tout", "me faire du mal", "faire du mal à moi",
    "automutil", "auto-mutil", "scarifi", "me scarifier", "me couper", "me couper les",
    "me blesser", "me brûler", "me punir", "personne ne m'aime", "personne m'aime",
    "je me déteste", "je me hais", "je suis nul", "je suis nulle", "je sers à rien",
    "je suis inutile", "tout le monde me déteste", "je pleure tout le temps",
    "je suis seul au monde", "seul au monde", "j'ai envie de pleurer", "je n'en peux plus",
    "j'en peux plus", "on me frappe", "on me tape", "ils me frappent", "il me frappe",
    "on me tabasse", "on me bat", "je suis battu", "je suis battue", "battu", "on me maltraite",
    "maltraitance", "on me touche", "on m'a touché", "attouchement", "abus", "on abuse de moi",
    "viol", "violé", "violée", "j'ai peur de rentrer", "peur de rentrer", "peur à la maison",
    "peur de mon père", "peur de ma mère", "j'ai peur chez moi", "harcel", "harcèl",
    "je me fais harceler", "on se moque de moi", "on me rejette", "souffre-douleur",
    "bouc émissaire", "fugue", "fuguer", "je veux partir de chez moi", "partir loin",
    "menace de mort", "tuer quelqu'un", "je vais le tuer", "je vais la tuer", "je vais les tuer",
    "faire du mal à", "faire du mal aux autres", "tout faire exploser", "attaquer l'école",
    "attentat", "fusillade", "amener une arme", "apporter une arme", "arme à l'école", "flingue",
    "me venger", "vengeance", "leur faire payer", "à l'aide", "au secours", "aidez-moi",
    "j'ai besoin d'aide", "help me",
};

std::optional<std::string_view> findSafetyPhrase(std::string_view text) {
    // Lower-cased, then put in composed form so that a letter typed as a base
    // letter plus a combining accent finds the precomposed entry (canonically
    // equivalent texts are equal).
    const std::string lowered = nfc(lowercased(text));
    for (std::string_view phrase : safetyPhrases)
        if (lowered.find(phrase) != std::string::npos) return phrase;
    return std::nullopt;
}

}  // namespace klarion
