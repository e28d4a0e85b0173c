// The weekly agenda of the establishment mode: "/api/schedule" shows one
// week's grid to any teacher; "/api/reserve-slot" books or frees one cell for
// the teacher whose session runs. Bookings are applied on the main queue and
// saved to "schedule.json" at once (atomically).
#pragma once

#include <string>

#include "app/state/records.h"
#include "app/state/state_context.h"
#include "http/core/request.h"
#include "http/core/response.h"
#include "platform/json.h"
#include "server/api/classroom_context.h"

namespace klarion {

// The fixed replies of "/api/reserve-slot", byte for byte.
inline constexpr std::string_view kSlotDone = R"({"success": true})";
inline constexpr std::string_view kSlotMissingParameters = R"({"success": false, "message": "Paramètres manquants"})";
inline constexpr std::string_view kSlotInvalid = R"({"success": false, "message": "Créneau invalide"})";

HttpResponse handleSchedule(const ClassroomContext& context, HttpRequest& request);
HttpResponse handleReserveSlot(const ClassroomContext& context, HttpRequest& request);

// The reply of "/api/schedule" for `week`: "week", "slotDefinitions" (with
// their index) and the bookings of that week's cells, Monday first, then by
// slot, with the teacher's name ("?" for an unknown id).
Json weekScheduleJson(const std::string& week, const ScheduleConfig& schedule, const std::vector<Teacher>& teachers);

// Main thread: book `key` for `teacherId` (replacing any booking) / free it;
// then save the schedule.
void reserveSlotApply(const StateContext& state, const std::string& key, const std::string& teacherId);
void releaseSlotApply(const StateContext& state, const std::string& key);

}  // namespace klarion
