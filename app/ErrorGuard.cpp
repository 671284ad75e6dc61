#include "app/ErrorGuard.h"

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
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
