#pragma once

#include <QObject>
#include <QTimer>

namespace kr7::bridge {

// The bridge as a Type=notify service: it says when it is ready (configuration read, listeners bound), when
// it reloads and when it stops, and pets WatchdogSec= from the event loop, so that a loop that stalls is
// restarted by systemd rather than left serving stale metrics. Without systemd (no NOTIFY_SOCKET) each call
// does nothing.
class SystemdNotifier : public QObject {
    Q_OBJECT
  public:
    explicit SystemdNotifier(QObject *parent = nullptr);

    void ready(const QString &status);
    void reloading();
    void stopping();
    // The watchdog's interval as systemd asks for it; 0 when there is none.
    qint64 watchdogUsec() const { return m_watchdogUsec; }

  private:
    void notify(const QByteArray &state);

    QTimer m_pet;
    qint64 m_watchdogUsec = 0;
};

} // namespace kr7::bridge
