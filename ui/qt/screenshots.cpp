// klarion-screenshots OUTDIR: draws the window in fixture states to PNG files
// (no server is started, no LM Studio is asked) for review. Runs offscreen
// on a 1366 by 768 screen (most school laptops), in a scratch home that it
// removes afterwards.
#include <stdlib.h>

#include <QApplication>
#include <QDialog>
#include <QDir>

#include <cstdio>
#include <filesystem>
#include <functional>

#include "platform/main_queue.h"
#include "ui/panel/application.h"
#include "ui/panel/lmstudio_probes_seam.h"
#include "app/state/week_keys.h"
#include "ui/qt/journal_window.h"
#include "ui/qt/main_window.h"
#include "ui/qt/offscreen.h"
#include "ui/qt/qt_desktop.h"
#include "ui/qt/qt_main_queue.h"
#include "ui/qt/translations.h"

using namespace klarion;

namespace {

void settle() {
    for (int i = 0; i < 5; ++i) QApplication::processEvents();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: klarion-screenshots OUTDIR\n");
        return 2;
    }
    const QString out = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(out);
    char pattern[] = "/tmp/klarion-shots-XXXXXX";
    const std::filesystem::path home = mkdtemp(pattern);
    std::filesystem::create_directories(home / "Documents");
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home / ".config").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", home.c_str(), 1);
    qt::useOffscreenScreen(home, 1366, 768);

    int status = 0;
    {
        QApplication qtApp(argc, argv);
        qt::useFrenchQtTexts();
        markMainThread();
        setMainQueue(std::make_shared<qt::QtMainQueue>(&qtApp));
        Application app({"http://127.0.0.1:9", {}});
        auto desktop = std::make_shared<qt::QtDesktop>();
        app.view().desktop = desktop;
        app.view().panel()->hostName = "Salle 12";
        app.view().panel()->lmStudioPort = "1234";  // the pictures show LM Studio at its usual address
        qt::MainWindow window(app);
        desktop->setWindow(&window);
        window.show();
        auto config = app.view().config();
        auto panel = app.view().panel();

        auto shot = [&](const QString& name, const std::function<void()>& setUp, QWidget* widget = nullptr) {
            window.act(setUp);
            settle();
            window.redraw();
            settle();
            QWidget* target = widget ? widget : &window;
            if (!target->grab().save(out + "/" + name + ".png")) status = 1;
            std::printf("%s/%s.png\n", qPrintable(out), qPrintable(name));
        };
        auto onlineWithModel = [&](int64_t context) {
            config->update([&](AppConfig::Values& v) {
                v.isLmStudioOnline = true;
                v.lmLoadedModelId = "mistralai/mistral-small-3.2-24b-instruct-2506";
                v.lmContextLength = context;
            });
        };

        shot("technique-stopped", [&] { onlineWithModel(4096); });
        shot("technique-running", [&] {
            onlineWithModel(16384);
            config->setTeacherPinCode("4821");
            panel->isRunning = true;
            panel->ipURL = "http://192.168.1.23:3000";
            config->setShortURL("https://k.test/eleves");
            config->setTeacherShortURL("https://k.test/prof");
        });
        shot("technique-establishment", [&] {
            app.view().changeMode("establishment");
            config->setActiveTeacherId(std::string("T1"));
            config->setActiveTeacherName("Mme Durand");
        });
        shot("pedagogy-establishment", [&] { panel->selectedTab = 1; });
        shot("pedagogy-running", [&] {
            app.view().changeMode("individual");
            config->update([](AppConfig::Values& v) {
                v.isAiPaused = true;
                v.requiresPin = true;
                v.pinCode = "0427";
                v.isSupervisionActive = true;
            });
        });
        shot("pedagogy-stopped", [&] {
            panel->isRunning = false;
            panel->ipURL.clear();
            config->update([](AppConfig::Values& v) {
                v.isAiPaused = false;
                v.shortURL.clear();
                v.teacherShortURL.clear();
            });
        });
        shot("technique-offline", [&] {
            panel->selectedTab = 0;
            config->update([](AppConfig::Values& v) {
                v.isLmStudioOnline = false;
                v.lmLoadedModelId.clear();
                v.lmContextLength = 0;
            });
        });
        shot("teachers-agenda", [&] {
            app.view().changeMode("establishment");
            panel->selectedTab = 2;
            // 25 teachers, one whose name looks like markup: shown as typed.
            const char* names[] = {"Anne Martin",         "Bruno Lefèvre", "Chloé Dubois",
                                   "Marie Claire Dupont", "Yann",          "<b>X</b> Y"};
            std::vector<Teacher> teachers;
            for (int i = 0; i < 25; ++i) {
                const std::string name =
                    i < 6 ? names[i] : "Enseignant" + std::to_string(i) + " Nom" + std::to_string(i);
                teachers.push_back({"T" + std::to_string(i), name, "1023" + std::to_string(10 + i), ""});
            }
            config->setTeachers(teachers);
            ScheduleConfig schedule = ScheduleConfig::defaultSchedule();
            schedule.slotDefinitions.push_back({"Après-midi", "14:00", "15:30"});
            const std::string week = weekKey(app.view().context().now());
            const char* days[] = {"monday", "tuesday", "wednesday", "thursday", "friday"};
            for (int i = 0; i < 9; ++i) {
                schedule.reservations[week + "_" + days[i % 5] + "_" + std::to_string(i % 5)] =
                    "T" + std::to_string(i % 5);
            }
            schedule.reservations[week + "_tuesday_0"] = "T5";
            schedule.reservations[week + "_friday_4"] = "GONE";
            config->setScheduleConfig(schedule);
            panel->selectedTeacherForSlot = "T1";
        });
        if (auto* tab = window.findChild<QWidget*>("teachersTab")) {
            // The whole tab, below the fold included.
            QWidget* area = tab->parentWidget();
            const QSize visible = area->size();
            area->resize(visible.width(), tab->sizeHint().height());
            tab->resize(visible.width(), tab->sizeHint().height());
            shot(
                "teachers-whole-tab", [] {}, tab);
            area->resize(visible);
        }
        {
            auto logger = app.view().context().logger;
            window.act([&] { app.view().setJournalEnabled(true); });
            window.act([&] {
                logger->log("Serveur démarré sur le port 3000 → http://192.168.1.23:3000", AppLogLevel::info);
                logger->log("LM Studio répond lentement (1,8 s)", AppLogLevel::warn);
                logger->log("Impossible de démarrer sur le port 80 : permission refusée", AppLogLevel::error);
                logger->log("Slot 2026-W50_monday_0 → T1", AppLogLevel::debug);
                logger->log("Message sur deux lignes :\nla suite du message", AppLogLevel::info);
            });
            settle();
            qt::JournalWindow* journal = window.showJournalWindow();
            shot(
                "journal", [] {}, journal);
            journal->close();
        }
        // An alert with its headline, the delete confirmation of the markup-like
        // name, and Qt's save dialog in French.
        auto dialogShot = [&](const QString& name, const char* objectName, const std::function<void()>& setUp) {
            window.act(setUp);
            settle();
            window.redraw();
            settle();
            if (auto* dialog = window.findChild<QDialog*>(objectName)) {
                shot(
                    name, [] {}, dialog);
                dialog->reject();
                settle();
            }
        };
        dialogShot("alert-headline", "generalAlert", [&] {
            const auto [title, message] =
                startRefusalAlert(LmStudioProbes::StartRefusal::lmStudioUnreachable, app.view().panel()->lmStudioPort);
            app.view().showAlert(title, message);
        });
        dialogShot("delete-confirmation", "deleteConfirmation",
                   [&] { app.view().requestTeacherDeletion(config->teachers()[5]); });
        dialogShot("save-dialog", "saveDialog", [&] { app.view().chooseCalendarExport(); });
        window.showAbout();
        settle();
        if (auto* about = window.findChild<QWidget*>("aboutDialog"))
            shot(
                "about", [] {}, about);
    }
    std::error_code ignored;
    std::filesystem::remove_all(home, ignored);
    return status;
}
