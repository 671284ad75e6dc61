// A list box that reports a change of its selected row only when the operator made it, by mouse
// or keyboard; rows selected from code raise nothing.
#pragma once

#include <QListWidget>

namespace ari {

class ListBox : public QListWidget {
    Q_OBJECT

  public:
    using QListWidget::QListWidget;

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
