#include "app/state/sessions.h"

#include <gmock/gmock.h>

#include <thread>

#include "app/state/week_keys.h"
#include "state_fixture.h"

namespace klarion {
namespace {

using ::testing::ElementsAre;
using testing::JournalLine;

class SessionsTest : public testing::StateTest {
protected:
    void SetUp() override {
        StateTest::SetUp();
        sessions = std::make_shared<TeacherSessions>(ctx);
    }

    TeacherConfig saved() {
        TeacherConfig c;
        c.audience = "eleves";
        c.customMission = "Réviser les fractions";
        c.requiresPin = true;
        c.pinCode = "0427";
        c.isSupervisionActive = true;
        c.supervisionLevel = "questions";
        return c;
    }

    void fillLiveData() {
        config->update([](AppConfig::Values& v) {
            v.wordFrequency = {{"chat", 3}};
            v.connectedStudents = {{"10.0.0.2", "Léo"}};
            v.liveQuestions = {LiveQuestion{"Q", "Léo", "10.0.0.2", "?", 1}};
            v.safetyAlerts = {SafetyAlert{"S", "Léo", "10.0.0.2", "t", "r", "keyword", 1, false}};
        });
    }

    void expectNoLiveData() {
        auto v = config->snapshot();
        EXPECT_TRUE(v.wordFrequency.empty());
        EXPECT_TRUE(v.connectedStudents.empty());
        EXPECT_TRUE(v.liveQuestions.empty());
        EXPECT_TRUE(v.safetyAlerts.empty());
    }

