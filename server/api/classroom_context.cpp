#include "server/api/classroom_context.h"

namespace klarion {

std::shared_ptr<ClassroomContext> ClassroomContext::make(StateContext state,
                                                         std::shared_ptr<TeacherSessions> sessions) {
    auto context = std::make_shared<ClassroomContext>();
    context->state = std::move(state);
    context->sessions = sessions ? std::move(sessions) : std::make_shared<TeacherSessions>(context->state);
    context->lockout = std::make_shared<BruteForceProtection>(context->state.clock);
    context->lmStudio = std::make_shared<const LmStudioClient>();
    return context;
}

std::shared_ptr<ClassroomContext> ClassroomContext::makeDefault() { return make(StateContext::standard()); }

bool ClassroomContext::authorizeTeacher(const std::string& clientAddress, const std::optional<std::string>& pin,
                                        PinRule rule) const {
    if (!pin) return false;
    const auto verdict = lockout->attempt(
        clientAddress, [&] { return matchPinForRule(config(), rule, *pin); }, BruteForceProtection::OnSuccess::keep);
    return verdict == BruteForceProtection::Verdict::accepted;
}

bool ClassroomContext::authorizeTeacher(const HttpRequest& request, const Json* body, PinRule rule) const {
    std::optional<std::string> pin;
    if (body != nullptr) pin = readString(*body, "pin");
    return authorizeTeacher(request.clientAddress(), pin, rule);
}

ClassroomContext::TeacherPinCheck ClassroomContext::pinCheck(const std::shared_ptr<const ClassroomContext>& context,
                                                             PinRule rule) {
    return [context, rule](const std::string& clientAddress, const std::optional<std::string>& pin) {
        return context->authorizeTeacher(clientAddress, pin, rule);
    };
}

}  // namespace klarion
