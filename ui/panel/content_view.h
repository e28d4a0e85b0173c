// ContentView: the control panel's model, without any window.
//
// It holds the panel's fields (PanelState, plus AppConfig through the state
// context) and the panel's operations. The Qt window draws it and forwards
// the user's actions to it; tests drive it directly with a drainable main
// queue. Every member runs on the main thread unless its comment says
// otherwise.
//
// The work itself lives with its owner: roster, teachers CSV, sessions,
// slots and calendar exchange in app/state/; the server start and stop in
// server/api/; the LM Studio probes in server/llm/. Those last two plug into
// the seams below (`serverControl`, `lmStudioProbes`). Route handlers never
// hold the panel: they take what they need from `context()`, `panel()` and
// `sessions()` (shared pointers) when the server starts.
//
// Change reactions. After every task of the main queue (and after every user
// action the window runs through MainQueue::runTask) the panel compares the
// watched classroom settings (audience, requiresPin, isSupervisionActive,
// supervisionLevel) with the values seen after the previous task:
//   - `requiresPin` turned on while the class PIN is still "8461": a new
//     4-digit class PIN is drawn (journal, debug: "PIN élève régénéré
//     (toggle)");
//   - any of them changed: persistTeacherConfig(), which saves the six
//     settings for the active teacher in the establishment mode.
// The mission and the class PIN are not watched: "/api/mission" writes the
// mission alone into the teacher's file and leaves the other five as the
// file has them (saving the values in memory would overwrite them), and
// whatever changes the class PIN saves it itself.
// A task that changes several settings triggers each reaction once. The end
// of a session clears the active teacher in the same task as it restores the
// initial settings, so these reactions never save the defaults over a
// teacher's file.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/state/records.h"
#include "app/state/sessions.h"
#include "app/state/state_context.h"
#include "ui/panel/desktop.h"
#include "ui/panel/dialog_results.h"
#include "ui/panel/panel_state.h"

namespace klarion {

// Seam for the classroom server (server/api). Both run on the main thread.
struct ServerControl {
    // Registers the routes and starts the server on `port`; true when it
    // listens (the panel then sets isRunning). The address, or the reason of
    // a failed start, comes later through the server's reports.
    std::function<bool(int64_t port, const std::string& hostName)> startServer;
    // Stops the server, ends the teacher session in the establishment mode,
    // queues the clearing of the run, journals "Serveur arrêté".
    std::function<void()> stopServer;
};

// What the start button's LM Studio check may do once its probe has answered
// (on the main thread).
struct StartPrecheck {
    // Sets alertTitle, alertMessage, then showingAlert: a refused start.
    std::function<void(const std::string& title, const std::string& message)> showAlert;
    // LM Studio answers with a model loaded: start the server.
    std::function<void()> startServer;
};

// Seam for the LM Studio probes (server/llm). Both return at once; the probe's
// reply is handled later on the main queue.
struct LmStudioProbeActions {
    // The status probe of the window and of the timer: probeLMStudio with this
    // time-out, its reply handled by handleLMProbeResult.
    std::function<void(double timeoutSeconds)> probeStatus;
    // The start button's probe: probeLMStudio with this time-out, its reply
    // handled by startPrecheckResult, which journals and calls
    // precheck.showAlert when LM Studio does not answer or has no model
    // loaded, and precheck.startServer otherwise.
    std::function<void(double timeoutSeconds, StartPrecheck precheck)> probeBeforeStart;
};

class ContentView {
public:
    static constexpr double timerIntervalSeconds = 5.0;
    static constexpr double statusProbeTimeoutSeconds = 1.0;
    static constexpr double startProbeTimeoutSeconds = 2.0;

    // Takes the shared state of `ctx` (the program's own by default), makes
    // its PanelState (hostName: localHostName of the computer's host name)
    // and registers the change reactions on the context's main queue (the
    // process-wide one when the context names none: set it before).
    explicit ContentView(StateContext ctx = StateContext::standard());
    ~ContentView();  // removes the change reactions
    ContentView(const ContentView&) = delete;
    ContentView& operator=(const ContentView&) = delete;

