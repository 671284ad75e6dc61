#include "app/QtDialogs.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QGridLayout>
#include <QMessageBox>
#include <QStandardPaths>
#include <QToolButton>

#include "platform/Dialogs.h"

namespace ari {

void FitTitle(QMessageBox& box) {
    // The title bar holds the caption beside the box's icon and its buttons; a box sized for
    // its text alone cuts a longer caption. Room for three title-bar buttons and the margins.
    const int titleRoom = box.fontMetrics().horizontalAdvance(box.windowTitle()) + 3 * 32 + 48;
    auto* grid = qobject_cast<QGridLayout*>(box.layout());
    if (grid == nullptr)
        return;
    grid->addItem(new QSpacerItem(titleRoom, 0, QSizePolicy::Minimum, QSizePolicy::Expanding),
                  grid->rowCount(), 0, 1, grid->columnCount());
}

void InstallQtDialogs() {
    DialogHooks& hooks = Dialogs();
    hooks.showMessage = [](const std::string& text) {
        QMessageBox box(QMessageBox::NoIcon, QApplication::applicationName(),
                        QString::fromStdString(text), QMessageBox::Ok,
                        QApplication::activeWindow());
        FitTitle(box);
        box.exec();
    };
    hooks.showError = [](const std::string& text) {
        QMessageBox box(QMessageBox::Critical, QApplication::applicationName(),
                        QString::fromStdString(text), QMessageBox::Ok,
                        QApplication::activeWindow());
        FitTitle(box);
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
        if (!QDir(start).exists())
            start = QDir::homePath();
        dialog.setDirectory(start);
        if (auto* newFolder = dialog.findChild<QToolButton*>(QStringLiteral("newFolderButton")))
            newFolder->hide();
        dialog.setWindowModality(Qt::ApplicationModal);
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
            return false;
        QString path = QDir::cleanPath(dialog.selectedFiles().first());
        folder = path.toStdString();  // no trailing separator except for the root
        return true;
    };
}

}  // namespace ari
