#include "app/ErrorGuard.h"

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QStandardPaths>
#include <QToolButton>
#include <exception>

#include "platform/Dialogs.h"

namespace ari {

QString ApplicationTitle(const QString& executablePath) {
    QString name = QFileInfo(executablePath).fileName();
    const int dot = name.indexOf('.');
    if (dot >= 0) name.truncate(dot);
    if (name.isEmpty()) return name;
    return name.left(1).toUpper() + name.mid(1).toLower();
}

QString ErrorBoxText(const QString& message) {
    if (!message.isEmpty() && message.back().unicode() > u'.') return message + '.';
    return message;
}

void RunGuarded(const std::function<void()>& handler) {
    try {
        handler();
    } catch (const std::exception& e) {
        ShowErrorBox(ErrorBoxText(QString::fromUtf8(e.what())).toStdString());
    } catch (...) {
        ShowErrorBox(ErrorBoxText(QStringLiteral("Unknown error")).toStdString());
    }
}

void InstallQtDialogs() {
    DialogHooks& hooks = Dialogs();
    hooks.showMessage = [](const std::string& text) {
        QMessageBox box(QMessageBox::NoIcon, QApplication::applicationDisplayName(),
                        QString::fromStdString(text), QMessageBox::Ok,
                        QApplication::activeWindow());
        box.exec();
    };
    hooks.showError = [](const std::string& text) {
        QMessageBox box(QMessageBox::Critical, QApplication::applicationDisplayName(),
                        QString::fromStdString(text), QMessageBox::Ok,
                        QApplication::activeWindow());
        box.exec();
    };
    hooks.pickFolder = [](std::string& folder) {
        QFileDialog dialog(QApplication::activeWindow(), QStringLiteral("Browser Directory"));
        dialog.setFileMode(QFileDialog::Directory);
        dialog.setOption(QFileDialog::ShowDirsOnly, true);
        dialog.setOption(QFileDialog::DontUseNativeDialog, true);
        dialog.setOption(QFileDialog::ReadOnly, true);  // no button for a new folder
        dialog.setLabelText(QFileDialog::LookIn, QStringLiteral("Browser Directory"));
        // The tree starts at the desktop; nothing is preselected, whatever the edit holds.
        QString start = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
        if (!QDir(start).exists()) start = QDir::homePath();
        dialog.setDirectory(start);
        if (auto* newFolder = dialog.findChild<QToolButton*>(QStringLiteral("newFolderButton")))
            newFolder->hide();
        dialog.setWindowModality(Qt::ApplicationModal);
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return false;
        QString path = QDir::cleanPath(dialog.selectedFiles().first());
        folder = path.toStdString();  // no trailing separator except for the root
        return true;
    };
}

}  // namespace ari
