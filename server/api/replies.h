// Reply helpers shared by the classroom route handlers.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "http/core/request.h"
#include "http/core/response.h"
#include "platform/json.h"

namespace klarion {

// 200 with these exact bytes and Content-Type "application/json" (for the
// fixed JSON texts written out with their spaces).
HttpResponse jsonTextReply(std::string_view fixedText);
// 200 with the value serialised compactly, Content-Type "application/json".
HttpResponse jsonReply(const Json& value);
// 200 with a plain text body: no Content-Type header.
HttpResponse plainTextReply(std::string text);

// The largest body the class routes parse. Their bodies are small JSON
// objects (a PIN, settings, one logged question or answer); a parsed document
// can take twenty times its size in memory, so a larger body is not parsed.
inline constexpr std::size_t kMaxJsonBodyBytes = 1024 * 1024;

// The request body as a JSON object; none for anything else, and for a body
// over kMaxJsonBodyBytes.
std::optional<Json> requestJsonObject(const HttpRequest& request);

}  // namespace klarion
