#include "ui/panel/content_view.h"

#include <thread>

#include "tests/support/state_fixture.h"
#include "app/state/slot_times.h"

namespace klarion {
namespace {

using ::testing::ElementsAre;
using testing::JournalLine;
using testing::fileMode;

class ContentViewTest : public testing::StateTest {
protected:
    void SetUp() override {
        StateTest::SetUp();
        view = std::make_unique<ContentView>(ctx);
        panel = view->panel();
        view->lmStudioProbes.probeStatus = [&](double timeout) { probes.push_back(timeout); };
    }
    void TearDown() override {
        view.reset();
        StateTest::TearDown();
    }
    // A user action at the Mac: the window runs it as a main-queue task.
    void atTheMac(const std::function<void()>& action) { queue->runTask(action); }
    std::string teacherFile(const std::string& id) { return fileText(*ctx.folder.teacherConfigFile(id)); }
    void startSession(const std::string& id, const std::string& name) {
        view->startTeacherSession(teacher(id, name));
        queue->drain();
    }

    std::unique_ptr<ContentView> view;
    std::shared_ptr<PanelState> panel;
    std::vector<double> probes;
};

TEST_F(ContentViewTest, SessionResetAndTakeoverNeverOverwriteATeachersFile) {
    config->setAppMode("establishment");
    ctx.folder.saveTeacherConfig("A", edited());
    startSession("A", "Anne");
    EXPECT_EQ(config->teacherConfig(), edited());

    // A change at the Mac is saved for the active teacher by the reaction.
    atTheMac([&] { config->setAudience("enseignants"); });
    TeacherConfig changed = edited();
    changed.audience = "enseignants";
    EXPECT_EQ(ctx.folder.loadTeacherConfig("A"), changed);
    const std::string before = teacherFile("A");

    // The end-session route calls from a connection thread; the reset then
    // runs on the main queue with its reactions.
    std::thread([&] { view->sessions()->endTeacherSession(); }).join();
    queue->drain();
    EXPECT_FALSE(config->activeTeacherId());
    EXPECT_EQ(config->teacherConfig(), TeacherConfig{});
    EXPECT_EQ(teacherFile("A"), before);
    atTheMac([&] { config->setAudience("eleves"); });  // later changes without a session write no file
    EXPECT_EQ(teacherFile("A"), before);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(ctx.folder.teacherConfigsDirectory()), {}), 1);

    startSession("A", "Anne");
    startSession("B", "Bruno");  // a takeover
    EXPECT_EQ(config->activeTeacherId(), "B");
    EXPECT_EQ(config->teacherConfig(), TeacherConfig{});
    EXPECT_EQ(teacherFile("A"), before);
}

TEST_F(ContentViewTest, MissionAndClassPinChangesAreNotSavedByTheReaction) {
    config->setAppMode("establishment");
    startSession("A", "Anne");
    ctx.folder.saveTeacherConfig("A", edited());  // the file differs from memory
    // The mission route writes the mission alone; the class PIN is saved by
    // whoever changes it.
    atTheMac([&] { config->setCustomMission("En mémoire seulement"); });
    atTheMac([&] { config->setPinCode("0999"); });
    EXPECT_EQ(ctx.folder.loadTeacherConfig("A"), edited());
}