    // Seams, set once by the program before the window is shown. While a
    // seam is empty its action does nothing.
    ServerControl serverControl;
    LmStudioProbeActions lmStudioProbes;
    std::shared_ptr<Desktop> desktop;

    const StateContext& context() const { return ctx_; }
    const std::shared_ptr<AppConfig>& config() const { return ctx_.config; }
    const std::shared_ptr<PanelState>& panel() const { return panel_; }
    // The session operations; safe to share with route handlers.
    const std::shared_ptr<TeacherSessions>& sessions() const { return sessions_; }

    // Lifecycle.
    // Once, when the window is first shown: loads the mode (and, in the
    // establishment mode, the roster and the schedule, creating no folder),
    // starts the status probe, journals "Application démarrée — version 1.4
    // (PIN enseignant: NNNN)".
    void onAppear();
    // Every 5 seconds: starts the status probe; turns an expired AI pause
    // timer into a pause; in the establishment mode ends an idle session.
    void onTimerTick();
    // The start/stop button: stops a running server, or checks LM Studio and
    // starts the server when it answers with a model loaded. A press while
    // that check has not answered yet is ignored.
    void startStopAction();
    // The general alert: title, message, then the flag.
    void showAlert(const std::string& title, const std::string& message);

    // Class controls and dashboard access.
    void renewStudentPin();  // new class PIN, journal, saved for the active teacher
    void renewTeacherPin();  // new 4-digit teacher PIN, saved as a preference
    void showLogsFolder();   // creates the class log folder and shows it
    void copyTeacherLink();  // the teacher short link, else the local one
    void openTeacherDashboard();
    // The class log folder of the current mode and session.
    std::filesystem::path logsFolder() const;

    // The file dialogs of the teachers and calendar exchanges.
    void chooseTeachersCSVExport();
    void chooseTeachersCSVImport();
    void chooseCalendarExport();
    void chooseCalendarImport();

    // The debug journal ("Outils" menu and journal window).
    void setJournalEnabled(bool enabled);
    void clearJournal();
    void chooseJournalExport();  // writes AppLogger::exportText() as it is once a file is chosen
    void openLogsRootFolder();   // Documents/"Klarion_Logs", whatever the mode

    // Roster ("Enseignants").
    void addTeacher();  // reads PanelState::newTeacherName, empties it once added
    void regenerateTeacherPin(const std::string& teacherId);
    void deleteTeacher(const std::string& teacherId);
    // A row's "Supprimer": the confirmation asks before deleteTeacher.
    void requestTeacherDeletion(const Teacher& teacher);

    // Teachers CSV: the dialogs' outcomes.
    void teachersCSVText(const SaveDestination& destination);
    void importTeachersCSV(const OpenDialogResult& result);

    // Operating mode and sessions (see TeacherSessions for threads).
    void changeMode(const std::string& newMode);
    void startTeacherSession(const Teacher& teacher);
    void endTeacherSession();
    void persistTeacherConfig();

    // Daily slots and the agenda.
    void setSlotCount(int64_t newCount);
    void setSlotLabel(const std::string& text, int64_t index);
    void setSlotStart(const std::string& text, int64_t index);
    void setSlotEnd(const std::string& text, int64_t index);
    void setReservation(const std::string& key);  // books for PanelState::selectedTeacherForSlot

    // Calendar JSON: the dialogs' outcomes.
    void exportCalendarJSON(const SaveDestination& destination);
    void importCalendarJSON(const OpenDialogResult& result);

private:
    StateContext ctx_;
    std::shared_ptr<PanelState> panel_;
    std::shared_ptr<TeacherSessions> sessions_;
    std::shared_ptr<MainQueue> reactionQueue_;
    int reactionHookId_ = 0;
    // Set while the start button's LM Studio check has not answered.
    std::shared_ptr<std::atomic<bool>> startCheckPending_ = std::make_shared<std::atomic<bool>>(false);
};

}  // namespace klarion
