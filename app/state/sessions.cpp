#include "app/state/sessions.h"

#include "app/state/slot_times.h"

namespace klarion {

namespace {

void emptyLiveClassData(AppConfig::Values& v) {
    v.wordFrequency.clear();
    v.connectedStudents.clear();
    v.liveQuestions.clear();
    v.safetyAlerts.clear();
}

}  // namespace

TeacherSessions::TeacherSessions(StateContext ctx) : ctx_(std::move(ctx)) {}

void TeacherSessions::changeMode(const std::string& newMode) const {
    ctx_.config->setAppMode(newMode);
    ctx_.folder.saveAppMode(newMode);
    ctx_.log("Mode changé → " + newMode, AppLogLevel::info);
    if (appModeOf(newMode) != AppMode::establishment) return;
    ctx_.folder.ensureConfigDirectory();
    ctx_.config->setTeachers(ctx_.folder.loadTeachers());
    ctx_.config->setScheduleConfig(ctx_.folder.loadSchedule());
}

void TeacherSessions::startTeacherSession(const Teacher& teacher) const {
    TeacherConfig settings = ctx_.folder.loadTeacherConfig(teacher.id);
    auto config = ctx_.config;
    auto clock = ctx_.clock;
    ctx_.post([config, clock, id = teacher.id, name = teacher.name, settings] {
        double now = clock ? clock->now() : nowSeconds();
        config->update([&](AppConfig::Values& v) {
            v.activeTeacherId = id;
            v.activeTeacherName = name;
            v.sessionStartTime = now;
            v.lastActivityTime = now;
            v.applyTeacherConfig(settings);
            emptyLiveClassData(v);
        });
    });
    ctx_.log("Session démarrée : " + teacher.name, AppLogLevel::info);
}

void TeacherSessions::endTeacherSession() const {
    AppConfig::Values current = ctx_.config->snapshot();
    if (current.activeTeacherId) {
        ctx_.folder.saveTeacherConfig(*current.activeTeacherId, current.teacherConfig());
        ctx_.log("Session terminée : " + current.activeTeacherName, AppLogLevel::info);
    }
    auto config = ctx_.config;
    ctx_.post([config] {
        config->update([](AppConfig::Values& v) {
            // The session goes first: a change reaction that saves the active
            // teacher's settings must never see the defaults below as theirs.
            v.activeTeacherId.reset();
            v.activeTeacherName.clear();
            v.sessionStartTime = 0;
            v.lastActivityTime = 0;
            v.applyTeacherConfig(TeacherConfig{});
            emptyLiveClassData(v);
        });
    });
}

void TeacherSessions::persistTeacherConfig() const {
    AppConfig::Values current = ctx_.config->snapshot();
    if (current.mode() != AppMode::establishment || !current.activeTeacherId) return;
    ctx_.folder.saveTeacherConfig(*current.activeTeacherId, current.teacherConfig());
}

void TeacherSessions::touchLastActivity() const {
    auto config = ctx_.config;
    auto clock = ctx_.clock;
    ctx_.post([config, clock] { config->setLastActivityTime(clock ? clock->now() : nowSeconds()); });
}

bool TeacherSessions::applySessionEndRule(double now) const {
    AppConfig::Values current = ctx_.config->snapshot();
    if (current.mode() != AppMode::establishment || !current.activeTeacherId) return false;
    double end = teacherSessionEnd(current.activeTeacherId, current.scheduleConfig, now);
    if (end == 0 && current.lastActivityTime > 0 && now - current.lastActivityTime > idleLimitSeconds) {
        endTeacherSession();
        return true;
    }
    return false;
}

}  // namespace klarion
