// A time picker that is one stop of the tab order, as the platform's own: Tab and Shift+Tab
// leave it whichever of its fields is selected, the left and right arrows move between its
// fields (hours, minutes, seconds) and the up and down arrows change the selected one.
#pragma once

#include <QTimeEdit>

namespace ari {

class TimePicker : public QTimeEdit {
    Q_OBJECT

  public:
    using QTimeEdit::QTimeEdit;

  protected:
    bool focusNextPrevChild(bool next) override;
    void keyPressEvent(QKeyEvent* event) override;
};

}  // namespace ari
