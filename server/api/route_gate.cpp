#include "server/api/route_gate.h"

#include "server/api/replies.h"

namespace klarion {

std::optional<Json> nonEmptyJsonObject(const HttpRequest& request) {
    auto body = requestJsonObject(request);
    if (!body || body->empty()) return std::nullopt;
    return body;
}

std::optional<Json> authorizedTeacherBody(const ClassroomContext& context, const HttpRequest& request, PinRule rule) {
    auto body = nonEmptyJsonObject(request);
    if (!body || !context.authorizeTeacher(request, &*body, rule)) return std::nullopt;
    return body;
}

}  // namespace klarion
