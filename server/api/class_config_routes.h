// The class settings routes:
//   "/api/config"        public: the settings the dashboard fills its controls with
//   "/api/mission"       active teacher: the mission text
//   "/api/admin/update"  active teacher: audience, class PIN, supervision,
//                        pause of the AI, AI safety scan, pause timer
//   "/api/gen-params"    any teacher: the generation parameters of the chat
//
// The handlers run on connection threads and never change AppConfig there:
// they check, post the change to the main queue and answer at once. The
// apply* functions are those main-queue steps.
#pragma once

#include <optional>
#include <string>

#include "app/state/app_config.h"
#include "app/state/state_context.h"
#include "http/core/request.h"
#include "http/core/response.h"
#include "platform/json.h"
#include "server/api/classroom_context.h"

namespace klarion {

HttpResponse handleConfig(const ClassroomContext& context, HttpRequest& request);
HttpResponse handleMission(const ClassroomContext& context, HttpRequest& request);
HttpResponse handleAdminUpdate(const ClassroomContext& context, HttpRequest& request);
HttpResponse handleGenParams(const ClassroomContext& context, HttpRequest& request);

// The reply of "/api/config": 20 members, and in the establishment mode the
// session members "activeTeacherName", "activeTeacherId" ("" when none) and
// "sessionSlotEndTime" (end of the active teacher's booked period at `now`).
// Never the class PIN, the teacher PIN, the teacher link or the roster.
Json classConfigJson(const AppConfigValues& values, double now);

// Main thread. Sets the mission; in the establishment mode with a session,
// also stores it in the teacher's settings file (the file's other settings
// stay as they are in the file).
void applyMission(const StateContext& state, const std::string& mission);

// Main thread. Applies the keys of the body that have their type, in order:
// "audience", "requiresPin" (with `newPin` as the class PIN when given),
// "isSupervisionActive", "supervisionLevel", "isAiPaused", "safetyAiScanAll",
// "addTimer" (seconds: > 0 arms the pause timer and lifts a pause, <= 0
// disarms it). In the establishment mode with a session, saves the teacher's
// six settings.
void applyAdminUpdate(const StateContext& state, const Json& body, const std::optional<std::string>& newPin);

// Main thread. Stores the generation parameters of the body that have their
// type, clamped to their ranges, one assignment per key; then the journal
// line "Mode Expert — temp=...".
void applyGenParams(const StateContext& state, const Json& body);

}  // namespace klarion
