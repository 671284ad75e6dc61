// The hidden file list: lists the files of a folder that match its mask and makes that folder
// the process's current folder.
#pragma once

#include <QListWidget>
#include <QStringList>

namespace ari {

class FileListBox : public QListWidget {
    Q_OBJECT

public:
    explicit FileListBox(QWidget* parent = nullptr);

    QString Mask() const { return mask_; }
    void SetMask(const QString& mask) { mask_ = mask; }

    // Reads `folder` now: regular, non-hidden files matching the mask (case aside), sorted
    // without regard to case; `folder` becomes the current folder. Throws EInOutError when the
    // folder cannot be entered or read.
    void ApplyFilePath(const QString& folder);

    QStringList Entries() const;

private:
    QString mask_ = QStringLiteral("*.dbf");
};

}  // namespace ari
