// The hidden file list: the table files of the folder a run lists (the run fills it) and the
// mask they match.
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

    QStringList Entries() const;

  private:
    QString mask_ = QStringLiteral("*.dbf");
};

}  // namespace ari
