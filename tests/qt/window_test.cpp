// The window offscreen: widgets found by name, gestures sent to them, the
// panel model and a fake LM Studio behind.
#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QMenuBar>
#include <QStackedWidget>
#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QThread>

#include <gmock/gmock.h>

#include "tests/support/loopback_client.h"
#include "app/state/week_keys.h"
#include "tests/support/scratch.h"
#include "tests/support/fake_desktop.h"
#include "tests/support/fake_lmstudio.h"
#include "ui/qt/journal_window.h"
#include "ui/qt/main_window.h"
#include "ui/qt/qt_main_queue.h"

namespace klarion::qt {
namespace {

// Runs the event loop until `done()` or about ten seconds have passed.
bool waitFor(const std::function<bool()>& done) {
    for (int i = 0; i < 1000 && !done(); ++i) {
        QApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(10);
    }
    return done();
}

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(fake.start());
        StateContext state;
        state.config = std::make_shared<AppConfig>(std::make_shared<PreferenceStore>(scratch.home() / "prefs.json"));
        state.logger = std::make_shared<AppLogger>(mainQueue());
        state.logger->setEnabled(true);
        state.folder = ConfigFolder(scratch.home() / "Documents");
        app = std::make_unique<Application>(ApplicationOptions{fake.baseUrl(), scratch.home()}, state);
        app->view().desktop = desktop;
        app->view().panel()->hostName = "Salle 12";
        window = std::make_unique<MainWindow>(*app);
        window->show();
    }
    void TearDown() override {
        window.reset();
        app.reset();
    }
    template <class T = QWidget>
    T* find(const char* name) {
        T* widget = window->findChild<T*>(name);
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }
    QString label(const char* name) { return find<QLabel>(name)->text(); }
    bool shown(const char* name) { return !find(name)->isHidden(); }
    void click(const char* name) {
        find<QAbstractButton>(name)->click();
        drain();
    }
    void drain() {
        for (int i = 0; i < 20; ++i) QApplication::processEvents();
    }

    testing::ScratchHome scratch;
    FakeLmStudio fake;
    std::shared_ptr<test::FakeDesktop> desktop = std::make_shared<test::FakeDesktop>();
    std::unique_ptr<Application> app;
    std::unique_ptr<MainWindow> window;
};

TEST_F(WindowTest, FrameMenusTabsAndAbout) {
    QStringList menus;
    for (QAction* action : window->menuBar()->actions()) menus << action->text();
    EXPECT_EQ(menus, QStringList({"Outils", "Fenêtre"}));
    auto* pages = find<QStackedWidget>("pages");
    EXPECT_EQ(pages->currentIndex(), 0);
    EXPECT_EQ(find("tabSelector")->findChildren<QAbstractButton*>().size(), 2);
    click("tabSelector_1");
    drain();
    EXPECT_EQ(pages->currentIndex(), 1);

    click("modePicker_establishment");
    drain();
    EXPECT_EQ(app->view().config()->appMode(), "establishment");
    EXPECT_EQ(find("tabSelector")->findChildren<QAbstractButton*>().size(), 3);
    EXPECT_TRUE(shown("modeWarning"));
    click("tabSelector_2");
    drain();
    EXPECT_EQ(pages->currentIndex(), 2);
    click("modePicker_individual");
    drain();
    EXPECT_EQ(pages->currentIndex(), 3);  // the leftover third tab shows nothing

    click("aboutButton");
    drain();
    ASSERT_TRUE(waitFor([&] { return window->findChild<QWidget*>("aboutDialog") != nullptr; }));
    EXPECT_EQ(window->findChild<QLabel*>("aboutVersion")->text(), "Version " KLARION_VERSION_TEXT);
}