TEST_F(ContentViewTest, ClassLockReaction) {
    config->setAppMode("establishment");
    config->setActiveTeacherId("A");
    journal();

    atTheMac([&] { config->setRequiresPin(true); });
    const std::string drawn = config->pinCode();
    // The journal line tells the draw happened (a draw may give "8461" again).
    EXPECT_EQ(drawn.size(), 4u);
    EXPECT_THAT(journal(), ElementsAre(JournalLine{AppLogLevel::debug, "PIN élève régénéré (toggle)"}));
    EXPECT_EQ(ctx.folder.loadTeacherConfig("A").pinCode, drawn);
    EXPECT_TRUE(ctx.folder.loadTeacherConfig("A").requiresPin);

    atTheMac([&] { config->setPinCode("0427"); });
    atTheMac([&] { config->setRequiresPin(false); });  // off: the PIN stays, the change is saved
    EXPECT_EQ(config->pinCode(), "0427");
    EXPECT_FALSE(ctx.folder.loadTeacherConfig("A").requiresPin);
    atTheMac([&] { config->setRequiresPin(true); });  // on with another PIN: kept
    EXPECT_EQ(config->pinCode(), "0427");
    EXPECT_TRUE(journal().empty());

    // Two settings changed by one task (a route's update): both reach the file.
    queue->post([&] {
        config->setSupervisionLevel("questions");
        config->setIsSupervisionActive(true);
    });
    queue->drain();
    TeacherConfig file = ctx.folder.loadTeacherConfig("A");
    EXPECT_EQ(file.supervisionLevel, "questions");
    EXPECT_TRUE(file.isSupervisionActive);
}

TEST_F(ContentViewTest, ReactionsWriteNothingWithoutAnEstablishmentSession) {
    atTheMac([&] { config->setAudience("eleves"); });  // individual mode, no session
    config->setActiveTeacherId("A");
    atTheMac([&] { config->setAudience("enseignants"); });  // individual mode with a leftover id
    config->setAppMode("establishment");
    config->setActiveTeacherId(std::nullopt);
    atTheMac([&] { config->setAudience("visiteurs"); });  // no session
    view.reset();                                         // no reactions once the panel is gone
    config->setActiveTeacherId("A");
    atTheMac([&] { config->setAudience("eleves"); });
    EXPECT_FALSE(exists(ctx.folder.teacherConfigsDirectory()));
}

TEST_F(ContentViewTest, OnAppearAndTimerTick) {
    view->onAppear();  // first launch: nothing on disk, nothing created
    EXPECT_EQ(config->appMode(), "individual");
    EXPECT_FALSE(exists(ctx.folder.directory()));
    EXPECT_THAT(journal(),
                ElementsAre(JournalLine{AppLogLevel::info, "Application démarrée — version 1.4 (PIN enseignant: " +
                                                               config->teacherPinCode() + ")"}));
    ctx.folder.saveAppMode("establishment");
    ctx.folder.saveTeachers({teacher("A", "Anne")});
    ScheduleConfig schedule{{{"Seul", "08:00", "12:00"}}, {}};
    ctx.folder.saveSchedule(schedule);
    view->onAppear();
    EXPECT_EQ(config->appMode(), "establishment");
    EXPECT_THAT(config->teachers(), ElementsAre(teacher("A", "Anne")));
    EXPECT_EQ(config->scheduleConfig(), schedule);

    const double now = clock->now();
    config->setTimerEndTime(now + 1);
    view->onTimerTick();
    EXPECT_FALSE(config->isAiPaused());
    EXPECT_EQ(config->timerEndTime(), now + 1);
    clock->advance(1);  // the end is reached at this very second
    view->onTimerTick();
    EXPECT_TRUE(config->isAiPaused());
    EXPECT_EQ(config->timerEndTime(), 0);
    EXPECT_THAT(probes, ElementsAre(1.0, 1.0, 1.0, 1.0));

    // The tick applies the idle rule to an establishment session.
    config->update([&](AppConfig::Values& v) { v.activeTeacherId = "A", v.lastActivityTime = clock->now() - 1801; });
    view->onTimerTick();
    queue->drain();
    EXPECT_FALSE(config->activeTeacherId());
}

