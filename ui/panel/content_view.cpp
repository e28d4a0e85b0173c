#include "ui/panel/content_view.h"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <ctime>
#include <utility>

#include "app/state/exchange_files.h"
#include "app/state/roster.h"
#include "app/state/slots.h"
#include "platform/files.h"
#include "server/api/class_log.h"
#include "ui/panel/exchange_dialogs.h"
#include "ui/panel/panel_sections.h"

namespace klarion {

namespace {

std::string computerName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0) return "Mac";
    return localHostName(name);
}

// The classroom settings whose change the panel saves for the active teacher
// (see the header): neither the mission nor the class PIN.
struct WatchedSettings {
    std::string audience;
    bool requiresPin = false;
    bool isSupervisionActive = false;
    std::string supervisionLevel;

    static WatchedSettings of(const TeacherConfig& settings) {
        return {settings.audience, settings.requiresPin, settings.isSupervisionActive, settings.supervisionLevel};
    }
    bool operator==(const WatchedSettings&) const = default;
};

// The reactions to a change of the watched settings; see the header.
MainQueue::Task classSettingsReactions(const StateContext& ctx, const std::shared_ptr<TeacherSessions>& sessions) {
    auto last = std::make_shared<WatchedSettings>(WatchedSettings::of(ctx.config->teacherConfig()));
    return [ctx, sessions, last] {
        const TeacherConfig now = ctx.config->teacherConfig();
        const WatchedSettings seen = WatchedSettings::of(now);
        if (seen == *last) return;
        const bool lockTurnedOn = seen.requiresPin && !last->requiresPin;
        *last = seen;
        if (lockTurnedOn && now.pinCode == AppConfig::defaultClassPin) {
            ctx.config->setPinCode(generatePin(4));
            ctx.log("PIN élève régénéré (toggle)", AppLogLevel::debug);
        }
        sessions->persistTeacherConfig();
    };
}

// The start button's pending LM Studio check: answered, or dropped unanswered.
class PendingCheck {
public:
    explicit PendingCheck(std::shared_ptr<std::atomic<bool>> flag) : flag_(std::move(flag)) {}
    ~PendingCheck() { answered(); }
    PendingCheck(const PendingCheck&) = delete;
    PendingCheck& operator=(const PendingCheck&) = delete;
    // Clears the flag once: a later check's flag is never touched.
    void answered() {
        if (!answered_.exchange(true)) flag_->store(false);
    }

private:
    std::shared_ptr<std::atomic<bool>> flag_;
    std::atomic<bool> answered_{false};
};

}  // namespace

ContentView::ContentView(StateContext ctx)
    : ctx_(std::move(ctx)),
      panel_(std::make_shared<PanelState>()),
      sessions_(std::make_shared<TeacherSessions>(ctx_)),
      reactionQueue_(ctx_.queue ? ctx_.queue : mainQueue()) {
    panel_->hostName = computerName();
    reactionHookId_ = reactionQueue_->addAfterTaskHook(classSettingsReactions(ctx_, sessions_));
}

ContentView::~ContentView() { reactionQueue_->removeAfterTaskHook(reactionHookId_); }

void ContentView::onAppear() {
    ctx_.config->setAppMode(ctx_.folder.loadAppMode());
    if (ctx_.config->mode() == AppMode::establishment) {
        ctx_.config->setTeachers(ctx_.folder.loadTeachers());
        ctx_.config->setScheduleConfig(ctx_.folder.loadSchedule());
    }
    if (lmStudioProbes.probeStatus) lmStudioProbes.probeStatus(statusProbeTimeoutSeconds);
    ctx_.log(std::string("Application démarrée — version ") + KLARION_VERSION_TEXT +
                 " (PIN enseignant: " + ctx_.config->teacherPinCode() + ")",
             AppLogLevel::info);
}