TEST_F(WindowTest, StartWithTheFakeThenStop) {
    app->view().panel()->selectedPort = 0;  // a free port
    window->act([&] { app->view().onTimerTick(); });
    ASSERT_TRUE(waitFor([&] { return label("lmStatus") == "LM Studio prêt (Port 1234)"; }));

    click("startStopButton");
    ASSERT_TRUE(waitFor([&] { return app->view().panel()->isRunning && !app->view().panel()->ipURL.empty(); }));
    EXPECT_EQ(find<QAbstractButton>("startStopButton")->text(), "Arrêter le serveur");
    EXPECT_FALSE(find("portPicker")->isEnabled());
    EXPECT_FALSE(find("modePicker")->isEnabled());
    const uint16_t port = app->server().listeningPort().value_or(0);
    EXPECT_EQ(testing::request(port, "GET", "/api/config").status, 200);
    const std::string local = "http://Salle-12.local:0/teacher";
    EXPECT_EQ(find<QRWidget>("qrCode")->encodedText().toStdString(), local);

    click("copyTeacherLink");
    click("openDashboard");
    EXPECT_THAT(desktop->copiedTexts, ::testing::ElementsAre(local));
    EXPECT_THAT(desktop->openedURLs, ::testing::ElementsAre(local + "#pin=" + app->view().config()->teacherPinCode()));

    click("startStopButton");
    drain();
    EXPECT_FALSE(app->view().panel()->isRunning);
    EXPECT_TRUE(find("portPicker")->isEnabled());
    EXPECT_FALSE(testing::request(port, "GET", "/api/config").complete);

    fake.setRefusing(true);
    window->act([&] { app->view().onTimerTick(); });
    EXPECT_TRUE(waitFor([&] { return label("lmStatus") == "LM Studio hors ligne"; }));
    click("startStopButton");
    ASSERT_TRUE(waitFor([&] { return window->findChild<QWidget*>("generalAlert") != nullptr; }));
    EXPECT_EQ(window->findChild<QWidget*>("generalAlert")->windowTitle(), "LM Studio inaccessible");
}

TEST_F(WindowTest, ClassControlsReachTheStateAndBack) {
    auto config = app->view().config();
    click("tabSelector_1");
    click("requiresPin");
    drain();
    EXPECT_TRUE(config->requiresPin());
    const std::string pin = config->pinCode();
    EXPECT_NE(pin, AppConfig::defaultClassPin);
    EXPECT_EQ(label("classPin").toStdString(), pin);
    int redraws = 0;
    for (const AppLogEntry& entry : app->view().context().logger->entries()) {
        redraws += entry.message == "PIN élève régénéré (toggle)";
    }
    EXPECT_EQ(redraws, 1);  // exactly one PIN drawn

    click("supervisionActive");
    drain();
    EXPECT_TRUE(config->isSupervisionActive());
    EXPECT_TRUE(shown("recordingLevelRow"));
    click("logsFolderButton");
    EXPECT_EQ(desktop->shownFolders.back(), scratch.home() / "Documents" / "Klarion_Logs");

    // A change made by the dashboard arrives through the main queue.
    mainQueue()->post([&] {
        config->setAudience("eleves");
        config->setIsAiPaused(true);
    });
    EXPECT_TRUE(waitFor([&] { return find<QAbstractButton>("audiencePicker_eleves")->isChecked(); }));
    EXPECT_TRUE(shown("pauseBanner"));

    click("renewTeacherPin");
    EXPECT_EQ(label("teacherPin").toStdString(), config->teacherPinCode());
    EXPECT_EQ(app->view().config()->preferences()->string("KLR_teacherPinCode"), config->teacherPinCode());
}

// Closes the alert of that name with the named button (the default one when empty).
void answerAlert(MainWindow& window, const char* alert, const char* button = nullptr) {
    ASSERT_TRUE(waitFor([&] { return window.findChild<QMessageBox*>(alert) != nullptr; })) << alert;
    auto* box = window.findChild<QMessageBox*>(alert);
    if (button) {
        box->findChild<QAbstractButton*>(button)->click();
    } else {
        box->buttons().front()->click();
    }
    waitFor([&] { return window.findChild<QMessageBox*>(alert) == nullptr; });
}

class TeachersTabTest : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        window->act([&] { app->view().changeMode("establishment"); });
        drain();
        click("tabSelector_2");
    }
    std::vector<std::string> names() {
        std::vector<std::string> out;
        for (const Teacher& t : app->view().config()->teachers()) out.push_back(t.name);
        return out;
    }
    void addTeacher(const char* name) {
        QTest::keyClicks(find<QLineEdit>("newTeacherName"), name);
        drain();
        click("addTeacher");
    }
};

