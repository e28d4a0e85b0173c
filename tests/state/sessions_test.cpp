#include "app/state/sessions.h"

#include <thread>

#include "app/state/slot_times.h"
#include "tests/support/state_fixture.h"

namespace klarion {
namespace {

using ::testing::ElementsAre;
using testing::JournalLine;
using testing::localTime;

class SessionsTest : public testing::StateTest {
protected:
    void SetUp() override {
        StateTest::SetUp();
        sessions = std::make_shared<TeacherSessions>(ctx);
    }
    void fillLiveData() {
        config->update([](AppConfig::Values& v) {
            v.wordFrequency = {{"chat", 3}};
            v.connectedStudents = {{"10.0.0.2", "Léo"}};
            v.liveQuestions = {LiveQuestion{"Q", "Léo", "10.0.0.2", "?", 1}};
            v.safetyAlerts = {SafetyAlert{"S", "Léo", "10.0.0.2", "t", "r", SafetyAlertLevel::keyword, 1, false}};
        });
    }
    // The session fields and the live class data after a start or an end.
    void expectSession(std::optional<std::string> id, std::string name, double start, TeacherConfig settings) {
        AppConfig::Values expected = config->snapshot();
        expected.activeTeacherId = id;
        expected.activeTeacherName = name;
        expected.sessionStartTime = expected.lastActivityTime = start;
        expected.applyTeacherConfig(settings);
        expected.wordFrequency.clear(), expected.connectedStudents.clear();
        expected.liveQuestions.clear(), expected.safetyAlerts.clear();
        EXPECT_EQ(config->snapshot(), expected);
    }
    std::shared_ptr<TeacherSessions> sessions;
};

TEST_F(SessionsTest, ChangeModeTowardsEstablishmentReadsTheFilesOtherModesKeepEverything) {
    ctx.folder.saveTeachers({teacher("A", "Anne")});
    sessions->changeMode("establishment");
    EXPECT_EQ(config->appMode(), "establishment");
    EXPECT_EQ(ctx.folder.loadAppMode(), "establishment");
    EXPECT_THAT(config->teachers(), ElementsAre(teacher("A", "Anne")));
    EXPECT_EQ(config->scheduleConfig(), ScheduleConfig::defaultSchedule());
    EXPECT_THAT(journal(), ElementsAre(JournalLine{AppLogLevel::info, "Mode changé → establishment"}));
    writeFileAtomic(ctx.folder.teachersFile(), "[{\"id\":1}]");
    sessions->changeMode("establishment");
    EXPECT_TRUE(config->teachers().empty());  // a damaged roster file empties the roster

    config->setTeachers({teacher("A", "Anne")});
    config->setActiveTeacherId("A");
    ScheduleConfig schedule{{SlotDefinition{"X", "08:00", "09:00"}}, {}};
    config->setScheduleConfig(schedule);
    sessions->changeMode("individual");
    EXPECT_EQ(ctx.folder.loadAppMode(), "individual");
    EXPECT_EQ(config->teachers().size(), 1u);
    EXPECT_EQ(config->scheduleConfig(), schedule);
    EXPECT_EQ(config->activeTeacherId(), "A");
    EXPECT_FALSE(exists(ctx.folder.teacherConfigsDirectory()));
}

TEST_F(SessionsTest, StartAndEndGoThroughTheQueueInOneStepEach) {
    ctx.folder.saveTeacherConfig("A", edited());
    fillLiveData();
    clock->set(1000);
    sessions->startTeacherSession(teacher("A", "Anne"));
    EXPECT_FALSE(config->activeTeacherId());  // nothing changed before the step runs
    EXPECT_TRUE(logger->entries().empty());
    EXPECT_THAT(journal(), ElementsAre(JournalLine{AppLogLevel::info, "Session démarrée : Anne"}));
    expectSession("A", "Anne", 1000, edited());

    TeacherConfig changed = edited();
    changed.customMission = "Les volcans";
    config->setCustomMission(changed.customMission);
    fillLiveData();
    sessions->endTeacherSession();
    EXPECT_EQ(ctx.folder.loadTeacherConfig("A"), changed);  // saved on the calling thread
    EXPECT_EQ(config->activeTeacherId(), "A");              // reset not yet run
    EXPECT_THAT(journal(), ElementsAre(JournalLine{AppLogLevel::info, "Session terminée : Anne"}));
    expectSession(std::nullopt, "", 0, TeacherConfig{});
    EXPECT_EQ(ctx.folder.loadTeacherConfig("A"), changed);  // the reset wrote nothing

    auto edit = [&] {
        config->update([](AppConfig::Values& v) {
            v.audience = "enseignants";
            v.pinCode = "1111";
        });
    };
    edit();
    fillLiveData();
    sessions->endTeacherSession();  // without a session: only the reset, no file
    EXPECT_TRUE(journal().empty());
    expectSession(std::nullopt, "", 0, TeacherConfig{});
    auto files = std::filesystem::directory_iterator(ctx.folder.teacherConfigsDirectory());
    EXPECT_EQ(std::distance(files, {}), 1);
    edit();
    sessions->startTeacherSession(teacher("NEW", "Nina"));  // a first session has the initial settings
    queue->drain();
    EXPECT_EQ(config->teacherConfig(), TeacherConfig{});
}

TEST_F(SessionsTest, StepsRunInCallOrderFromAnyThread) {
    std::thread([&] {
        sessions->startTeacherSession(teacher("A", "Anne"));
        sessions->endTeacherSession();
        clock->set(5000);
        sessions->touchLastActivity();
    }).join();
    EXPECT_EQ(config->lastActivityTime(), 0);
    queue->drain();
    EXPECT_FALSE(config->activeTeacherId());  // a start then an end leave no session
    EXPECT_EQ(config->lastActivityTime(), 5000);
}

TEST_F(SessionsTest, PersistSavesOnlyAnActiveTeacherInTheEstablishmentMode) {
    config->update([&](AppConfig::Values& v) { v.applyTeacherConfig(edited()); });
    using Case = std::tuple<std::string, std::optional<std::string>, bool>;
    for (auto [mode, id, saves] : {Case{"individual", "A", false}, Case{"establishment", std::nullopt, false},
                                   Case{"establishment", "A", true}}) {
        config->update([&](AppConfig::Values& v) { v.appMode = mode, v.activeTeacherId = id; });
        sessions->persistTeacherConfig();
        EXPECT_EQ(exists(*ctx.folder.teacherConfigFile("A")), saves) << mode;
    }
    EXPECT_EQ(ctx.folder.loadTeacherConfig("A"), edited());
    EXPECT_TRUE(journal().empty());
}

TEST_F(SessionsTest, IdleRule) {
    const double monday0830 = localTime(2026, 1, 5, 8, 30), saturday = localTime(2026, 1, 10, 8, 30);
    const double monday1000 = localTime(2026, 1, 5, 10, 0), idleSince0940 = monday1000 - localTime(2026, 1, 5, 9, 40);
    const std::string today = weekKey(monday0830) + "_monday_";
    const struct {
        const char* what;
        std::string mode;
        double now, idleSeconds;
        std::map<std::string, std::string> reservations;
        bool ends;
    } cases[] = {
        {"1800 s idle stays", "establishment", monday0830, 1800, {}, false},
        {"1801 s idle ends", "establishment", monday0830, 1801, {}, true},
        {"booked period running keeps it", "establishment", monday0830, 7200, {{today + "0", "A"}}, false},
        {"booked period to come keeps it", "establishment", monday0830, 7200, {{today + "3", "A"}}, false},
        {"another teacher's booking does not", "establishment", monday0830, 1801, {{today + "0", "B"}}, true},
        {"weekend: no booked period", "establishment", saturday, 1801, {{today + "0", "A"}}, true},
        // Slot 0 (08:00-09:45) is over at 10:00: only the idle time counts.
        {"after the booked period, 20 min idle",
         "establishment",
         monday1000,
         idleSince0940,
         {{today + "0", "A"}},
         false},
        {"after the booked period, 1801 s idle", "establishment", monday1000, 1801, {{today + "0", "A"}}, true},
        {"individual mode never ends it", "individual", monday0830, 7200, {}, false},
        {"an unknown mode is not the establishment mode", "Establishment", monday0830, 7200, {}, false},
        {"a last activity of 0 never ends it", "establishment", monday0830, monday0830, {}, false},
    };
    for (const auto& c : cases) {
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
    config->setActiveTeacherId(std::nullopt);  // nor does no session at all
    config->setLastActivityTime(1);
    EXPECT_FALSE(sessions->applySessionEndRule(monday0830));
}

}  // namespace
}  // namespace klarion
