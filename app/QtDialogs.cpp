#include "app/QtDialogs.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QStandardPaths>
#include <QToolButton>

#include "platform/Dialogs.h"

namespace ari {

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