TEST_F(TeachersTabTest, AddRenewDeleteAndCSVRoundTrip) {
    EXPECT_FALSE(find<QAbstractButton>("addTeacher")->isEnabled());
    addTeacher("Anne Martin");
    addTeacher("Bruno");
    EXPECT_THAT(names(), ::testing::ElementsAre("Anne Martin", "Bruno"));
    EXPECT_EQ(find<QLineEdit>("newTeacherName")->text(), "");
    const std::string pin = app->view().config()->teachers()[0].pin;
    click("renewPin0");
    EXPECT_NE(app->view().config()->teachers()[0].pin, pin);
    EXPECT_EQ(app->view().config()->teachers()[1].pin.size(), 6u);

    const auto csv = scratch.root() / "Klarion_Enseignants.csv";
    desktop->saveAnswers.push_back(csv);
    click("exportTeachersCSV");
    answerAlert(*window, "csvAlert");
    EXPECT_EQ(desktop->saveRequests.back().proposedName, "Klarion_Enseignants.csv");

    click("deleteTeacher0");
    answerAlert(*window, "deleteConfirmation", "cancelDelete");
    EXPECT_EQ(names().size(), 2u);
    click("deleteTeacher0");
    answerAlert(*window, "deleteConfirmation", "confirmDelete");
    EXPECT_THAT(names(), ::testing::ElementsAre("Bruno"));

    desktop->openAnswers.push_back(OpenDialogResult::chosen({csv}));
    click("importTeachersCSV");
    EXPECT_EQ(app->view().panel()->teacherCSVMessage, "Import terminé !\n1 ajouté(s), 0 mis à jour, 1 ignoré(s).");
    answerAlert(*window, "csvAlert");
    EXPECT_THAT(names(), ::testing::ElementsAre("Bruno", "Anne Martin"));
    EXPECT_EQ(app->view().context().folder.readTeachers(), app->view().config()->teachers());
}

TEST_F(TeachersTabTest, SlotsAndBookingsReachTheScheduleFile) {
    auto saved = [&] { return app->view().context().folder.readSchedule().value_or(ScheduleConfig{}); };
    click("moreSlots");
    click("moreSlots");
    ASSERT_EQ(saved().slotDefinitions.size(), 6u);
    EXPECT_EQ(saved().slotDefinitions[5].label, "Créneau 6");

    window->activateWindow();
    auto* start = find<QLineEdit>("slotStart0");
    start->setFocus();
    start->selectAll();
    QTest::keyClicks(start, "9");
    drain();
    EXPECT_EQ(start->text(), "09:00");  // shown normalised, still being typed in
    EXPECT_EQ(start->cursorPosition(), 1);
    EXPECT_EQ(saved().slotDefinitions[0].start, "09:00");
    QTest::keyClicks(find<QLineEdit>("slotEnd0"), "x");
    drain();
    EXPECT_EQ(saved().slotDefinitions[0].end, app->view().config()->scheduleConfig().slotDefinitions[0].end);

    addTeacher("Anne Martin");
    auto* picker = find<QComboBox>("teacherForSlot");
    picker->setCurrentIndex(1);
    emit picker->activated(1);
    drain();
    click("cell_0_0");
    const std::string key = weekKey(app->view().context().now()) + "_monday_0";
    EXPECT_EQ(saved().reservations.at(key), app->view().config()->teachers()[0].id);
    EXPECT_EQ(find<QAbstractButton>("cell_0_0")->text(), "A. Martin");
    picker->setCurrentIndex(0);
    emit picker->activated(0);
    click("cell_0_0");
    EXPECT_EQ(saved().reservations.count(key), 0u);
    EXPECT_EQ(find<QAbstractButton>("cell_0_0")->text(), "—");
}

TEST_F(WindowTest, JournalShortcutAndWindow) {
    auto logger = app->view().context().logger;
    logger->setEnabled(false);
    QApplication::setActiveWindow(window.get());
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    QTest::keySequence(window.get(), QKeySequence("Ctrl+Shift+L"));
    drain();
    EXPECT_TRUE(logger->isEnabled());
    EXPECT_EQ(logger->entries().back().message, "Journal activé depuis le menu");
    QTest::keySequence(window.get(), QKeySequence("Ctrl+Shift+L"));
    drain();
    EXPECT_FALSE(logger->isEnabled());

    const auto file = scratch.root() / "journal.txt";
    desktop->saveAnswers.push_back(file);
    window->act([&] { app->view().chooseJournalExport(); });
    EXPECT_THAT(desktop->saveRequests.back().proposedName,
                ::testing::MatchesRegex("Klarion_Log_[0-9]{2}-[0-9]{2}-[0-9]{4}\\.txt"));
    EXPECT_EQ(testing::readText(file), logger->exportText());

    window->toggleJournalWindow();
    JournalWindow* journal = window->journalWindow();
    ASSERT_TRUE(journal->isVisible());
    auto* filter = journal->findChild<QLineEdit*>("journalFilter");
    QTest::keyClicks(filter, "abc");
    window->toggleJournalWindow();
    window->toggleJournalWindow();
    EXPECT_EQ(filter->text(), "");  // reopened with an empty filter
}

}  // namespace
}  // namespace klarion::qt

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    klarion::markMainThread();
    klarion::setMainQueue(std::make_shared<klarion::qt::QtMainQueue>(&app));
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
