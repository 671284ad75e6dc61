// A window timer with this rule: switching it on restarts the interval only when it was off;
// switching it to the state it has does nothing. Ticks arrive on the window thread through the
// handler given at construction, guarded against escaping exceptions.
#pragma once

#include <QObject>
#include <QTimer>
#include <functional>

namespace ari {

class WindowTimer : public QObject {
    Q_OBJECT

  public:
    WindowTimer(const QString& name, int intervalMs, bool enabled, QObject* parent);

    bool Enabled() const { return enabled_; }
    void SetEnabled(bool on);
    int Interval() const { return interval_; }
    void SetHandler(std::function<void()> handler) { handler_ = std::move(handler); }

    // Milliseconds until the next tick, -1 when off.
    int RemainingTime() const { return enabled_ ? timer_.remainingTime() : -1; }
    // Runs one tick now, as if the interval had elapsed (tests).
    void Fire();

  private:
    void OnTimeout();

    QTimer timer_;
    int interval_;
    bool enabled_ = false;
    std::function<void()> handler_;
};

}  // namespace ari
