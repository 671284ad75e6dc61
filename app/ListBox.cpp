#include "app/ListBox.h"

namespace ari {

ListBox::ListBox(QWidget* parent) : QListWidget(parent) {
    setItemDelegate(new RowHeightDelegate(kRowHeight, this));
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
