#include "app/FileListBox.h"

#include "platform/Files.h"

namespace ari {

FileListBox::FileListBox(QWidget* parent) : QListWidget(parent) {}

void FileListBox::ApplyFilePath(const QString& folder) {
    const std::string dir = folder.toStdString();
    SetCurrentFolder(dir);
    const auto names = ListFiles(dir, mask_.toStdString());
    clear();
    for (const auto& n : names) addItem(QString::fromStdString(n));
}

QStringList FileListBox::Entries() const {
    QStringList out;
    for (int i = 0; i < count(); ++i) out << item(i)->text();
    return out;
}

}  // namespace ari
