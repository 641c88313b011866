#include "systemd.h"

#include <systemd/sd-daemon.h>

#include <time.h>

namespace kr7::bridge {

SystemdNotifier::SystemdNotifier(QObject *parent) : QObject(parent) {
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
        m_watchdogUsec = qint64(usec);
        // Twice per interval, as systemd advises: one late tick is not yet a restart.
        m_pet.setInterval(int(std::max<uint64_t>(usec / 2000, 1)));
        connect(&m_pet, &QTimer::timeout, this, [this] { notify("WATCHDOG=1"); });
        m_pet.start();
    }
}

void SystemdNotifier::ready(const QString &status) {
    notify("READY=1\nSTATUS=" + status.toUtf8());
}

void SystemdNotifier::reloading() {
    // systemd 253 and later want the monotonic time with it; earlier ones ignore the field.
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    notify("RELOADING=1\nMONOTONIC_USEC=" +
           QByteArray::number(qint64(now.tv_sec) * 1000000 + now.tv_nsec / 1000));
}

void SystemdNotifier::stopping() {
    notify("STOPPING=1");
}

void SystemdNotifier::notify(const QByteArray &state) {
    sd_notify(0, state.constData());
}

} // namespace kr7::bridge
