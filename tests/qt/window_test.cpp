// The window offscreen: widgets found by name, gestures sent to them, the
// panel model and a fake LM Studio behind.
#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QMenuBar>
#include <QStackedWidget>
#include <QThread>

#include <gmock/gmock.h>

#include "tests/support/loopback_client.h"
#include "tests/support/scratch.h"
#include "tests/support/fake_desktop.h"
#include "tests/support/fake_lmstudio.h"
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
    EXPECT_EQ(menus, QStringList({"Outils"}));
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
