// What the classroom route handlers share.
//
// One ClassroomContext is made for the run and handed to every handler as a
// shared_ptr; handlers keep that pointer (never a copy of the panel, never a
// raw pointer to the server). Handlers run on the server's connection threads:
// they read AppConfig directly and post every change of it to the main queue
// (post()).
//
// Later handlers add what they need here: one member each, with a comment.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>

#include "app/state/sessions.h"
#include "app/state/state_context.h"
#include "http/core/request.h"
#include "platform/json.h"
#include "server/api/brute_force_protection.h"
#include "server/api/teacher_pins.h"
#include "server/llm/lmstudio_client.h"
#include "server/llm/safety_monitor.h"

namespace klarion {

struct ClassroomContext {
    // AppConfig, the journal, the configuration folder, the main queue, the clock.
    StateContext state;
    // Teacher sessions: startTeacherSession, endTeacherSession, touchLastActivity.
    std::shared_ptr<TeacherSessions> sessions;
    // The login lockout, shared by every route that checks a PIN.
    std::shared_ptr<BruteForceProtection> lockout;
    // LM Studio, at the run's address (http://127.0.0.1:1234 unless set
    // otherwise): the chat and model routes talk to it.
    std::shared_ptr<const LmStudioClient> lmStudio;
    // The keyword safety scan that every question logged through "/api/log"
    // goes to (its AI verdict asks LM Studio). Set by whoever assembles the
    // server, over the same LM Studio client; null: questions are not scanned.
    std::shared_ptr<SafetyMonitor> safetyMonitor;
    // The last "/api/config" body and the settings revision it was built
    // from: every student page polls it, and it changes only with them.
    struct ConfigReply {
        // Readers share it; a new body is stored only when nobody reads.
        std::shared_mutex mutex;
        std::uint64_t revision = 0;
        std::shared_ptr<const std::string> body;
    };
    std::shared_ptr<ConfigReply> configReply = std::make_shared<ConfigReply>();

    // A context over `state`, with `sessions` (made over `state` when null),
    // a new lockout on the state's clock and LM Studio at its default address.
    static std::shared_ptr<ClassroomContext> make(StateContext state,
                                                  std::shared_ptr<TeacherSessions> sessions = nullptr);
    // The same over the process-wide state (StateContext::standard()).
    static std::shared_ptr<ClassroomContext> makeDefault();

    AppConfig& config() const { return *state.config; }
    double now() const { return state.now(); }
    void log(std::string message, AppLogLevel level = AppLogLevel::info) const { state.log(std::move(message), level); }
    void post(MainQueue::Task task) const { state.post(std::move(task)); }
    // The user's Documents folder ("Klarion_Config", "Klarion_Logs" live there).
    const std::filesystem::path& documentsFolder() const { return state.folder.documents(); }
    bool isEstablishmentMode() const { return config().mode() == AppMode::establishment; }

    // The guard of every teacher route other than the two logins. `pin` is
    // the body's "pin" (none when missing or not a string). A blocked address
    // is refused before any comparison; a PIN that fails `rule` counts one
    // failure unless it is a teacher's own PIN (matchPinForRule); a missing
    // PIN is refused without counting; success leaves the count alone. True when the route may go on (else answer 401).
    bool authorizeTeacher(const std::string& clientAddress, const std::optional<std::string>& pin, PinRule rule) const;
    // The same, reading "pin" from a parsed body (null: refused).
    bool authorizeTeacher(const HttpRequest& request, const Json* body, PinRule rule) const;

    // The guard as a plain function, for handlers built outside this folder
    // (the LM Studio routes): (client address, pin) -> may go on.
    using TeacherPinCheck =
        std::function<bool(const std::string& clientAddress, const std::optional<std::string>& pin)>;
    static TeacherPinCheck pinCheck(const std::shared_ptr<const ClassroomContext>& context, PinRule rule);
};

}  // namespace klarion
