#include "app/ListBox.h"

#include <QStyledItemDelegate>

namespace ari {

namespace {

// Every row of the list as high as its text's line, without the margins of the toolkit's rows.
class RowHeight final : public QStyledItemDelegate {
  public:
    RowHeight(int height, QObject* parent) : QStyledItemDelegate(parent), height_(height) {}
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        return QSize(QStyledItemDelegate::sizeHint(option, index).width(), height_);
    }

  private:
    int height_;
};

}  // namespace

ListBox::ListBox(QWidget* parent) : QListWidget(parent) {
    setItemDelegate(new RowHeight(kRowHeight, this));
    setUniformItemSizes(true);
}

void ListBox::mousePressEvent(QMouseEvent* event) {
    Tracked([&] { QListWidget::mousePressEvent(event); });
}

void ListBox::mouseMoveEvent(QMouseEvent* event) {
    Tracked([&] { QListWidget::mouseMoveEvent(event); });
}

void ListBox::keyPressEvent(QKeyEvent* event) {
    Tracked([&] { QListWidget::keyPressEvent(event); });
}

}  // namespace ari
