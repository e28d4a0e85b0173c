// The desktop control panel's own fields, apart from AppConfig.
//
// ContentView owns one PanelState through a shared_ptr. Every field is read and
// written on the main thread only; the server and the route handlers never see
// it: the server reports its address and a failed start through callbacks that
// the panel binds to these fields.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "app/state/records.h"

namespace klarion {

struct PanelState {
    int selectedTab = 0;           // 0 "Technique", 1 "Pédagogie & Contrôle", 2 "Enseignants"
    int64_t selectedPort = 3000;   // the port picker offers 3000, 8080 and 80
    bool isRunning = false;        // true after a successful server start
    std::string hostName = "Mac";  // the computer's name; replaced at start-up by the host name
    std::string ipURL;             // the published server address, empty while stopped
    std::string lmStudioPort = "1234";  // LM Studio's port as the texts name it (that of its address)

    // The panel's general alert, set in this order: title, message, then the flag.
    std::string alertTitle;
    std::string alertMessage;
    bool showingAlert = false;

    std::string newTeacherName;  // the teacher-name field

    std::string teacherCSVMessage;  // alert "Import/Export CSV"
    bool showTeacherCSVAlert = false;

    std::optional<Teacher> teacherToDelete;  // the delete confirmation's teacher
    bool showDeleteConfirmation = false;

    int displayedWeekOffset = 0;                        // agenda week, from the current one
    std::optional<std::string> selectedTeacherForSlot;  // none = "— Libérer —"

    std::string importExportMessage;  // alert "Calendrier"
    bool showImportExportAlert = false;
};

}  // namespace klarion
