// Reply helpers shared by the classroom route handlers.
#pragma once

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

// The request body as a JSON object; none for anything else.
std::optional<Json> requestJsonObject(const HttpRequest& request);

}  // namespace klarion
