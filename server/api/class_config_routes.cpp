#include "server/api/class_config_routes.h"

#include "platform/numbers.h"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "app/state/roster.h"
#include "app/state/slot_times.h"
#include "server/api/replies.h"
#include "server/api/route_gate.h"

namespace klarion {

namespace {

constexpr std::string_view kGenParamsReply = R"({"status":"OK"})";

// A double limited from above, then from below.
double clampDouble(double value, double lower, double upper) {
    value = std::min(value, upper);
    if (value < lower) value = lower;
    return value;
}

// The active teacher's id in the establishment mode, else none.
std::optional<std::string> establishmentSession(const AppConfig& config) {
    if (config.mode() != AppMode::establishment) return std::nullopt;
    return config.activeTeacherId();
}

}  // namespace

Json classConfigJson(const AppConfigValues& v, double now) {
    Json reply = Json::object();
    reply["audience"] = v.audience;
    reply["requiresPin"] = v.requiresPin;
    reply["isSupervisionActive"] = v.isSupervisionActive;
    reply["supervisionLevel"] = v.supervisionLevel;
    reply["safetyAiScanAll"] = v.safetyAiScanAll;
    reply["customMission"] = v.customMission;
    reply["isAiPaused"] = v.isAiPaused;
    reply["shortURL"] = v.shortURL;
    reply["timerEndTime"] = v.timerEndTime;
    reply["mode"] = v.appMode;
    reply["temperature"] = v.temperature;
    reply["topP"] = v.topP;
    reply["frequencyPenalty"] = v.frequencyPenalty;
    reply["presencePenalty"] = v.presencePenalty;
    reply["maxTokens"] = v.maxTokens;
    reply["useSeed"] = v.useSeed;
    reply["seedValue"] = v.seedValue;
    reply["expertConstraintsDisabled"] = v.expertConstraintsDisabled;
    reply["expertDirective"] = v.expertDirective;
    reply["repeatPenalty"] = v.repeatPenalty;
    if (v.mode() == AppMode::establishment) {
        reply["activeTeacherName"] = v.activeTeacherName;
        reply["activeTeacherId"] = v.activeTeacherId.value_or("");
        reply["sessionSlotEndTime"] = teacherSessionEnd(v.activeTeacherId, v.scheduleConfig, now);
    }
    return reply;
}

HttpResponse handleConfig(const ClassroomContext& context, HttpRequest&) {
    const AppConfig& config = context.config();
    ClassroomContext::ConfigReply& kept = *context.configReply;
    // Read before the values: a body built from newer values than its
    // revision says is only built again once more.
    const std::uint64_t revision = config.revision();
    {
        std::shared_lock lock(kept.mutex);
        if (kept.body && kept.revision == revision) return jsonTextReply(*kept.body);
    }
    // The settings only: not the class's word table, students, questions and alerts.
    AppConfigValues values = config.settingsSnapshot();
    const bool establishment = values.mode() == AppMode::establishment;
    if (establishment) values.scheduleConfig = config.read([](const AppConfigValues& v) { return v.scheduleConfig; });
    auto body = std::make_shared<const std::string>(dumpJson(classConfigJson(values, context.now())));
    // The establishment mode's slot end follows the clock: that body is never
    // kept. Readers are not waited for: the next request stores it otherwise.
    if (!establishment) {
        std::unique_lock lock(kept.mutex, std::try_to_lock);
        if (lock.owns_lock()) kept.revision = revision, kept.body = body;
    }
    return jsonTextReply(*body);
}

HttpResponse handleMission(const ClassroomContext& context, HttpRequest& request) {
    const auto body = requestJsonObject(request);
    if (!body) return HttpResponse::unauthorized();
    const auto pin = readString(*body, "pin");
    auto mission = readString(*body, "mission");
    if (!pin || !mission) return HttpResponse::unauthorized();
    if (!context.authorizeTeacher(request.clientAddress(), pin, PinRule::activeTeacher)) {
        return HttpResponse::unauthorized();
    }
    context.post([state = context.state, mission = std::move(*mission)] { applyMission(state, mission); });
    return plainTextReply("OK");
}

void applyMission(const StateContext& state, const std::string& mission) {
    AppConfig& config = *state.config;
    config.setCustomMission(mission);
    state.log("Mission mise à jour", AppLogLevel::debug);
    if (const auto teacherId = establishmentSession(config)) {
        TeacherConfig stored = state.folder.loadTeacherConfig(*teacherId);
        stored.customMission = mission;
        state.folder.saveTeacherConfig(*teacherId, stored);
    }
}

HttpResponse handleAdminUpdate(const ClassroomContext& context, HttpRequest& request) {
    auto body = requestJsonObject(request);
    if (!body) return HttpResponse::unauthorized();
    const auto pin = readString(*body, "pin");
    if (!pin) return HttpResponse::unauthorized();
    if (!context.authorizeTeacher(request.clientAddress(), pin, PinRule::activeTeacher)) {
        return HttpResponse::unauthorized();
    }
    AppConfig& config = context.config();
    if (config.mode() == AppMode::establishment) context.sessions->touchLastActivity();

    // The class PIN is drawn once, while it is still the default one.
    const std::string currentPin = config.pinCode();
    std::optional<std::string> newPin;
    if (readBool(*body, "requiresPin") == true && currentPin == AppConfig::defaultClassPin) {
        newPin = generatePin(4);
        context.log("PIN élève généré via admin/update → " + *newPin, AppLogLevel::debug);
    }
    context.post([state = context.state, body = std::move(*body), newPin] { applyAdminUpdate(state, body, newPin); });

    Json reply = Json::object();
    reply["status"] = "OK";
    reply["studentPinCode"] = newPin.value_or(currentPin);
    return jsonReply(reply);
}

void applyAdminUpdate(const StateContext& state, const Json& body, const std::optional<std::string>& newPin) {
    AppConfig& config = *state.config;
    if (auto audience = readString(body, "audience")) config.setAudience(std::move(*audience));
    if (auto requiresPin = readBool(body, "requiresPin")) {
        config.setRequiresPin(*requiresPin);
        if (newPin) config.setPinCode(*newPin);
    }
    if (auto active = readBool(body, "isSupervisionActive")) config.setIsSupervisionActive(*active);
    if (auto level = readString(body, "supervisionLevel")) config.setSupervisionLevel(std::move(*level));
    if (auto paused = readBool(body, "isAiPaused")) config.setIsAiPaused(*paused);
    if (auto scanAll = readBool(body, "safetyAiScanAll")) config.setSafetyAiScanAll(*scanAll);
    if (auto seconds = readDouble(body, "addTimer")) {
        if (*seconds <= 0) {
            config.setTimerEndTime(0);
        } else {
            config.setTimerEndTime(state.now() + *seconds);
            config.setIsAiPaused(false);
        }
    }
    if (const auto teacherId = establishmentSession(config)) {
        state.folder.saveTeacherConfig(*teacherId, config.teacherConfig());
    }
}

HttpResponse handleGenParams(const ClassroomContext& context, HttpRequest& request) {
    auto body = authorizedTeacherBody(context, request, PinRule::anyTeacher);
    if (!body) return HttpResponse::unauthorized();
    context.post([state = context.state, body = std::move(*body)] { applyGenParams(state, body); });
    return jsonTextReply(kGenParamsReply);
}

void applyGenParams(const StateContext& state, const Json& body) {
    AppConfig& config = *state.config;
    if (auto v = readDouble(body, "temperature")) config.setTemperature(clampDouble(*v, 0.0, 2.0));
    if (auto v = readDouble(body, "topP")) config.setTopP(clampDouble(*v, 0.01, 1.0));
    if (auto v = readDouble(body, "freqPenalty")) config.setFrequencyPenalty(clampDouble(*v, -2.0, 2.0));
    if (auto v = readDouble(body, "presPenalty")) config.setPresencePenalty(clampDouble(*v, -2.0, 2.0));
    if (auto v = readInt64(body, "maxTokens")) config.setMaxTokens(std::min<int64_t>(std::max<int64_t>(*v, 50), 8192));
    if (auto v = readBool(body, "useSeed")) config.setUseSeed(*v);
    if (auto v = readInt64(body, "seedValue")) config.setSeedValue(std::max<int64_t>(*v, 0));
    if (auto v = readBool(body, "constraintsDisabled")) config.setExpertConstraintsDisabled(*v);
    if (auto v = readString(body, "expertDirective")) config.setExpertDirective(std::move(*v));
    if (auto v = readDouble(body, "repeatPenalty")) config.setRepeatPenalty(clampDouble(*v, 0.5, 2.0));

    const auto values = config.snapshot();
    state.log("Mode Expert — temp=" + decimalText(values.temperature) + " topP=" + decimalText(values.topP) +
                  " freq=" + decimalText(values.frequencyPenalty) + " pres=" + decimalText(values.presencePenalty) +
                  " maxTok=" + std::to_string(values.maxTokens) +
                  " seed=" + (values.useSeed ? std::to_string(values.seedValue) : std::string("off")) +
                  " directives=" + (values.expertConstraintsDisabled ? "OFF" : "ON"),
              AppLogLevel::info);
}

}  // namespace klarion
