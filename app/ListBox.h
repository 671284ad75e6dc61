// A list box that reports a change of its selected row only when the operator made it, by mouse
// or keyboard; rows selected from code raise nothing. Its rows are kRowHeight pixels high, the
// height of a line of the window's font, as the platform's list box draws them: six show in the
// session lists' 85 pixels.
#pragma once

#include <QListWidget>
#include <QStyledItemDelegate>

namespace ari {

// Draws every row of a list as high as given, without the margins of the toolkit's rows.
class RowHeightDelegate final : public QStyledItemDelegate {
  public:
    RowHeightDelegate(int height, QObject* parent) : QStyledItemDelegate(parent), height_(height) {}
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        return QSize(QStyledItemDelegate::sizeHint(option, index).width(), height_);
    }

  private:
    int height_;
};

class ListBox : public QListWidget {
    Q_OBJECT

  public:
    static constexpr int kRowHeight = 13;
    explicit ListBox(QWidget* parent = nullptr);

  signals:
    void UserRowChanged();

  protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

  private:
    template <typename Base>
    void Tracked(Base base) {
        const int before = currentRow();
        base();
        if (currentRow() != before)
            emit UserRowChanged();
    }
};

}  // namespace ari