    std::shared_ptr<TeacherSessions> sessions;
};

TEST_F(SessionsTest, ChangeModeTowardsEstablishmentReadsTheFiles) {
    sessions->changeMode("establishment");
    EXPECT_EQ(config->appMode(), "establishment");
    EXPECT_EQ(ctx.folder.loadAppMode(), "establishment");
    EXPECT_TRUE(config->teachers().empty());
    EXPECT_EQ(config->scheduleConfig(), ScheduleConfig::defaultSchedule());
    EXPECT_THAT(journal(), ElementsAre(JournalLine{AppLogLevel::info, "Mode changé → establishment"}));

    ctx.folder.saveTeachers({teacher("A", "Anne")});
    config->setTeachers({});
    sessions->changeMode("establishment");
    EXPECT_THAT(config->teachers(), ElementsAre(teacher("A", "Anne")));

    // A damaged roster file empties the roster in memory.
    writeFileAtomic(ctx.folder.teachersFile(), "[{\"id\":1}]");
    sessions->changeMode("establishment");
    EXPECT_TRUE(config->teachers().empty());
}

TEST_F(SessionsTest, ChangeModeTowardsIndividualKeepsListsAndSession) {
    config->setTeachers({teacher("A", "Anne")});
    config->setActiveTeacherId("A");
    ScheduleConfig schedule;
    schedule.slotDefinitions = {SlotDefinition{"X", "08:00", "09:00"}};
    config->setScheduleConfig(schedule);
    sessions->changeMode("individual");
    EXPECT_EQ(ctx.folder.loadAppMode(), "individual");
    EXPECT_EQ(config->teachers().size(), 1u);
    EXPECT_EQ(config->scheduleConfig(), schedule);
    EXPECT_EQ(config->activeTeacherId(), "A");
    EXPECT_FALSE(exists(ctx.folder.teacherConfigsDirectory()));
}

TEST_F(SessionsTest, StartLoadsTheTeachersSettingsInOneQueuedStep) {
    ctx.folder.saveTeacherConfig("A", saved());
    fillLiveData();
    clock->set(1000);
    sessions->startTeacherSession(teacher("A", "Anne"));
    EXPECT_FALSE(config->activeTeacherId());  // nothing changed before the step runs
    EXPECT_EQ(logger->entries().size(), 0u);
    EXPECT_THAT(journal(), ElementsAre(JournalLine{AppLogLevel::info, "Session démarrée : Anne"}));
    auto v = config->snapshot();
    EXPECT_EQ(v.activeTeacherId, "A");
    EXPECT_EQ(v.activeTeacherName, "Anne");
    EXPECT_EQ(v.sessionStartTime, 1000);
    EXPECT_EQ(v.lastActivityTime, 1000);
    EXPECT_EQ(v.teacherConfig(), saved());
    expectNoLiveData();
}

TEST_F(SessionsTest, FirstSessionOfATeacherHasTheInitialSettings) {
    config->update([](AppConfig::Values& v) { v.audience = "enseignants"; v.pinCode = "1111"; });
    sessions->startTeacherSession(teacher("NEW", "Nina"));
    queue->drain();
    EXPECT_EQ(config->teacherConfig(), TeacherConfig{});
}

TEST_F(SessionsTest, EndSavesTheSettingsReadAtTheCallAndResets) {
    sessions->startTeacherSession(teacher("A", "Anne"));
    queue->drain();
    config->update([&](AppConfig::Values& v) { v.applyTeacherConfig(saved()); });
    fillLiveData();
    journal();

    sessions->endTeacherSession();
    EXPECT_EQ(ctx.folder.loadTeacherConfig("A"), saved());  // saved on the calling thread
    EXPECT_EQ(config->activeTeacherId(), "A");              // reset not yet run
    EXPECT_THAT(journal(), ElementsAre(JournalLine{AppLogLevel::info, "Session terminée : Anne"}));
    auto v = config->snapshot();
    EXPECT_FALSE(v.activeTeacherId);
    EXPECT_EQ(v.activeTeacherName, "");
    EXPECT_EQ(v.sessionStartTime, 0);
    EXPECT_EQ(v.lastActivityTime, 0);
    EXPECT_EQ(v.teacherConfig(), TeacherConfig{});
    expectNoLiveData();
    EXPECT_EQ(ctx.folder.loadTeacherConfig("A"), saved());  // the reset wrote nothing
}

TEST_F(SessionsTest, EndWithoutSessionOnlyResets) {
    config->update([&](AppConfig::Values& v) { v.applyTeacherConfig(saved()); });
    fillLiveData();
    sessions->endTeacherSession();
    EXPECT_TRUE(journal().empty());
    EXPECT_EQ(config->teacherConfig(), TeacherConfig{});
    expectNoLiveData();
    EXPECT_FALSE(exists(ctx.folder.teacherConfigsDirectory()));
}

TEST_F(SessionsTest, StepsRunInCallOrderFromAnyThread) {
    // A start then an end, called from a connection thread, leave no session.
    std::thread([&] {
        sessions->startTeacherSession(teacher("A", "Anne"));
        sessions->endTeacherSession();
    }).join();
    queue->drain();
    EXPECT_FALSE(config->activeTeacherId());

    // A takeover replaces the session without saving the previous teacher.
    sessions->startTeacherSession(teacher("A", "Anne"));
    queue->drain();
    config->setAudience("eleves");
    sessions->startTeacherSession(teacher("B", "Bruno"));
    queue->drain();
    EXPECT_EQ(config->activeTeacherId(), "B");
    EXPECT_FALSE(exists(*ctx.folder.teacherConfigFile("A")));
}

TEST_F(SessionsTest, PersistSavesOnlyAnActiveTeacherInTheEstablishmentMode) {
    auto file = *ctx.folder.teacherConfigFile("A");
    config->update([&](AppConfig::Values& v) {
        v.activeTeacherId = "A";
        v.applyTeacherConfig(saved());
    });
    sessions->persistTeacherConfig();  // individual mode
    EXPECT_FALSE(exists(file));

    config->setAppMode("establishment");
    config->setActiveTeacherId(std::nullopt);
    sessions->persistTeacherConfig();
    EXPECT_FALSE(exists(file));

    config->setActiveTeacherId("A");
    sessions->persistTeacherConfig();
    EXPECT_EQ(ctx.folder.loadTeacherConfig("A"), saved());
    EXPECT_TRUE(journal().empty());
}

TEST_F(SessionsTest, TouchLastActivityStampsNowOnTheMainQueue) {
    clock->set(5000);
    sessions->touchLastActivity();
    EXPECT_EQ(config->lastActivityTime(), 0);
    queue->drain();
    EXPECT_EQ(config->lastActivityTime(), 5000);
}

TEST_F(SessionsTest, IdleRule) {
    const double monday0830 = localTime(2026, 1, 5, 8, 30);
    const double saturday = localTime(2026, 1, 10, 8, 30);
    const std::string today = weekKey(monday0830) + "_monday_";
    struct Case {
        const char* what;
        std::string mode;
        double now;
        double idleSeconds;
        std::map<std::string, std::string> reservations;
        bool ends;
    } cases[] = {
        {"1800 s idle stays", "establishment", monday0830, 1800, {}, false},
        {"1801 s idle ends", "establishment", monday0830, 1801, {}, true},
        {"booked period running keeps it", "establishment", monday0830, 7200, {{today + "0", "A"}}, false},
        {"booked period to come keeps it", "establishment", monday0830, 7200, {{today + "3", "A"}}, false},
        {"another teacher's booking does not", "establishment", monday0830, 1801, {{today + "0", "B"}}, true},
        {"weekend: no booked period", "establishment", saturday, 1801, {{today + "0", "A"}}, true},
        {"individual mode never ends it", "individual", monday0830, 7200, {}, false},
        {"an unknown mode is not the establishment mode", "Establishment", monday0830, 7200, {}, false},
    };
    for (const Case& c : cases) {
        config->update([&](AppConfig::Values& v) {
            v.appMode = c.mode;
            v.activeTeacherId = "A";
            v.lastActivityTime = c.now - c.idleSeconds;
            v.scheduleConfig = ScheduleConfig::defaultSchedule();
            v.scheduleConfig.reservations = c.reservations;
        });
        EXPECT_EQ(sessions->applySessionEndRule(c.now), c.ends) << c.what;
        queue->drain();
        EXPECT_EQ(config->activeTeacherId().has_value(), !c.ends) << c.what;
    }

    // A last activity of 0 never ends a session; neither does no session at all.
    config->update([&](AppConfig::Values& v) {
        v.appMode = "establishment";
        v.activeTeacherId = "A";
        v.lastActivityTime = 0;
    });
    EXPECT_FALSE(sessions->applySessionEndRule(monday0830));
    config->setActiveTeacherId(std::nullopt);
    config->setLastActivityTime(1);
    EXPECT_FALSE(sessions->applySessionEndRule(monday0830));
}

TEST_F(SessionsTest, AfterTheBookedPeriodTheIdleRuleApplies) {
    // Slot 0 booked today (08:00-09:45): at 10:00 the period is over; the
    // session goes on until it has been idle for more than 1800 s.
    const double at1000 = localTime(2026, 1, 5, 10, 0);
    config->update([&](AppConfig::Values& v) {
        v.appMode = "establishment";
        v.activeTeacherId = "A";
        v.scheduleConfig.reservations = {{weekKey(at1000) + "_monday_0", "A"}};
        v.lastActivityTime = localTime(2026, 1, 5, 9, 40);
    });
    EXPECT_FALSE(sessions->applySessionEndRule(at1000));  // 20 minutes idle
    EXPECT_TRUE(sessions->applySessionEndRule(localTime(2026, 1, 5, 10, 10, 1)));
}

}  // namespace
}  // namespace klarion
