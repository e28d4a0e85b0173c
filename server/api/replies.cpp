#include "server/api/replies.h"

namespace klarion {

HttpResponse jsonTextReply(std::string_view fixedText) {
    return HttpResponse::ok(HttpResponseBody::data(utf8Bytes(fixedText), std::string("application/json")));
}

HttpResponse jsonReply(const Json& value) { return jsonTextReply(dumpJson(value)); }

HttpResponse plainTextReply(std::string text) { return HttpResponse::ok(HttpResponseBody::text(std::move(text))); }

std::optional<Json> requestJsonObject(const HttpRequest& request) {
    if (request.body.size() > kMaxJsonBodyBytes) return std::nullopt;
    return parseJsonObject(std::string_view(reinterpret_cast<const char*>(request.body.data()), request.body.size()));
}

}  // namespace klarion
