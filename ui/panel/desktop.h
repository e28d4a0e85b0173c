// The desktop the panel talks to: the browser, the file viewer, the
// clipboard and the file dialogs. The program plugs in the Qt one; tests plug
// in a fake. Dialogs never block, and leave the window usable while they
// show: their outcome arrives later through the callback, on the main thread.
#pragma once

#include <filesystem>
#include <functional>
#include <string>

#include "ui/panel/dialog_results.h"

namespace klarion {

struct FileDialogRequest {
    std::string title;
    std::string proposedName;   // save dialogs
    std::string filter;         // e.g. "Fichiers CSV (*.csv)"
    std::string defaultSuffix;  // save dialogs: added to a name typed without one, e.g. "csv"
};

class Desktop {
public:
    virtual ~Desktop() = default;
    virtual void openURL(const std::string& url) = 0;
    virtual void showFolder(const std::filesystem::path& folder) = 0;
    virtual void copyText(const std::string& text) = 0;
    virtual void saveFile(const FileDialogRequest& request, std::function<void(SaveDestination)> done) = 0;
    virtual void openFile(const FileDialogRequest& request, std::function<void(OpenDialogResult)> done) = 0;
};

}  // namespace klarion
