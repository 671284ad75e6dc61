#include "app/TimePicker.h"

#include <QKeyEvent>
#include <QWidget>

namespace ari {

bool TimePicker::focusNextPrevChild(bool next) {
    // The edit's own handling would move to its next field first and leave only from its last.
    return QWidget::focusNextPrevChild(next);
}

void TimePicker::keyPressEvent(QKeyEvent* event) {
    const bool left = event->key() == Qt::Key_Left;
    if ((left || event->key() == Qt::Key_Right) && event->modifiers() == Qt::NoModifier) {
        // In reading order: the picker is left to right whatever the window's direction.
        const bool forward = left == (layoutDirection() == Qt::RightToLeft);
        const int index = currentSectionIndex() + (forward ? 1 : -1);
        if (index >= 0 && index < sectionCount()) {
            setCurrentSectionIndex(index);
            setSelectedSection(sectionAt(index));
        } else {
            setSelectedSection(currentSection());  // the selection stays on the end field
        }
        event->accept();
        return;
    }
    QTimeEdit::keyPressEvent(event);
}

}  // namespace ari
