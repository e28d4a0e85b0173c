// The desktop through Qt: the default browser, the file manager, the
// clipboard and file dialogs that block nothing: shown without a nested
// event loop (the 5-second tick goes on) and not modal (the window stays
// usable).
#pragma once

#include <QPointer>
#include <QWidget>

#include "ui/panel/desktop.h"

class QFileDialog;

namespace klarion::qt {

class QtDesktop : public Desktop {
public:
    // Dialogs are shown over `window` (may be null).
    explicit QtDesktop(QWidget* window = nullptr) : window_(window) {}
    void setWindow(QWidget* window) { window_ = window; }
    void openURL(const std::string& url) override;
    void showFolder(const std::filesystem::path& folder) override;
    void copyText(const std::string& text) override;
    void saveFile(const FileDialogRequest& request, std::function<void(SaveDestination)> done) override;
    void openFile(const FileDialogRequest& request, std::function<void(OpenDialogResult)> done) override;

private:
    QFileDialog* fileDialog(const FileDialogRequest& request, const QString& name) const;
    QPointer<QWidget> window_;
};

}  // namespace klarion::qt
