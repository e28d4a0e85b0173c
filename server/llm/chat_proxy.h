// The chat route: one message of a student in, an event stream out.
//
// handleChat runs on the connection's thread and returns at once. Either its
// reply is one canned chunk (AI paused, the address already has two streams
// running, a blank or unreadable message, a request that cannot be
// serialised), or it builds the streaming chat request for LM Studio (system
// prompt, recent history, the message with an optional image, the generation
// parameters, the loaded model) and returns a reply whose body writer relays
// LM Studio's stream (streamChatResponse) on the same thread.
//
// The address's slot and the stream count are taken before the reply is
// returned and are held by a ChatStreamTicket that the body writer captures:
// they come back when the relay ends, or when the server drops the writer
// without running it.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "app/state/state_context.h"
#include "http/core/request.h"
#include "http/core/response.h"
#include "platform/json.h"
#include "server/llm/lmstudio_client.h"
#include "server/llm/rate_limiter.h"

namespace klarion {

// A teacher PIN rule with its lockout: (client address, the body's "pin" or
// none) -> may go on. The classroom server supplies it.
using TeacherPinCheck = std::function<bool(const std::string& clientAddress, const std::optional<std::string>& pin)>;

// History entries forwarded at most (the newest ones).
inline constexpr std::size_t kChatHistoryLimit = 6;

// The messages sent to LM Studio for one chat: the system message, the
// usable entries among the last six of "history", then the user message
// (plain text, or an image part and a text part). `body` is the request's
// JSON object.
Json buildChatMessages(const std::string& systemPrompt, const Json& body, const std::string& userMessage);

// The whole LM Studio request: messages, "stream" true, the generation
// parameters, "seed" when useSeed, "model" when a model id is known.
Json buildChatRequest(const AppConfigValues& settings, Json messages);

// The journal line describing the parameters sent:
// "→ LM Studio : model=M temp=T top_p=P freq=F pres=R repeat=Q max_tokens=N seed=S".
std::string chatParametersLogLine(const AppConfigValues& settings);

// The relay: sends `requestBytes` to LM Studio's chat endpoint and copies
// every piece of its answer to `writer` as it arrives, unchanged. When the
// transport fails (refused, reset, closed, no data for the idle time-out) or
// LM Studio answers a status outside 2xx, the proxy's error chunk follows,
// preceded by line feeds when the relayed bytes stop inside an event. Once
// the student's connection is gone (a write fails) the relay stops reading;
// once `serverStopping` holds it gives up waiting for LM Studio. Then
// `ticket` is released. Never throws.
void streamChatResponse(HttpResponseBodyWriter& writer, std::string_view requestBytes, const LmStudioClient& lmStudio,
                        ChatStreamTicket& ticket, const LmStudioClient::StopCheck& serverStopping = {});

class ChatProxy {
public:
    struct Dependencies {
        StateContext state;
        std::shared_ptr<const LmStudioClient> lmStudio;
        std::shared_ptr<RateLimiter> rateLimiter;  // null: RateLimiter::shared()
        // The active teacher's PIN rule, for "systemOverride"; null: never honoured.
        TeacherPinCheck isActiveTeacherPin;
        // Posts the class-activity stamp (establishment mode); null: none.
        std::function<void()> touchLastActivity;
        // True once the server is stopping: a relay waiting for LM Studio then
        // gives up, so that the stop does not wait for LM Studio. Null: never.
        LmStudioClient::StopCheck serverStopping;
    };

    explicit ChatProxy(Dependencies deps);

    // The route "/api/chat"; any method. Connection thread.
    HttpResponse handleChat(const HttpRequest& request) const;

    const std::shared_ptr<RateLimiter>& rateLimiter() const { return deps_.rateLimiter; }

private:
    // The request text for LM Studio: dumpJson(request) for a request whose
    // system message is `systemPrompt`, built with an empty one.
    std::string requestText(const Json& request, const std::string& systemPrompt) const;

    Dependencies deps_;
    // The last system prompt and its JSON text: the prompt stays the same
    // from chat to chat until a setting changes, and escaping it is most of
    // the work of writing a request.
    struct PromptText {
        std::mutex mutex;
        std::string prompt;
        std::string json;
    };
    std::shared_ptr<PromptText> promptText_ = std::make_shared<PromptText>();
};

}  // namespace klarion
