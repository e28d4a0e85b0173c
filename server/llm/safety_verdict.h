// The AI safety verdict: the request that asks LM Studio to judge one student
// question, and the lenient reading of what the model answers.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace klarion {

// The system message of the verdict request (526 characters).
extern const std::string_view safetyFilterPrompt;

// The body of the non-streamed verdict request: the prompt as system message,
// the question exactly as received as user message, "stream" false,
// "temperature" 0 and "max_tokens" 200; no "model" key.
std::string buildSafetyRequestBody(std::string_view questionText);

// The "content" of the first choice's message of a chat-completion reply, or
// none when the bytes are not a JSON object whose "choices" is a non-empty
// list of objects, the first holding a "message" object with a string
// "content". The HTTP status is not looked at.
std::optional<std::string> safetyReplyContent(std::string_view replyBytes);

struct SafetyVerdict {
    bool danger = false;  // the model judged the message dangerous
    std::string motif;    // the model's short reason, may be empty
    bool usable = false;  // the reply could be read as a verdict at all
    bool operator==(const SafetyVerdict&) const = default;
};

// Reads a verdict out of the model's answer: first as a JSON object between
// the first "{" and the last "}" holding a "danger" key, else in words
// ("danger" with "true"/"oui"/"vrai", or with "false"/"non"/"aucun").
SafetyVerdict readSafetyVerdict(std::string_view content);

}  // namespace klarion
