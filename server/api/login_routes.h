// The login routes: "/api/verify" (class PIN), "/api/verify-teacher" (teacher
// login, both modes), "/api/teachers-list" and "/api/end-session".
//
// Both logins and every teacher route share one lockout per client address
// (see BruteForceProtection); a right class PIN forgets only refused class
// PINs, never refused teacher PINs. A login in the establishment mode by the teacher
// who already holds the session does not restart it: it stamps the activity
// and answers as a session reply. A body with "checkOnly": true checks the PIN
// the same way (same lockout, same replies for a refusal) but never starts,
// takes over or stamps a session: its success names the teacher, the class
// PIN and, when another teacher holds the session, that teacher
// ("sessionInProgress", "activeTeacher").
#pragma once

#include "http/core/request.h"
#include "http/core/response.h"
#include "server/api/classroom_context.h"

namespace klarion {

// The fixed reply texts, byte for byte.
inline constexpr std::string_view kReplyFailure = R"({"success": false})";
inline constexpr std::string_view kReplySuccess = R"({"success": true})";
inline constexpr std::string_view kReplyWrongPin = R"({"success": false, "reason": "wrong_pin"})";
inline constexpr std::string_view kReplyBlocked =
    R"({"success": false, "reason": "blocked", "message": "Trop de tentatives. Veuillez patienter."})";
inline constexpr std::string_view kReplyEndSession = R"({"status": "OK"})";

HttpResponse handleVerify(const ClassroomContext& context, HttpRequest& request);
HttpResponse handleVerifyTeacher(const ClassroomContext& context, HttpRequest& request);
HttpResponse handleTeachersList(const ClassroomContext& context, HttpRequest& request);
HttpResponse handleEndSession(const ClassroomContext& context, HttpRequest& request);

}  // namespace klarion