TEST_F(ContentViewTest, StartStopActionGoesThroughTheSeamsOneCheckAtATime) {
    std::vector<std::string> calls;
    view->startStopAction();  // no seam plugged in: nothing happens
    EXPECT_FALSE(panel->showingAlert);
    std::vector<StartPrecheck> checks;
    view->lmStudioProbes.probeBeforeStart = [&](double timeout, StartPrecheck precheck) {
        calls.push_back("probe " + std::to_string(timeout).substr(0, 3));
        checks.push_back(std::move(precheck));
    };
    view->serverControl.startServer = [&](int64_t port, const std::string& host) {
        calls.push_back("start " + std::to_string(port) + " " + host);
        return true;
    };
    view->serverControl.stopServer = [&] { calls.push_back("stop"); };

    view->startStopAction();
    view->startStopAction();  // a second press while the check runs
    EXPECT_THAT(calls, ElementsAre("probe 2.0"));
    checks[0].showAlert("Aucun modèle chargé", "Veuillez charger un modèle.");
    EXPECT_EQ(std::tie(panel->alertTitle, panel->alertMessage, panel->showingAlert),
              std::make_tuple("Aucun modèle chargé", "Veuillez charger un modèle.", true));
    view->startStopAction();
    panel->selectedPort = 8080;
    checks[1].startServer();
    const std::string start = "start 8080 " + panel->hostName;
    EXPECT_THAT(calls, ElementsAre("probe 2.0", "probe 2.0", start));
    EXPECT_TRUE(panel->isRunning);
    view->startStopAction();
    EXPECT_THAT(calls, ElementsAre("probe 2.0", "probe 2.0", start, "stop"));
    EXPECT_FALSE(panel->isRunning);
}

TEST_F(ContentViewTest, ActionsReadAndClearTheirPanelFields) {
    panel->newTeacherName = "   ";
    view->addTeacher();
    EXPECT_EQ(panel->newTeacherName, "   ");
    EXPECT_TRUE(config->teachers().empty());
    panel->newTeacherName = " Anne\n";
    view->addTeacher();
    EXPECT_EQ(panel->newTeacherName, "");
    ASSERT_EQ(config->teachers().size(), 1u);

    const std::string key = weekKey(clock->now()) + "_monday_0";
    panel->selectedTeacherForSlot = config->teachers()[0].id;
    view->setReservation(key);
    EXPECT_EQ(config->scheduleConfig().reservations.at(key), config->teachers()[0].id);
    panel->selectedTeacherForSlot.reset();
    view->setReservation(key);
    EXPECT_TRUE(config->scheduleConfig().reservations.empty());
    EXPECT_EQ(panel->hostName.find('.'), std::string::npos);
}

TEST_F(ContentViewTest, ADeletedTeacherIsNeverBooked) {
    for (const char* name : {"Anne", "Bruno"}) {
        panel->newTeacherName = name;
        view->addTeacher();
    }
    const std::vector<Teacher> teachers = config->teachers();
    const std::string key = weekKey(clock->now()) + "_monday_0";
    // The selected teacher deleted: the selection goes with them.
    panel->selectedTeacherForSlot = teachers[0].id;
    view->deleteTeacher(teachers[0].id);
    EXPECT_EQ(panel->selectedTeacherForSlot, std::nullopt);
    // Another teacher deleted: the selection stays.
    panel->selectedTeacherForSlot = teachers[1].id;
    view->deleteTeacher("someone else");
    EXPECT_EQ(panel->selectedTeacherForSlot, teachers[1].id);
    // An id gone from the list by any other way books nothing and frees the cell.
    view->setReservation(key);
    config->setTeachers({});
    view->setReservation(key);
    EXPECT_EQ(config->scheduleConfig().reservations.count(key), 0u);
    EXPECT_EQ(panel->selectedTeacherForSlot, std::nullopt);
}


TEST_F(ContentViewTest, LogFoldersOpenedFromThePanelAreTheOwnersOnly) {
    // They hold the students' questions, like the class logs written into them.
    view->openLogsRootFolder();
    view->showLogsFolder();
    for (const std::filesystem::path& folder : {ctx.folder.documents() / "Klarion_Logs", view->logsFolder()}) {
        EXPECT_EQ(fileMode(folder), 0700u) << folder;
    }
}

}  // namespace
}  // namespace klarion
