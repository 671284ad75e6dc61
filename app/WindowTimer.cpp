#include "app/WindowTimer.h"

#include "app/ErrorGuard.h"

namespace ari {

WindowTimer::WindowTimer(const QString& name, int intervalMs, bool enabled, QObject* parent)
    : QObject(parent), interval_(intervalMs) {
    setObjectName(name);
    timer_.setSingleShot(false);
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, &WindowTimer::OnTimeout);
    SetEnabled(enabled);
}

void WindowTimer::SetEnabled(bool on) {
    if (on == enabled_)
        return;
    enabled_ = on;
    if (on)
        timer_.start(interval_);
    else
        timer_.stop();
}

void WindowTimer::Fire() {
    OnTimeout();
}

void WindowTimer::OnTimeout() {
    if (handler_)
        RunGuarded(handler_);
}

}  // namespace ari
