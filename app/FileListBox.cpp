#include "app/FileListBox.h"

namespace ari {

FileListBox::FileListBox(QWidget* parent) : QListWidget(parent) {}

QStringList FileListBox::Entries() const {
    QStringList out;
    for (int i = 0; i < count(); ++i)
        out << item(i)->text();
    return out;
}

}  // namespace ari