void ContentView::onTimerTick() {
    if (lmStudioProbes.probeStatus) lmStudioProbes.probeStatus(statusProbeTimeoutSeconds);
    double timerEnd = ctx_.config->timerEndTime();
    if (timerEnd > 0 && timerEnd <= ctx_.now()) {
        ctx_.config->setIsAiPaused(true);
        ctx_.config->setTimerEndTime(0);
    }
    sessions_->applySessionEndRule(ctx_.now());
}

void ContentView::startStopAction() {
    if (panel_->isRunning) {
        if (serverControl.stopServer) serverControl.stopServer();
        panel_->isRunning = false;
        return;
    }
    if (!lmStudioProbes.probeBeforeStart) return;
    // One check at a time: a second press, or a late answer after a stop,
    // must not start the server again.
    if (startCheckPending_->exchange(true)) return;
    auto pending = std::make_shared<PendingCheck>(startCheckPending_);
    StartPrecheck precheck;
    precheck.showAlert = [panel = panel_, pending](const std::string& title, const std::string& message) {
        pending->answered();
        panel->alertTitle = title;
        panel->alertMessage = message;
        panel->showingAlert = true;
    };
    precheck.startServer = [start = serverControl.startServer, panel = panel_, pending] {
        pending->answered();
        if (start && start(panel->selectedPort, panel->hostName)) panel->isRunning = true;
    };
    lmStudioProbes.probeBeforeStart(startProbeTimeoutSeconds, std::move(precheck));
}

void ContentView::showAlert(const std::string& title, const std::string& message) {
    panel_->alertTitle = title;
    panel_->alertMessage = message;
    panel_->showingAlert = true;
}

void ContentView::renewStudentPin() {
    std::string pin = generatePin(4);
    ctx_.config->setPinCode(pin);
    ctx_.log("PIN élève régénéré manuellement → " + pin, AppLogLevel::debug);
    sessions_->persistTeacherConfig();
}

void ContentView::renewTeacherPin() {
    ctx_.config->setTeacherPinCode(generateTeacherPin());  // the setter saves the preference
    ctx_.log("PIN enseignant régénéré", AppLogLevel::debug);
}

std::filesystem::path ContentView::logsFolder() const {
    return classLogFolder(ctx_.folder.documents(), ctx_.config->mode(), ctx_.config->activeTeacherName());
}

void ContentView::showLogsFolder() {
    std::filesystem::path folder = logsFolder();
    ensureDirectory(folder);  // owner only, like every folder of class data; a failure shows what exists
    if (desktop) desktop->showFolder(folder);
}

void ContentView::copyTeacherLink() {
    if (desktop) desktop->copyText(dashboardCard(*panel_, ctx_.config->snapshot()).copiedText);
}

void ContentView::openTeacherDashboard() {
    if (desktop) desktop->openURL(dashboardCard(*panel_, ctx_.config->snapshot()).openURL);
}

void ContentView::chooseTeachersCSVExport() {
    if (!desktop) return;
    desktop->saveFile({"Exporter les enseignants", "Klarion_Enseignants.csv", "Fichiers CSV (*.csv)", "csv"},
                      [ctx = ctx_, panel = panel_](SaveDestination destination) {
                          klarion::teachersCSVText(ctx, panel, destination);
                      });
}

void ContentView::chooseTeachersCSVImport() {
    if (!desktop) return;
    desktop->openFile(
        {"Importer des enseignants", "", "Fichiers CSV (*.csv)", ""},
        [ctx = ctx_, panel = panel_](OpenDialogResult result) { klarion::importTeachersCSV(ctx, panel, result); });
}

void ContentView::chooseCalendarExport() {
    if (!desktop) return;
    desktop->saveFile({"Exporter le calendrier", "Klarion_Calendrier.json", "Fichiers JSON (*.json)", "json"},
                      [ctx = ctx_, panel = panel_](SaveDestination destination) {
                          klarion::exportCalendarJSON(ctx, panel, destination);
                      });
}

void ContentView::chooseCalendarImport() {
    if (!desktop) return;
    desktop->openFile(
        {"Importer un calendrier", "", "Fichiers JSON (*.json)", ""},
        [ctx = ctx_, panel = panel_](OpenDialogResult result) { klarion::importCalendarJSON(ctx, panel, result); });
}

