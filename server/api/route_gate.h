// The first steps shared by the teacher routes of the class: the body as a
// JSON object, and the teacher PIN it carries under "pin".
#pragma once

#include <optional>

#include "http/core/request.h"
#include "platform/json.h"
#include "server/api/classroom_context.h"

namespace klarion {

// The request body when it is a JSON object with at least one member.
std::optional<Json> nonEmptyJsonObject(const HttpRequest& request);

// The body when it is a non-empty JSON object whose "pin" passes `rule`,
// through the shared lockout (a blocked address is refused before any
// comparison, a refused PIN counts one failure). None: answer 401.
std::optional<Json> authorizedTeacherBody(const ClassroomContext& context, const HttpRequest& request, PinRule rule);

}  // namespace klarion
