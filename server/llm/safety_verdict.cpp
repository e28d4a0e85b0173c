#include "server/llm/safety_verdict.h"

#include <array>
#include <cmath>

#include "platform/json.h"
#include "platform/text.h"

namespace klarion {

const std::string_view safetyFilterPrompt =
    "Tu es un filtre de sécurité scolaire. On te donne UN message d'élève. Détermine s'il indique un "
    "danger RÉEL pour l'élève ou un camarade : détresse psychologique sérieuse, lassitude de vivre ou "
    "idées suicidaires, automutilation, violence subie ou menacée, maltraitance, harcèlement grave. "
    "Réponds UNIQUEMENT par un objet JSON, sans texte autour : {\"danger\": true|false, \"motif\": "
    "\"...\"}. 'motif' = 6 mots maximum, en français. Ne sois pas alarmiste pour de l'humour, un jeu "
    "vidéo, une question scolaire ou une expression banale.";

std::string buildSafetyRequestBody(std::string_view questionText) {
    Json body = Json::object();
    body["messages"] = Json::array({
        Json{{"role", "system"}, {"content", std::string(safetyFilterPrompt)}},
        Json{{"role", "user"}, {"content", std::string(questionText)}},
    });
    body["stream"] = false;
    body["temperature"] = 0.0;
    body["max_tokens"] = 200;
    return dumpJson(body);
}

std::optional<std::string> safetyReplyContent(std::string_view replyBytes) {
    auto reply = parseJsonObject(replyBytes);
    if (!reply) return std::nullopt;
    const Json* choices = readArray(*reply, "choices");
    if (!choices || choices->empty()) return std::nullopt;
    for (const Json& choice : *choices)
        if (!choice.is_object()) return std::nullopt;  // a list of objects, every one
    const Json* message = readObject(choices->front(), "message");
    if (!message) return std::nullopt;
    return readString(*message, "content");
}

namespace {

bool dangerFromJson(const Json& value) {
    if (value.is_boolean()) return value.get<bool>();
    if (value.is_string()) {
        static constexpr std::array<std::string_view, 5> yes = {"true", "1", "oui", "yes", "vrai"};
        std::string lowered = lowercased(value.get<std::string>());
        for (std::string_view word : yes)
            if (lowered == word) return true;
        return false;
    }
    // A whole number (also written with a fraction of zero, as 2.0) counts
    // when it is not 0; any other number, null, a list or an object is false.
    if (auto whole = jsonInt64(value)) return *whole != 0;
    return false;
}

bool containsAny(const std::string& text, std::initializer_list<std::string_view> words) {
    for (std::string_view word : words)
        if (text.find(word) != std::string::npos) return true;
    return false;
}

}  // namespace

SafetyVerdict readSafetyVerdict(std::string_view content) {
    size_t open = content.find('{');
    size_t close = content.rfind('}');
    if (open != std::string_view::npos && close != std::string_view::npos && close >= open) {
        auto object = parseJsonObject(content.substr(open, close - open + 1));
        if (object) {
            if (const Json* danger = jsonMember(*object, "danger")) {
                return SafetyVerdict{dangerFromJson(*danger), readString(*object, "motif").value_or(""), true};
            }
        }
    }

    std::string trimmed = trimWhitespaceAndNewlines(content);
    if (trimmed.empty()) return SafetyVerdict{false, "", false};
    std::string lowered = lowercased(trimmed);
    if (lowered.find("danger") != std::string::npos) {
        if (containsAny(lowered, {"true", "oui", "vrai"})) return SafetyVerdict{true, "", true};
        if (containsAny(lowered, {"false", "non", "aucun"})) return SafetyVerdict{false, "", true};
    }
    return SafetyVerdict{false, "", false};
}

}  // namespace klarion
