#include "server/api/login_routes.h"

#include "app/state/slot_times.h"
#include "platform/random.h"
#include "server/api/replies.h"

namespace klarion {

namespace {

constexpr const char* kBlockedMessage = "Trop de tentatives. Veuillez patienter.";

using Verdict = BruteForceProtection::Verdict;
using OnSuccess = BruteForceProtection::OnSuccess;

// The session reply (busy when `busyWith` names the holder); a check's reply
// has no token, since nothing was opened.
HttpResponse sessionReply(const ClassroomContext& context, const std::string& teacherName,
                          const std::optional<std::string>& busyWith = std::nullopt, bool opened = true) {
    Json reply = Json::object();
    reply["success"] = true;
    reply["teacherName"] = teacherName;
    reply["studentPinCode"] = context.config().pinCode();
    if (opened) reply["sessionToken"] = randomUUIDString();
    if (busyWith) {
        reply["sessionInProgress"] = true;
        reply["activeTeacher"] = *busyWith;
    }
    return jsonReply(reply);
}

// Starts the teacher's session, unless that teacher already holds it: then
// only the activity is stamped.
void openSession(const ClassroomContext& context, const Teacher& teacher) {
    if (context.config().activeTeacherId() == teacher.id) {
        context.sessions->touchLastActivity();
        return;
    }
    context.sessions->startTeacherSession(teacher);
}

HttpResponse verifyIndividualTeacher(const ClassroomContext& context, const std::string& address, const Json& body) {
    auto blocked = [&] {
        context.log("Login enseignant : IP bloquée (brute-force) " + address, AppLogLevel::warn);
        return jsonTextReply(kReplyBlocked);
    };
    if (context.lockout->isBlocked(address)) return blocked();
    const auto pin = readString(body, "pin");
    if (!pin) return jsonTextReply(kReplyFailure);

    const auto verdict = context.lockout->attempt(
        address, [&] { return samePin(context.config().teacherPinCode(), *pin); }, OnSuccess::forget);
    if (verdict == Verdict::blocked) return blocked();
    if (verdict == Verdict::refused) {
        context.log("Login enseignant individuel : ÉCHEC depuis " + address, AppLogLevel::warn);
        return jsonTextReply(kReplyFailure);
    }
    context.log("Login enseignant individuel : OK", AppLogLevel::debug);
    Json reply = Json::object();
    reply["success"] = true;
    reply["studentPinCode"] = context.config().pinCode();
    return jsonReply(reply);
}

HttpResponse verifyEstablishmentTeacher(const ClassroomContext& context, const std::string& address, const Json& body) {
    auto blocked = [&] {
        context.log("IP bloquée (brute-force) : " + address, AppLogLevel::warn);
        Json reply = Json::object();
        reply["success"] = false;
        reply["reason"] = "blocked";
        reply["message"] = kBlockedMessage;
        return jsonReply(reply);
    };
    if (context.lockout->isBlocked(address)) return blocked();
    const auto id = readString(body, "id");
    const auto pin = readString(body, "pin");
    if (!id || !pin) return jsonTextReply(kReplyFailure);

    const auto teachers = context.config().teachers();
    const Teacher* teacher = nullptr;
    for (const auto& entry : teachers) {
        if (entry.id == *id) {
            teacher = &entry;
            break;
        }
    }
    if (teacher == nullptr) return jsonTextReply(kReplyFailure);

    const auto verdict = context.lockout->attempt(
        address, [&] { return samePin(teacher->pin, *pin); }, OnSuccess::forget);
    if (verdict == Verdict::blocked) return blocked();
    if (verdict == Verdict::refused) {
        context.log("PIN incorrect pour " + teacher->name + " depuis " + address, AppLogLevel::warn);
        return jsonTextReply(kReplyWrongPin);
    }
    // A check ("checkOnly": true) says who holds the class and never opens,
    // takes over or stamps a session: a colleague's open dashboard checks its
    // PIN every few seconds.
    if (readBool(body, "checkOnly") == true) {
        const auto active = context.config().activeTeacherId();
        std::optional<std::string> busyWith;
        if (active && *active != teacher->id) busyWith = context.config().activeTeacherName();
        return sessionReply(context, teacher->name, busyWith, false);
    }
    context.log("Login établissement : " + teacher->name, AppLogLevel::debug);

    const auto schedule = context.config().scheduleConfig();
    const auto key = currentSlotKey(schedule.slotDefinitions, context.now());
    if (key) {
        if (auto booking = schedule.reservations.find(*key); booking != schedule.reservations.end()) {
            const std::string& holder = booking->second;
            if (holder == teacher->id) {
                openSession(context, *teacher);
                return sessionReply(context, teacher->name);
            }
            std::string holderName = "Inconnu";
            for (const auto& entry : teachers) {
                if (entry.id == holder) {
                    holderName = entry.name;
                    break;
                }
            }
            return sessionReply(context, teacher->name, holderName);
        }
    }
    const auto active = context.config().activeTeacherId();
    if (active && *active != teacher->id) {
        return sessionReply(context, teacher->name, context.config().activeTeacherName());
    }
    openSession(context, *teacher);
    return sessionReply(context, teacher->name);
}

}  // namespace

HttpResponse handleVerify(const ClassroomContext& context, HttpRequest& request) {
    const std::string address = request.clientAddress();
    auto blocked = [&] {
        context.log("PIN élève : IP bloquée (brute-force) " + address, AppLogLevel::warn);
        return jsonTextReply(kReplyBlocked);
    };
    if (context.lockout->isBlocked(address)) return blocked();
    const auto body = requestJsonObject(request);
    const auto pin = body ? readString(*body, "pin") : std::nullopt;
    if (!pin) return jsonTextReply(kReplyFailure);

    const auto verdict = context.lockout->attempt(
        address, [&] { return samePin(context.config().pinCode(), *pin); }, OnSuccess::forget,
        BruteForceProtection::PinKind::classPin);
    if (verdict == Verdict::blocked) return blocked();
    const bool ok = verdict == Verdict::accepted;
    context.log(std::string("Vérification PIN élève : ") + (ok ? "OK" : "ÉCHEC") + " depuis " + address,
                AppLogLevel::debug);
    return jsonTextReply(ok ? kReplySuccess : kReplyFailure);
}

HttpResponse handleVerifyTeacher(const ClassroomContext& context, HttpRequest& request) {
    const auto body = requestJsonObject(request);
    if (!body) return jsonTextReply(kReplyFailure);
    const std::string address = request.clientAddress();
    if (context.config().mode() == AppMode::individual) return verifyIndividualTeacher(context, address, *body);
    return verifyEstablishmentTeacher(context, address, *body);
}

HttpResponse handleTeachersList(const ClassroomContext& context, HttpRequest&) {
    if (context.config().mode() == AppMode::individual) return jsonTextReply("[]");
    Json list = Json::array();
    for (const auto& teacher : context.config().teachers()) {
        Json entry = Json::object();
        entry["id"] = teacher.id;
        entry["name"] = teacher.name;
        list.push_back(std::move(entry));
    }
    return jsonReply(list);
}

HttpResponse handleEndSession(const ClassroomContext& context, HttpRequest& request) {
    const auto body = requestJsonObject(request);
    if (!body || !readString(*body, "pin")) return HttpResponse::unauthorized();
    if (!context.authorizeTeacher(request, &*body, PinRule::activeTeacher)) return HttpResponse::unauthorized();
    context.sessions->endTeacherSession();
    return plainTextReply(std::string(kReplyEndSession));
}

}  // namespace klarion
