#include "app/ListBox.h"

namespace ari {

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
