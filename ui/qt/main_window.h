// The main window: the tab selector, the header, the "Technique" and
// "Pédagogie & Contrôle" tabs (and "Enseignants" in the establishment mode),
// the alerts, the About dialog and the menus. It draws the panel model and
// forwards the user's gestures to it as main-queue tasks; after each task one
// coalesced redraw follows.
#pragma once

#include <QMainWindow>
#include <QPointer>
#include <QSize>

#include <functional>
#include <memory>

#include "ui/panel/application.h"
#include "ui/qt/widgets.h"

class QCheckBox;
class QComboBox;
class QScrollArea;
class QStackedWidget;
class QToolButton;
class QAction;
class QMenu;

namespace klarion::qt {

class AboutDialog;
class AlertDialog;
class TeachersTab;
class JournalWindow;

class MainWindow : public QMainWindow {
public:
    explicit MainWindow(Application& app, QWidget* parent = nullptr);
    ~MainWindow() override;

    // Redraws at once (otherwise a redraw follows every main-queue task).
    void redraw();
    // Runs a user action as a main-queue task.
    void act(const std::function<void()>& action);
    void selectTab(int tab);
    void showAbout();
    // The journal window while it is open (closing it destroys it), else null.
    JournalWindow* journalWindow() const;
    // Opens the journal window, or brings the open one to the front.
    JournalWindow* showJournalWindow();
    // The content size the window asks for on a screen large enough.
    static constexpr QSize preferredContentSize{860, 820};

    Application& app() { return app_; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    QWidget* buildHeader();
    QWidget* buildServerTab();
    QWidget* buildPedagogyTab();
    QWidget* buildDashboardCard();
    void buildMenus();
    void fitToScreen();
    void scheduleRedraw();
    void redrawServerTab();
    void redrawPedagogyTab();
    void redrawMenus();
    void showPendingAlert();
    void openAlert(const QString& name, const QString& title, const QString& message, std::function<void()> closed);

    Application& app_;
    int hookId_ = 0;
    bool redrawScheduled_ = false;

    Segmented* tabSelector_ = nullptr;
    QStackedWidget* pages_ = nullptr;
    QPointer<AboutDialog> about_;
    QPointer<AlertDialog> alert_;

    // Technique.
    Segmented* portPicker_ = nullptr;
    QLabel* lmDot_ = nullptr;
    QLabel* lmStatus_ = nullptr;
    QWidget* modelRow_ = nullptr;
    QLabel* modelId_ = nullptr;
    QWidget* contextRow_ = nullptr;
    QLabel* contextIcon_ = nullptr;
    QLabel* contextText_ = nullptr;
    QWidget* contextWarning_ = nullptr;
    QLabel* contextWarningTitle_ = nullptr;
    QLabel* contextWarningText_ = nullptr;
    Segmented* modePicker_ = nullptr;
    QLabel* modeWarning_ = nullptr;
    QPushButton* startStop_ = nullptr;
    QWidget* runningInfo_ = nullptr;
    QLabel* localAddress_ = nullptr;
    QWidget* studentShortRow_ = nullptr;
    QLabel* studentShortLink_ = nullptr;
    QFrame* sessionBadge_ = nullptr;
    QLabel* sessionDot_ = nullptr;
    QLabel* sessionText_ = nullptr;

    // Pédagogie & Contrôle.
    QLabel* pauseBanner_ = nullptr;
    QWidget* studentLinkCard_ = nullptr;
    QLabel* studentLink_ = nullptr;
    Segmented* audiencePicker_ = nullptr;
    QCheckBox* requiresPin_ = nullptr;
    QWidget* classPinRow_ = nullptr;
    QLabel* classPin_ = nullptr;
    QCheckBox* supervision_ = nullptr;
    QWidget* levelRow_ = nullptr;
    QComboBox* levelPicker_ = nullptr;
    QRWidget* qrCode_ = nullptr;
    QLabel* qrCaption_ = nullptr;
    QLabel* qrPlaceholder_ = nullptr;
    QWidget* teacherPinRow_ = nullptr;
    QLabel* teacherPin_ = nullptr;
    QWidget* establishmentLines_ = nullptr;
    QWidget* teacherLinks_ = nullptr;
    QWidget* teacherShortRow_ = nullptr;
    QLabel* teacherShortLink_ = nullptr;
    QLabel* teacherLocalLink_ = nullptr;
    QWidget* teacherButtons_ = nullptr;

    TeachersTab* teachersTab_ = nullptr;
    QPointer<JournalWindow> journal_;

    // Menus.
    QAction* journalToggle_ = nullptr;
    QAction* clearJournal_ = nullptr;
    QAction* exportJournal_ = nullptr;
};

}  // namespace klarion::qt
