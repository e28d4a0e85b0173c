#include "server/api/schedule_routes.h"

#include <array>

#include "app/state/week_keys.h"
#include "server/api/replies.h"
#include "server/api/route_gate.h"

namespace klarion {

namespace {

std::string teacherName(const std::vector<Teacher>& teachers, const std::string& id) {
    for (const auto& teacher : teachers) {
        if (teacher.id == id) return teacher.name;
    }
    return "?";
}

// `day` 0 is Monday.
std::string cellKey(const std::string& week, size_t day, size_t slot) {
    return reservationKey(week, dayKey(static_cast<int>(day) + 1), slot);
}

}  // namespace

Json weekScheduleJson(const std::string& week, const ScheduleConfig& schedule, const std::vector<Teacher>& teachers) {
    Json slots = Json::array();
    for (size_t i = 0; i < schedule.slotDefinitions.size(); ++i) {
        const SlotDefinition& slot = schedule.slotDefinitions[i];
        Json entry = Json::object();
        entry["index"] = i;
        entry["label"] = slot.label;
        entry["start"] = slot.start;
        entry["end"] = slot.end;
        slots.push_back(std::move(entry));
    }
    Json booked = Json::array();
    for (size_t day = 0; day < kSchoolDays; ++day) {
        for (size_t slot = 0; slot < schedule.slotDefinitions.size(); ++slot) {
            auto it = schedule.reservations.find(cellKey(week, day, slot));
            if (it == schedule.reservations.end()) continue;
            Json entry = Json::object();
            entry["day"] = day;
            entry["slot"] = slot;
            entry["teacherId"] = it->second;
            entry["teacherName"] = teacherName(teachers, it->second);
            booked.push_back(std::move(entry));
        }
    }
    Json reply = Json::object();
    reply["week"] = week;
    reply["slotDefinitions"] = std::move(slots);
    reply["reservations"] = std::move(booked);
    return reply;
}

HttpResponse handleSchedule(const ClassroomContext& context, HttpRequest& request) {
    const auto body = authorizedTeacherBody(context, request, PinRule::anyTeacher);
    if (!body) return HttpResponse::unauthorized();
    const std::string week = readString(*body, "week").value_or(weekKey(context.now()));
    const auto values = context.config().snapshot();
    return jsonReply(weekScheduleJson(week, values.scheduleConfig, values.teachers));
}

HttpResponse handleReserveSlot(const ClassroomContext& context, HttpRequest& request) {
    const auto body = authorizedTeacherBody(context, request, PinRule::activeTeacher);
    if (!body) return HttpResponse::unauthorized();
    const auto week = readString(*body, "week");
    const auto day = readInt64(*body, "day");
    const auto slot = readInt64(*body, "slot");
    if (!week || !day || !slot) return jsonTextReply(kSlotMissingParameters);

    const AppConfig& config = context.config();
    const ScheduleConfig schedule = config.scheduleConfig();
    const auto slotCount = static_cast<int64_t>(schedule.slotDefinitions.size());
    if (*day < 0 || *day >= static_cast<int64_t>(kSchoolDays) || *slot < 0 || *slot >= slotCount) {
        return jsonTextReply(kSlotInvalid);
    }
    const std::string key = cellKey(*week, static_cast<size_t>(*day), static_cast<size_t>(*slot));
    const std::string action = readString(*body, "action").value_or("reserve");
    const std::string teacherId = config.activeTeacherId().value_or("");
    const auto booking = schedule.reservations.find(key);

    if (action == "reserve") {
        if (booking != schedule.reservations.end() && booking->second != teacherId) {
            Json reply = Json::object();
            reply["success"] = false;
            reply["message"] = "Créneau déjà réservé par " + teacherName(config.teachers(), booking->second) + ".";
            return jsonReply(reply);
        }
        context.post([state = context.state, key, teacherId] { reserveSlotApply(state, key, teacherId); });
        context.log("Slot réservé : " + key + " par " + teacherId, AppLogLevel::debug);
        return jsonTextReply(kSlotDone);
    }
    if (booking != schedule.reservations.end() && booking->second == teacherId) {
        context.post([state = context.state, key] { releaseSlotApply(state, key); });
    }
    return jsonTextReply(kSlotDone);
}

void reserveSlotApply(const StateContext& state, const std::string& key, const std::string& teacherId) {
    ScheduleConfig schedule = state.config->scheduleConfig();
    schedule.reservations[key] = teacherId;
    state.config->setScheduleConfig(std::move(schedule));
    state.saveSchedule();
}

void releaseSlotApply(const StateContext& state, const std::string& key) {
    ScheduleConfig schedule = state.config->scheduleConfig();
    schedule.reservations.erase(key);
    state.config->setScheduleConfig(std::move(schedule));
    state.saveSchedule();
}

}  // namespace klarion