void ContentView::setJournalEnabled(bool enabled) {
    if (ctx_.logger->isEnabled() == enabled) return;
    ctx_.logger->setEnabled(enabled);
    if (enabled) ctx_.log("Journal activé depuis le menu", AppLogLevel::info);
}

void ContentView::clearJournal() { ctx_.logger->setEntries({}); }

void ContentView::chooseJournalExport() {
    if (!desktop) return;
    char date[32] = {};
    const time_t now = static_cast<time_t>(ctx_.now());
    struct tm local {};
    localtime_r(&now, &local);
    strftime(date, sizeof date, "%d-%m-%Y", &local);
    desktop->saveFile(
        {"Exporter le journal", std::string("Klarion_Log_") + date + ".txt", "Fichiers texte (*.txt)", "txt"},
        [logger = ctx_.logger](SaveDestination destination) {
            if (destination) writeExportFile(*destination, logger->exportText());  // errors dropped
        });
}

void ContentView::openLogsRootFolder() {
    std::filesystem::path folder = ctx_.folder.documents() / "Klarion_Logs";
    ensureDirectory(folder);
    if (desktop) desktop->showFolder(folder);
}

void ContentView::addTeacher() {
    if (klarion::addTeacher(ctx_, panel_->newTeacherName)) panel_->newTeacherName.clear();
}

void ContentView::regenerateTeacherPin(const std::string& teacherId) { klarion::regenerateTeacherPin(ctx_, teacherId); }

void ContentView::requestTeacherDeletion(const Teacher& teacher) {
    panel_->teacherToDelete = teacher;
    panel_->showDeleteConfirmation = true;
}

void ContentView::deleteTeacher(const std::string& teacherId) {
    klarion::deleteTeacher(ctx_, teacherId);
    // The agenda's picker falls back to "— Libérer —": so does the next click.
    if (panel_->selectedTeacherForSlot == teacherId) panel_->selectedTeacherForSlot.reset();
}

void ContentView::teachersCSVText(const SaveDestination& destination) {
    klarion::teachersCSVText(ctx_, panel_, destination);
}

void ContentView::importTeachersCSV(const OpenDialogResult& result) {
    klarion::importTeachersCSV(ctx_, panel_, result);
}

void ContentView::changeMode(const std::string& newMode) { sessions_->changeMode(newMode); }

void ContentView::startTeacherSession(const Teacher& teacher) { sessions_->startTeacherSession(teacher); }

void ContentView::endTeacherSession() { sessions_->endTeacherSession(); }

void ContentView::persistTeacherConfig() { sessions_->persistTeacherConfig(); }

void ContentView::setSlotCount(int64_t newCount) { klarion::setSlotCount(ctx_, newCount); }

void ContentView::setSlotLabel(const std::string& text, int64_t index) { klarion::setSlotLabel(ctx_, text, index); }

void ContentView::setSlotStart(const std::string& text, int64_t index) { klarion::setSlotStart(ctx_, text, index); }

void ContentView::setSlotEnd(const std::string& text, int64_t index) { klarion::setSlotEnd(ctx_, text, index); }

void ContentView::setReservation(const std::string& key) {
    // A teacher who left the list (deleted, or another list loaded) is never
    // booked: the picker shows "— Libérer —" for them, and the click frees.
    std::optional<std::string>& selected = panel_->selectedTeacherForSlot;
    if (selected) {
        const std::vector<Teacher> teachers = ctx_.config->teachers();
        if (std::none_of(teachers.begin(), teachers.end(), [&](const Teacher& t) { return t.id == *selected; }))
            selected.reset();
    }
    klarion::setReservation(ctx_, key, selected);
}

void ContentView::exportCalendarJSON(const SaveDestination& destination) {
    klarion::exportCalendarJSON(ctx_, panel_, destination);
}

void ContentView::importCalendarJSON(const OpenDialogResult& result) {
    klarion::importCalendarJSON(ctx_, panel_, result);
}

}  // namespace klarion
