// Turns a left click on a widget that has no click of its own (a status bar panel) into a call.
#pragma once

#include <QEvent>
#include <QMouseEvent>
#include <QObject>
#include <functional>
#include <utility>

namespace ari {

// Installed as an event filter of the widgets it watches, and owned by one of them: calls its
// action on the release of the left button over a watched widget. The event goes on as usual.
class ClickFilter final : public QObject {
  public:
    ClickFilter(QObject* owner, std::function<void()> action)
        : QObject(owner), action_(std::move(action)) {}

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::MouseButtonRelease &&
            static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton && action_)
            action_();
        return QObject::eventFilter(watched, event);
    }

  private:
    std::function<void()> action_;
};

}  // namespace ari
