#include "server/llm/chat_proxy.h"

#include "platform/numbers.h"

#include <charconv>
#include <cmath>
#include <exception>
#include <utility>

#include "platform/text.h"
#include "server/llm/event_stream.h"
#include "server/llm/system_prompt.h"

namespace klarion {

namespace {

constexpr std::size_t kLoggedMessageCharacters = 60;

bool isListOfObjects(const Json& value) {
    if (!value.is_array()) return false;
    for (const Json& element : value) {
        if (!element.is_object()) return false;
    }
    return true;
}

Json message(std::string role, Json content) {
    Json m = Json::object();
    m.get_ref<Json::object_t&>().reserve(2);
    m["role"] = std::move(role);
    m["content"] = std::move(content);
    return m;
}

// The usable entries among the last kChatHistoryLimit of `history`, oldest first.
void appendHistory(Json& messages, const Json& body) {
    const Json* history = readArray(body, "history");
    if (history == nullptr || !isListOfObjects(*history)) return;
    const std::size_t count = history->size();
    const std::size_t first = count > kChatHistoryLimit ? count - kChatHistoryLimit : 0;
    for (std::size_t i = first; i < count; ++i) {
        const Json& entry = (*history)[i];
        const auto role = readString(entry, "role");
        if (!role || (*role != "user" && *role != "assistant")) continue;
        const Json* content = jsonMember(entry, "content");
        if (content == nullptr) continue;
        if (content->is_string() || isListOfObjects(*content)) messages.push_back(message(*role, *content));
    }
}

// The user's content: the text, or an image part then a text part.
Json userContent(const Json& body, const std::string& userMessage) {
    const Json* image = readObject(body, "image");
    if (image != nullptr) {
        const auto base64 = readString(*image, "base64");
        const auto mimeType = readString(*image, "mimeType");
        if (base64 && mimeType) {
            Json url = Json::object();
            url["url"] = "data:" + *mimeType + ";base64," + *base64;
            Json imagePart = Json::object();
            imagePart["type"] = "image_url";
            imagePart["image_url"] = std::move(url);
            Json textPart = Json::object();
            textPart["type"] = "text";
            textPart["text"] = userMessage;
            return Json::array({std::move(imagePart), std::move(textPart)});
        }
    }
    return Json(userMessage);
}

bool parametersAreNumbers(const AppConfigValues& s) {
    for (double v : {s.temperature, s.topP, s.frequencyPenalty, s.presencePenalty, s.repeatPenalty}) {
        if (!std::isfinite(v)) return false;
    }
    return true;
}

// The last bytes relayed, enough to tell whether the stream stopped at the end
// of an event ("\n\n"), at the end of a line ("\n") or inside a line.
class StreamTail {
public:
    void add(std::string_view bytes) {
        for (char c : bytes.size() > 2 ? bytes.substr(bytes.size() - 2) : bytes) {
            tail_[0] = tail_[1];
            tail_[1] = c;
            ++seen_;
        }
    }
    // What must come before a new event so that it starts on its own.
    std::string_view separator() const {
        if (seen_ == 0) return {};
        if (tail_[1] != '\n') return "\n\n";
        if (seen_ == 1 || tail_[0] != '\n') return "\n";
        return {};
    }

private:
    char tail_[2] = {0, 0};
    std::size_t seen_ = 0;
};

}  // namespace

Json buildChatMessages(const std::string& systemPrompt, const Json& body, const std::string& userMessage) {
    Json messages = Json::array();
    messages.push_back(message("system", systemPrompt));
    appendHistory(messages, body);
    messages.push_back(message("user", userContent(body, userMessage)));
    return messages;
}

Json buildChatRequest(const AppConfigValues& settings, Json messages) {
    Json request = Json::object();
    // Room for every member at once: growing would copy the messages each time.
    request.get_ref<Json::object_t&>().reserve(10);
    request["messages"] = std::move(messages);
    request["stream"] = true;
    request["temperature"] = settings.temperature;
    request["top_p"] = settings.topP;
    request["frequency_penalty"] = settings.frequencyPenalty;
    request["presence_penalty"] = settings.presencePenalty;
    request["max_tokens"] = settings.maxTokens;
    request["repeat_penalty"] = settings.repeatPenalty;
    if (settings.useSeed) request["seed"] = settings.seedValue;
    const std::string model = trimWhitespaceAndNewlines(settings.lmLoadedModelId);
    if (!model.empty()) request["model"] = model;
    return request;
}

std::string chatParametersLogLine(const AppConfigValues& s) {
    const std::string model = trimWhitespaceAndNewlines(s.lmLoadedModelId);
    return "→ LM Studio : model=" + (model.empty() ? std::string("(défaut)") : model) +
           " temp=" + decimalText(s.temperature) + " top_p=" + decimalText(s.topP) +
           " freq=" + decimalText(s.frequencyPenalty) + " pres=" + decimalText(s.presencePenalty) +
           " repeat=" + decimalText(s.repeatPenalty) + " max_tokens=" + std::to_string(s.maxTokens) +
           " seed=" + (s.useSeed ? std::to_string(s.seedValue) : std::string("off"));
}

void streamChatResponse(HttpResponseBodyWriter& writer, std::string_view requestBytes, const LmStudioClient& lmStudio,
                        ChatStreamTicket& ticket, const LmStudioClient::StopCheck& serverStopping) {
    StreamTail tail;
    bool clientGone = false;
    const LmStudioClient::ChunkSink sink = [&](std::string_view bytes) {
        try {
            writer.write(bytes);
        } catch (...) {
            clientGone = true;  // nobody to relay to any more
            return false;
        }
        tail.add(bytes);
        return true;
    };

    LmStreamResult result;
    try {
        result = lmStudio.streamChatCompletion(requestBytes, sink, lmStudio.timeouts().streamIdle, serverStopping);
    } catch (...) {
        result.error = LmTransportError::Other;
    }

    const bool answeredBadly = result.status < 200 || result.status > 299;
    const bool gaveUp = result.error == LmTransportError::Aborted;  // nobody left to tell
    if (!clientGone && !gaveUp && (result.transportFailed() || answeredBadly)) {
        std::string closing(tail.separator());
        closing += proxyErrorChunkBytes();
        writeIgnoringFailure(writer, closing);
    }
    ticket.release();
}

std::string ChatProxy::requestText(const Json& request, const std::string& systemPrompt) const {
    // The request begins with its messages, the system message first: its
    // empty content is where the prompt's text goes.
    constexpr std::string_view kOpening = R"({"messages":[{"role":"system","content":"")";
    std::string text = dumpJson(request);
    if (!text.starts_with(kOpening)) {
        Json whole = request;
        whole["messages"][0]["content"] = systemPrompt;
        return dumpJson(whole);
    }
    std::string promptJson;
    {
        std::lock_guard<std::mutex> lock(promptText_->mutex);
        if (promptText_->json.empty() || promptText_->prompt != systemPrompt) {
            promptText_->prompt = systemPrompt;
            promptText_->json = dumpJson(Json(systemPrompt));
        }
        promptJson = promptText_->json;
    }
    text.replace(kOpening.size() - 2, 2, promptJson);
    return text;
}

ChatProxy::ChatProxy(Dependencies deps) : deps_(std::move(deps)) {
    if (!deps_.rateLimiter) deps_.rateLimiter = RateLimiter::shared();
    if (!deps_.lmStudio) deps_.lmStudio = std::make_shared<const LmStudioClient>();
}

HttpResponse ChatProxy::handleChat(const HttpRequest& request) const {
    const StateContext& state = deps_.state;
    const AppConfigValues settings = state.config->settingsSnapshot();
    if (settings.isAiPaused) return cannedEventStream(sseAiPausedBytes());

    const std::string key = request.clientAddress();
    if (!deps_.rateLimiter->tryAcquire(key)) return cannedEventStream(sseRequestInProgressBytes());
    // From here the slot belongs to the ticket: every way out gives it back.
    auto ticket = std::make_shared<ChatStreamTicket>(deps_.rateLimiter, key);

    const std::optional<Json> body = parseJsonObject(request.bodyText());
    const std::optional<std::string> userMessage = body ? readString(*body, "userMessage") : std::nullopt;
    if (!userMessage || trimWhitespaceAndNewlines(*userMessage).empty()) {
        return cannedEventStream(sseEmptyMessageBytes());
    }

    if (settings.mode() == AppMode::establishment && deps_.touchLastActivity) deps_.touchLastActivity();

    std::string systemPrompt = buildSystemPrompt(settings);
    if (const auto override = readString(*body, "systemOverride");
        override && !trimWhitespaceAndNewlines(*override).empty() && deps_.isActiveTeacherPin) {
        // Checked last, so that only a real override attempt meets the lockout.
        if (const auto pin = readString(*body, "pin"); pin && deps_.isActiveTeacherPin(key, pin)) {
            systemPrompt = *override;
        }
    }

    Json lmRequest = buildChatRequest(settings, buildChatMessages(std::string(), *body, *userMessage));
    // The journal is off unless the teacher turns it on: its lines are then not even written.
    const bool journal = state.logger && state.logger->isEnabled();
    if (journal) state.log(chatParametersLogLine(settings), AppLogLevel::debug);

    if (!parametersAreNumbers(settings)) return cannedEventStream(sseInternalErrorBytes());
    auto requestBytes = std::make_shared<const std::string>(requestText(lmRequest, systemPrompt));

    if (journal) {
        state.log("Chat de " + key + " : " + characterPrefix(*userMessage, kLoggedMessageCharacters),
                  AppLogLevel::debug);
    }

    ticket->countStream(state.config->activeChatStreams());
    return eventStreamResponse([ticket, lmStudio = deps_.lmStudio, requestBytes,
                                stopping = deps_.serverStopping](HttpResponseBodyWriter& writer) {
        streamChatResponse(writer, *requestBytes, *lmStudio, *ticket, stopping);
    });
}

}  // namespace klarion
