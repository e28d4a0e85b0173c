// The live class data the dashboard polls, all guarded by the PIN of any
// teacher: "/api/keywords" (word cloud), "/api/students" (connected
// students), "/api/live-feed" (latest questions), "/api/safety-alerts" (open
// alerts) and "/api/ack-alert" (acknowledges one alert on the main queue).
#pragma once

#include <string>

#include "app/state/app_config.h"
#include "http/core/request.h"
#include "http/core/response.h"
#include "platform/json.h"
#include "server/api/classroom_context.h"

namespace klarion {

inline constexpr size_t kKeywordsShown = 30;
inline constexpr size_t kLiveFeedShown = 60;

HttpResponse handleKeywords(const ClassroomContext& context, HttpRequest& request);
HttpResponse handleStudents(const ClassroomContext& context, HttpRequest& request);
HttpResponse handleLiveFeed(const ClassroomContext& context, HttpRequest& request);
HttpResponse handleSafetyAlerts(const ClassroomContext& context, HttpRequest& request);
HttpResponse handleAckAlert(const ClassroomContext& context, HttpRequest& request);

// The reply bodies, from copies of the fields.
// At most 30 {"text", "size"}, the highest counts first.
Json keywordsJson(const WordFrequency& words);
// One {"name": display name, "ip"} per address.
Json studentsJson(const ConnectedStudents& students);
// The newest 60 questions, newest first: {"name", "text", "time"}.
Json liveFeedJson(const std::vector<LiveQuestion>& questions);
// Every alert not "dismissed", newest first.
Json safetyAlertsJson(const std::vector<SafetyAlert>& alerts);
Json studentEntry(const std::string& address, const ConnectedStudents& students);
Json safetyAlertEntry(const SafetyAlert& alert);

// Main thread. Marks the first alert whose id, in upper case, is exactly `id`
// as acknowledged; no match changes nothing.
void acknowledgeAlert(AppConfig& config, const std::string& id);

}  // namespace klarion
