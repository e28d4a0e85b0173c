#include "ui/qt/qt_desktop.h"

#include <QClipboard>
#include <QDesktopServices>
#include <QFileDialog>
#include <QGuiApplication>
#include <QStandardPaths>
#include <QUrl>

#include "platform/main_queue.h"

namespace klarion::qt {

namespace {

QString startFolder() { return QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation); }

// Runs the dialog's outcome as a main-queue task, so the change reactions follow it.
template <class Fn>
void asTask(Fn fn) {
    mainQueue()->runTask(fn);
}

}  // namespace

void QtDesktop::openURL(const std::string& url) { QDesktopServices::openUrl(QUrl(QString::fromStdString(url))); }

void QtDesktop::showFolder(const std::filesystem::path& folder) {
    QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(folder.string())));
}

void QtDesktop::copyText(const std::string& text) {
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    clipboard->setText(QString::fromStdString(text));
}

void QtDesktop::saveFile(const FileDialogRequest& request, std::function<void(SaveDestination)> done) {
    QFileDialog* dialog = fileDialog(request, "saveDialog");
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setFileMode(QFileDialog::AnyFile);
    dialog->setDefaultSuffix(QString::fromStdString(request.defaultSuffix));
    dialog->selectFile(QString::fromStdString(request.proposedName));
    QObject::connect(dialog, &QFileDialog::finished, dialog, [dialog, done](int result) {
        SaveDestination destination;
        const QStringList files = dialog->selectedFiles();
        if (result == QDialog::Accepted && !files.isEmpty()) destination = files.front().toStdString();
        asTask([done, destination] { done(destination); });
    });
    dialog->show();
}

void QtDesktop::openFile(const FileDialogRequest& request, std::function<void(OpenDialogResult)> done) {
    QFileDialog* dialog = fileDialog(request, "openDialog");
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    dialog->setFileMode(QFileDialog::ExistingFile);
    QObject::connect(dialog, &QFileDialog::finished, dialog, [dialog, done](int result) {
        std::vector<std::filesystem::path> files;
        if (result == QDialog::Accepted) {
            for (const QString& file : dialog->selectedFiles()) files.emplace_back(file.toStdString());
        }
        asTask([done, files] { done(OpenDialogResult::chosen(files)); });
    });
    dialog->show();
}

QFileDialog* QtDesktop::fileDialog(const FileDialogRequest& request, const QString& name) const {
    // Over the window, but not modal: the panel stays usable while it shows.
    auto* dialog = new QFileDialog(window_, QString::fromStdString(request.title), startFolder(),
                                   QString::fromStdString(request.filter));
    dialog->setObjectName(name);
    dialog->setWindowModality(Qt::NonModal);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    return dialog;
}

}  // namespace klarion::qt
