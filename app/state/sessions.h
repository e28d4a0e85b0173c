// The operating mode and the teacher sessions of the establishment mode.
//
// A session exists while AppConfig::activeTeacherId is set. Starting one
// loads the teacher's saved classroom settings; ending one saves them and
// puts the six settings back to their initial values. Every change of
// AppConfig made here goes to the main queue as one step, so the main thread
// never sees half a start or half an end, and steps run in call order (an end
// requested right after a start leaves no session).
//
// Share one TeacherSessions through a shared_ptr: route handlers on connection
// threads call startTeacherSession, endTeacherSession and touchLastActivity;
// the panel calls the rest on the main thread. Which thread each member
// needs is written beside it.
#pragma once

#include <memory>
#include <string>

#include "app/state/records.h"
#include "app/state/state_context.h"

namespace klarion {

class TeacherSessions {
public:
    // A session without a booked period running or to come today ends after
    // more than this many seconds without class activity.
    static constexpr double idleLimitSeconds = 1800;

    explicit TeacherSessions(StateContext ctx);

    const StateContext& context() const { return ctx_; }

    // Main thread. Sets and saves the mode; journal "Mode changé → " + mode.
    // Towards "establishment" the roster and the schedule are read again from
    // their files (missing or damaged: no teachers, the default schedule).
    // Any other value leaves the lists and a running session alone.
    void changeMode(const std::string& newMode) const;

    // Any thread. Reads the teacher's settings file on the calling thread,
    // journals "Session démarrée : " + name at once, and posts one step that
    // makes the teacher active, stamps the start and activity times, applies
    // the settings and empties the live class data. A session running before
    // is replaced without saving its settings.
    void startTeacherSession(const Teacher& teacher) const;

    // Any thread. When a session runs: saves its six settings under its
    // teacher id (read on the calling thread) and journals "Session terminée
    // : " + name. In every case posts one step that clears the session
    // (activeTeacherId first), restores the six initial settings and empties
    // the live class data.
    void endTeacherSession() const;

    // Any thread. In the establishment mode with a session running, saves the
    // six current settings as the active teacher's. No journal line.
    void persistTeacherConfig() const;

    // Any thread. Posts the step that sets lastActivityTime to now: the class
    // activity that keeps a session alive. Callers decide when it applies
    // (the establishment mode).
    void touchLastActivity() const;

    // Main thread, from the status tick. In the establishment mode with a
    // session running: when the teacher has no booked period running or to
    // come today, lastActivityTime is set and more than idleLimitSeconds have
    // passed since it, ends the session. True when it ended it.
    bool applySessionEndRule(double now) const;

private:
    StateContext ctx_;
};

}  // namespace klarion
