// The window offscreen: widgets found by name, gestures sent to them, the
// panel model and a fake LM Studio behind.
#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPropertyAnimation>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStackedWidget>
#include <QTest>
#include <QTextBrowser>
#include <QTextDocument>
#include <QThread>

#include <gmock/gmock.h>

#include "tests/support/loopback_client.h"
#include "app/state/week_keys.h"
#include "tests/support/scratch.h"
#include "tests/support/fake_desktop.h"
#include "tests/support/fake_lmstudio.h"
#include "ui/qt/journal_window.h"
#include "ui/qt/main_window.h"
#include "ui/qt/offscreen.h"
#include "ui/qt/qt_desktop.h"
#include "ui/qt/qt_main_queue.h"
#include "ui/qt/translations.h"

namespace klarion::qt {
namespace {

// Runs the event loop until `done()` or about ten seconds have passed.
bool waitFor(const std::function<bool()>& done) {
    for (int i = 0; i < 1000 && !done(); ++i) {
        QApplication::processEvents(QEventLoop::AllEvents, 10);
        if (done()) break;
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
    // The maker, the site and the e-mail are links, drawn as such (not as markup).
    int links = 0;
    for (QLabel* each : window->findChild<QWidget*>("aboutDialog")->findChildren<QLabel*>()) {
        if (!each->text().contains("<a href")) continue;
        ++links;
        EXPECT_EQ(each->textFormat(), Qt::RichText) << each->text().toStdString();
    }
    EXPECT_EQ(links, 3);
}

TEST_F(WindowTest, StartWithTheFakeThenStop) {
    app->view().panel()->selectedPort = 0;  // a free port
    window->act([&] { app->view().onTimerTick(); });
    // The status names the port of the address LM Studio was given (--lmstudio).
    const QString ready = QString("LM Studio prêt (Port %1)").arg(fake.port());
    ASSERT_TRUE(waitFor([&] { return label("lmStatus") == ready; })) << label("lmStatus").toStdString();

    click("startStopButton");
    ASSERT_TRUE(waitFor([&] { return app->view().panel()->isRunning && !app->view().panel()->ipURL.empty(); }));
    EXPECT_EQ(find<QAbstractButton>("startStopButton")->text(), "Arrêter le serveur");
    EXPECT_FALSE(find("portPicker")->isEnabled());
    EXPECT_FALSE(find("modePicker")->isEnabled());
    const uint16_t port = app->server().listeningPort().value_or(0);
    EXPECT_EQ(testing::request(port, "GET", "/api/config").status, 200);
    const std::string local = "http://Salle-12.local:0/teacher";
    EXPECT_EQ(find<QRWidget>("qrCode")->encodedText().toStdString(), local);

    EXPECT_EQ(find<QAbstractButton>("openDashboard")->text(), "Ouvrir sur cet ordinateur");
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
    EXPECT_EQ(window->findChild<QWidget*>("generalAlert")->findChild<QLabel*>("alertHeadline")->text(),
              "LM Studio inaccessible");
    EXPECT_TRUE(window->findChild<QWidget*>("generalAlert")
                    ->findChild<QLabel*>("alertMessage")
                    ->text()
                    .contains(QString("sur le port %1 avant").arg(fake.port())));
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

// Closes the alert of that name with the named button (its OK when none).
void answerAlert(MainWindow& window, const char* alert, const char* button = "alertOK") {
    ASSERT_TRUE(waitFor([&] { return window.findChild<QDialog*>(alert) != nullptr; })) << alert;
    window.findChild<QDialog*>(alert)->findChild<QAbstractButton*>(button)->click();
    // Closing deletes it later: gone once the deferred deletions have run.
    waitFor([&] {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return window.findChild<QDialog*>(alert) == nullptr;
    });
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

// Types the whole text key by key into a field that holds the focus, as a
// person does, after selecting what it held.
void typeInto(QLineEdit* field, const QString& typed) {
    field->setFocus();
    field->selectAll();
    if (typed.isEmpty()) QTest::keyClick(field, Qt::Key_Backspace);
    QTest::keyClicks(field, typed);
}

TEST_F(TeachersTabTest, SlotTimesTypedKeyByKeyAreNormalisedWhenTheFieldIsLeft) {
    QApplication::setActiveWindow(window.get());
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    auto saved = [&] { return app->view().context().folder.readSchedule().value_or(ScheduleConfig{}).slotDefinitions; };
    // What is stored after each key (what the text so far reads as, never a
    // mix of the two), then once the field is left.
    const struct {
        const char* typed;
        std::vector<std::string> afterEachKey;
        const char* stored;
    } cases[] = {{"930", {"09:00", "93", "09:30"}, "09:30"},
                 {"1030", {"01:00", "10:00", "01:03", "10:30"}, "10:30"},
                 {"8:5", {"08:00", "8:", "08:05"}, "08:05"},
                 {"9h30", {"09:00", "9h", "9h3", "9h30"}, "9h30"},
                 {"24", {"02:00", "24"}, "24"},
                 {"", {}, ""}};
    for (const auto& c : cases) {
        // "Début" left with Enter, "Fin" by moving to another field.
        auto* start = find<QLineEdit>("slotStart0");
        typeInto(start, "");
        const std::string typed = c.typed;
        ASSERT_EQ(c.afterEachKey.size(), typed.size());
        for (size_t n = 1; n <= typed.size(); ++n) {
            QTest::keyClick(start, typed[n - 1]);
            drain();
            EXPECT_EQ(saved()[0].start, c.afterEachKey[n - 1]) << typed.substr(0, n);
        }
        EXPECT_EQ(start->text(), c.typed);  // not rewritten under the typing
        EXPECT_EQ(saved()[0].start, c.stored) << c.typed;
        QTest::keyClick(start, Qt::Key_Return);
        drain();
        EXPECT_EQ(start->text(), c.stored) << c.typed;

        auto* end = find<QLineEdit>("slotEnd1");
        typeInto(end, c.typed);
        drain();
        EXPECT_EQ(saved()[1].end, c.stored) << c.typed;
        find<QLineEdit>("slotLabel2")->setFocus();
        drain();
        EXPECT_EQ(end->text(), c.stored) << c.typed;
    }
    EXPECT_EQ(saved(), app->view().config()->scheduleConfig().slotDefinitions);
}

TEST_F(TeachersTabTest, ADeletedTeacherLeavesThePickerAndIsNeverBooked) {
    addTeacher("Anne Martin");
    addTeacher("Bruno");
    auto* picker = find<QComboBox>("teacherForSlot");
    picker->setCurrentIndex(1);
    emit picker->activated(1);
    drain();
    click("deleteTeacher0");
    answerAlert(*window, "deleteConfirmation", "confirmDelete");
    drain();
    EXPECT_EQ(picker->currentText(), "— Libérer —");
    EXPECT_EQ(app->view().panel()->selectedTeacherForSlot, std::nullopt);
    click("cell_0_0");
    EXPECT_TRUE(app->view().context().folder.readSchedule().value_or(ScheduleConfig{}).reservations.empty());
    EXPECT_EQ(find<QAbstractButton>("cell_0_0")->text(), "—");
}

TEST_F(TeachersTabTest, TheWindowFitsASmallScreenAndTwentyFiveTeachersWrapInTheLegend) {
    const QRect screen = window->screen()->availableGeometry();
    ASSERT_EQ(screen.size(), QSize(1366, 768));
    EXPECT_TRUE(screen.contains(window->frameGeometry())) << window->frameGeometry().height();
    std::vector<Teacher> teachers;
    for (int i = 0; i < 25; ++i)
        teachers.push_back({"T" + std::to_string(i), "Prénom Nom" + std::to_string(i), "1", ""});
    window->act([&] { app->view().config()->setTeachers(teachers); });
    drain();
    // No sideways scrolling: the legend wraps, the week's last column and ▶ show.
    auto* scroll = find<QScrollArea>("teachersScroll");
    const QRect viewport = scroll->viewport()->rect();
    EXPECT_LE(find("teachersTab")->minimumSizeHint().width(), viewport.width());
    EXPECT_EQ(scroll->horizontalScrollBar()->maximum(), 0);
    for (const char* name : {"nextWeek", "cell_0_4", "legend"}) {
        QWidget* widget = find(name);
        const QRect area(widget->mapTo(scroll->viewport(), QPoint(0, 0)), widget->size());
        EXPECT_LE(area.right(), viewport.right()) << name;
    }
    // Every tab scrolls to its end.
    scroll->ensureWidgetVisible(find("legend"));
    drain();
    EXPECT_GT(scroll->verticalScrollBar()->value(), 0);
    EXPECT_TRUE(find("legend")->visibleRegion().boundingRect().height() > 0);
    for (const char* name : {"serverScroll", "pedagogyScroll"}) EXPECT_NE(find<QScrollArea>(name), nullptr);
}

TEST_F(TeachersTabTest, AlertsShowTheirTitleAsAHeadline) {
    auto panel = app->view().panel();
    addTeacher("Anne");
    const struct {
        const char* name;
        std::function<void()> raise;
        const char* headline;
        const char* message;
    } cases[] = {
        {"generalAlert", [&] { app->view().showAlert("Port réseau bloqué", "Le port 80 est pris."); },
         "Port réseau bloqué", "Le port 80 est pris."},
        {"calendarAlert",
         [&] {
             panel->importExportMessage = "Import réussi !";
             panel->showImportExportAlert = true;
         },
         "Calendrier", "Import réussi !"},
        {"csvAlert",
         [&] {
             panel->teacherCSVMessage = "Export réussi";
             panel->showTeacherCSVAlert = true;
         },
         "Import/Export CSV", "Export réussi"},
        {"deleteConfirmation", [&] { app->view().requestTeacherDeletion(app->view().config()->teachers()[0]); },
         "Supprimer l'enseignant ?", "Voulez-vous supprimer Anne ? Ses logs seront conservés."},
    };
    for (const auto& c : cases) {
        window->act(c.raise);
        ASSERT_TRUE(waitFor([&] { return window->findChild<QDialog*>(c.name) != nullptr; })) << c.name;
        auto* dialog = window->findChild<QDialog*>(c.name);
        auto* headline = dialog->findChild<QLabel*>("alertHeadline");
        ASSERT_NE(headline, nullptr) << c.name;
        EXPECT_EQ(headline->text(), c.headline);
        EXPECT_TRUE(headline->font().bold());
        EXPECT_TRUE(headline->isVisible());
        EXPECT_EQ(dialog->findChild<QLabel*>("alertMessage")->text(), c.message);
        answerAlert(*window, c.name, c.name == std::string("deleteConfirmation") ? "cancelDelete" : "alertOK");
    }
    EXPECT_EQ(app->view().config()->teachers().size(), 1u);
}

TEST_F(TeachersTabTest, TextsFromPeopleAndFilesAreShownAsTyped) {
    const std::string marked = "<b>X</b> Y";
    addTeacher(marked.c_str());
    window->act([&] {
        auto config = app->view().config();
        config->update([&](AppConfig::Values& v) {
            v.isLmStudioOnline = true;
            v.lmLoadedModelId = "<i>mod</i>";
            v.activeTeacherId = v.teachers[0].id;
            v.activeTeacherName = marked;
        });
        app->view().panel()->isRunning = true;
        config->setShortURL("https://k.test/<b>e</b>");
        config->setTeacherShortURL("https://k.test/<b>p</b>");
        app->view().setSlotLabel("<b>L</b>", 0);
        app->view().panel()->selectedTeacherForSlot = config->teachers()[0].id;
    });
    click("cell_0_0");
    desktop->saveAnswers.push_back(scratch.root() / "<b>f</b>.csv");
    click("exportTeachersCSV");
    ASSERT_TRUE(waitFor([&] { return window->findChild<QDialog*>("csvAlert") != nullptr; }));
    for (int tab : {0, 1}) {
        window->selectTab(tab);
        drain();
    }
    window->act([&] { app->view().context().log("<b>journal</b>", AppLogLevel::info); });
    JournalWindow* journal = window->showJournalWindow();
    drain();
    EXPECT_THAT(journal->findChild<QTextBrowser*>("journalList")->toPlainText().toStdString(),
                ::testing::HasSubstr("<b>journal</b>"));

    QStringList shown;
    for (QLabel* label : window->findChildren<QLabel*>()) {
        if (!label->text().contains("<b>") && !label->text().contains("<i>")) continue;
        shown << label->text();
        EXPECT_EQ(label->textFormat(), Qt::PlainText) << label->text().toStdString();
    }
    // The teacher's row, the session badge, the model, both short links, the
    // slot's row in the agenda, the export alert.
    EXPECT_GE(shown.size(), 7) << shown.join(" | ").toStdString();
    // The model's full name in its tooltip, which Qt reads as markup when it can.
    const QString tip = find<QLabel>("modelId")->toolTip();
    QTextDocument document;
    document.setHtml(tip);
    EXPECT_EQ(Qt::mightBeRichText(tip) ? document.toPlainText() : tip, "<i>mod</i>");
    EXPECT_EQ(find<QComboBox>("teacherForSlot")->itemText(1).toStdString(), marked);
    answerAlert(*window, "csvAlert");
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

    // "Fenêtre → Journal de débogage" opens it, and again only brings it to the front.
    QAction* open = window->findChild<QAction*>("journalWindowAction");
    open->trigger();
    JournalWindow* journal = window->journalWindow();
    ASSERT_NE(journal, nullptr);
    QTest::keyClicks(journal->findChild<QLineEdit*>("journalFilter"), "abc");
    open->trigger();
    EXPECT_EQ(window->journalWindow(), journal);
    EXPECT_TRUE(journal->isVisible());
    EXPECT_EQ(journal->findChild<QLineEdit*>("journalFilter")->text(), "abc");

    // Closed, it is gone: switching the journal on adds only the menu's line.
    journal->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(window->journalWindow(), nullptr);
    logger->setEntries({});
    QTest::keySequence(window.get(), QKeySequence("Ctrl+Shift+L"));
    drain();
    std::vector<std::string> lines;
    for (const AppLogEntry& entry : logger->entries()) lines.push_back(entry.message);
    EXPECT_THAT(lines, ::testing::ElementsAre("Journal activé depuis le menu"));
    // Opened anew: an empty filter.
    open->trigger();
    EXPECT_EQ(window->journalWindow()->findChild<QLineEdit*>("journalFilter")->text(), "");
}

TEST_F(WindowTest, TheJournalFollowsNewEntriesAlsoWhenFull) {
    auto logger = app->view().context().logger;
    std::vector<AppLogEntry> full;
    for (int i = 0; i < AppLogger::maxEntries; ++i)
        full.push_back({"E" + std::to_string(i), 0, AppLogLevel::info, "ligne " + std::to_string(i)});
    window->act([&] { logger->setEntries(full); });
    JournalWindow* journal = window->showJournalWindow();
    drain();
    QScrollBar* bar = journal->findChild<QTextBrowser*>("journalList")->verticalScrollBar();
    auto* glide = journal->findChild<QPropertyAnimation*>("journalFollow");
    int glides = 0;
    QObject::connect(glide, &QAbstractAnimation::stateChanged,
                     [&](QAbstractAnimation::State now) { glides += now == QAbstractAnimation::Running; });
    ASSERT_GT(bar->maximum(), 0);
    EXPECT_EQ(bar->value(), 0);  // opening does not scroll
    for (int round = 1; round <= 3; ++round) {
        // A taller entry at the cap: the count stays 500, the end moves down.
        window->act([&] { logger->log("un\ndeux\ntrois\nquatre", AppLogLevel::warn); });
        ASSERT_TRUE(waitFor([&] { return glides == round && glide->state() == QAbstractAnimation::Stopped; }));
        EXPECT_EQ(logger->entries().size(), static_cast<size_t>(AppLogger::maxEntries));
        EXPECT_EQ(bar->value(), bar->maximum()) << round;
    }
    // Auto-scroll off: the position stays.
    journal->findChild<QCheckBox*>("journalAutoScroll")->click();
    bar->setValue(0);
    window->act([&] { logger->log("encore", AppLogLevel::info); });
    drain();
    EXPECT_EQ(bar->value(), 0);
    EXPECT_EQ(glides, 3);
}

TEST_F(WindowTest, SaveDialogsAreFrenchKeepTheWindowUsableAndAddTheSuffix) {
    const struct {
        std::function<void()> choose;
        const char* suffix;
    } cases[] = {
        {[&] { app->view().chooseTeachersCSVExport(); }, "csv"},
        {[&] { app->view().chooseCalendarExport(); }, "json"},
        {[&] { app->view().chooseJournalExport(); }, "txt"},
    };
    for (const auto& c : cases) {
        window->act(c.choose);
        EXPECT_EQ(desktop->saveRequests.back().defaultSuffix, c.suffix);
    }

    QtDesktop qtDesktop(window.get());
    std::optional<SaveDestination> chosen;
    qtDesktop.saveFile({"Exporter le calendrier", "Klarion_Calendrier.json", "Fichiers JSON (*.json)", "json"},
                       [&](SaveDestination destination) { chosen = destination; });
    auto* dialog = window->findChild<QFileDialog*>("saveDialog");
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(dialog->windowModality(), Qt::NonModal);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    QStringList buttons;
    for (QAbstractButton* button : dialog->findChildren<QDialogButtonBox*>().front()->buttons())
        buttons << button->text();
    EXPECT_EQ(buttons.join(",").remove('&').toStdString(), "Enregistrer,Annuler");
    // The panel answers while the dialog shows.
    click("tabSelector_1");
    EXPECT_EQ(find<QStackedWidget>("pages")->currentIndex(), 1);

    dialog->setDirectory(QString::fromStdString(scratch.root().string()));
    auto* name = dialog->findChild<QLineEdit*>("fileNameEdit");
    typeInto(name, "agenda");
    QTest::keyClick(name, Qt::Key_Return);
    ASSERT_TRUE(waitFor([&] { return chosen.has_value(); }));
    EXPECT_EQ(**chosen, scratch.root() / "agenda.json");
}

// Hundreds of teacher and calendar exchanges through the dialogs, as a
// teacher repeating them over a term: the window stays, nothing piles up.
TEST_F(TeachersTabTest, HundredsOfImportsAndExports) {
    addTeacher("Anne Martin");
    addTeacher("Bruno");
    const auto csv = scratch.root() / "enseignants.csv";
    const auto calendar = scratch.root() / "calendrier.json";
    auto picker = find<QComboBox>("teacherForSlot");
    picker->setCurrentIndex(1);
    emit picker->activated(1);
    click("cell_0_0");
    const struct {
        std::filesystem::path file;
        const char *exportButton, *importButton, *alert;
    } exchanges[] = {{csv, "exportTeachersCSV", "importTeachersCSV", "csvAlert"},
                     {calendar, "exportCalendar", "importCalendar", "calendarAlert"}};
    for (int round = 0; round < 100; ++round) {
        for (const auto& e : exchanges) {
            desktop->saveAnswers.push_back(e.file);
            click(e.exportButton);
            answerAlert(*window, e.alert);
            desktop->openAnswers.push_back(OpenDialogResult::chosen({e.file}));
            click(e.importButton);
            answerAlert(*window, e.alert);
        }
        if (round == 0) click("moreSlots");  // 4 slots become 5, carried by every later exchange
        if (round == 50) click("nextWeek");
    }
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(app->view().config()->teachers().size(), 2u);
    EXPECT_EQ(app->view().panel()->importExportMessage, "Import réussi !\n5 créneaux et 1 réservation(s) importé(s).");
    EXPECT_TRUE(window->findChildren<QDialog*>().empty());
    EXPECT_EQ(app->view().context().folder.readSchedule(), app->view().config()->scheduleConfig());
}

}  // namespace
}  // namespace klarion::qt

int main(int argc, char** argv) {
    // A school laptop's screen.
    char folder[] = "/tmp/klarion-window-tests-XXXXXX";
    const std::filesystem::path screen = mkdtemp(folder);
    klarion::qt::useOffscreenScreen(screen, 1366, 768);
    QApplication app(argc, argv);
    std::filesystem::remove_all(screen);
    klarion::qt::useFrenchQtTexts();
    klarion::markMainThread();
    klarion::setMainQueue(std::make_shared<klarion::qt::QtMainQueue>(&app));
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
