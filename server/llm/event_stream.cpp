#include "server/llm/event_stream.h"

#include <exception>
#include <utility>

namespace klarion {

namespace {

constexpr std::string_view kChunkPrefix = R"(data: {"choices":[{"delta":{"content":")";
constexpr std::string_view kChunkSuffix = "\"}}]}\n\ndata: [DONE]\n\n";

// The texts as they stand inside the JSON string ("\\n" is the JSON escape).
constexpr std::string_view kAiPausedText =
    "\\n\\n⏸️ **IA en pause :** Votre enseignant a temporairement suspendu l'IA. Veuillez lever les yeux "
    "vers le tableau !";
constexpr std::string_view kRequestInProgressText = "⏳ **Patience !** Tu as déjà une requête en cours.";
constexpr std::string_view kEmptyMessageText = "⚠️ Message vide ou invalide.";
constexpr std::string_view kInternalErrorText = "⚠️ Erreur interne.";
constexpr std::string_view kProxyErrorText =
    "\\n\\n⚠️ **Erreur Proxy :** Le serveur IA (LM Studio) est inaccessible. Veuillez prévenir votre "
    "enseignant.";

}  // namespace

std::string eventStreamChunk(std::string_view jsonEscapedText) {
    std::string chunk;
    chunk.reserve(kChunkPrefix.size() + jsonEscapedText.size() + kChunkSuffix.size());
    chunk += kChunkPrefix;
    chunk += jsonEscapedText;
    chunk += kChunkSuffix;
    return chunk;
}

std::string_view sseAiPausedBytes() {
    static const std::string c = eventStreamChunk(kAiPausedText);
    return c;
}
std::string_view sseRequestInProgressBytes() {
    static const std::string c = eventStreamChunk(kRequestInProgressText);
    return c;
}
std::string_view sseEmptyMessageBytes() {
    static const std::string c = eventStreamChunk(kEmptyMessageText);
    return c;
}
std::string_view sseInternalErrorBytes() {
    static const std::string c = eventStreamChunk(kInternalErrorText);
    return c;
}
std::string_view proxyErrorChunkBytes() {
    static const std::string c = eventStreamChunk(kProxyErrorText);
    return c;
}

bool writeIgnoringFailure(HttpResponseBodyWriter& writer, std::string_view bytes) {
    try {
        writer.write(bytes);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

void sseAiPaused(HttpResponseBodyWriter& writer) { writeIgnoringFailure(writer, sseAiPausedBytes()); }
void sseRequestInProgress(HttpResponseBodyWriter& writer) { writeIgnoringFailure(writer, sseRequestInProgressBytes()); }
void sseEmptyMessage(HttpResponseBodyWriter& writer) { writeIgnoringFailure(writer, sseEmptyMessageBytes()); }
void sseInternalError(HttpResponseBodyWriter& writer) { writeIgnoringFailure(writer, sseInternalErrorBytes()); }

HttpResponse eventStreamResponse(HttpBodyWriterFn writer) {
    return HttpResponse::raw(200, "OK", HttpHeaders{{"Content-Type", "text/event-stream"}}, std::move(writer));
}

HttpResponse cannedEventStream(std::string_view chunk) {
    return eventStreamResponse([chunk](HttpResponseBodyWriter& writer) { writeIgnoringFailure(writer, chunk); });
}

}  // namespace klarion
