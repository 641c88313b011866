#include "serialline.h"

#include <QStringList>

namespace kr7 {

PortMap PortMap::platformDefault() {
#ifdef Q_OS_WIN
    return {QStringLiteral("COM1"), QStringLiteral("COM2")};
#else
    return {QStringLiteral("/dev/ttyS0"), QStringLiteral("/dev/ttyS1")};
#endif
}

SerialLine::SerialLine(PortMap ports, QObject *parent) : QObject(parent), m_names{ports.com1, ports.com2} {
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, &SerialLine::retry);
    for (int i = 0; i < 2; ++i) {
        const auto parsed = parsePortName(m_names[i]);
        if (const QString *error = std::get_if<QString>(&parsed)) {
            m_nameErrors[i] = *error;
            continue;
        }
        m_network[i] = std::get<PortName>(parsed).isNetwork();
        m_ports[i] = Port::create(std::get<PortName>(parsed));
        Port *p = m_ports[i].get();
        // Only the chosen port's events count; the other one is closed.
        const auto chosen = [this, p] { return p == port(); };
        connect(p, &Port::readyRead, this, [this, chosen] {
            if (chosen())
                emit received();
        });
        connect(p, &Port::opened, this, [this, chosen] {
            if (chosen())
                onOpened();
        });
        connect(p, &Port::openFailed, this, [this, chosen](const QString &reason) {
            if (chosen())
                onOpenFailed(reason);
        });
        connect(p, &Port::lost, this, [this, chosen](const QString &reason) {
            if (chosen())
                onLost(reason);
        });
        connect(p, &Port::notice, this, [this, chosen](const QString &text) {
            if (chosen())
                emit notice(named(text));
        });
    }
}

SerialLine::~SerialLine() {
    for (auto &p : m_ports)
        if (p) {
            p->blockSignals(true);
            p->close();
        }
}

QString SerialLine::device(int port) const {
    return m_names[port == 2 ? 1 : 0];
}

bool SerialLine::isNetwork() const {
    return m_network[m_commPort - 1];
}

QString SerialLine::named(const QString &reason) const {
    return QStringLiteral("%1: %2").arg(device(), reason);
}

void SerialLine::setState(State s) {
    if (m_state == s)
        return;
    m_state = s;
    emit stateChanged();
}

void SerialLine::setCommPort(int port) {
    const int chosen = port == 2 ? 2 : 1;
    if (chosen == m_commPort)
        return;
    if (m_state == State::Waiting || m_state == State::Opening)
        setPortOpen(false);
    m_commPort = chosen;
}

bool SerialLine::setSettings(const QString &settings) {
    const QStringList parts = settings.split(QLatin1Char(','));
    if (parts.size() != 4)
        return false;
    bool ok = false;
    const int baud = parts[0].toInt(&ok);
    if (!ok || baud <= 0 || parts[1] != QLatin1String("N") || parts[2] != QLatin1String("8") ||
        parts[3] != QLatin1String("1"))
        return false;
    const bool changed = settings != m_settings;
    m_settings = settings;
    m_baud = baud;
    for (auto &p : m_ports)
        if (p)
            p->setBaud(baud);
    if (changed)
        emit settingsChanged();
    return true;
}

SerialLine::OpenResult SerialLine::setPortOpen(bool open) {
    m_errorString.clear();
    if (!open) {
        m_retry.stop();
        m_attempts = 0;
        for (auto &p : m_ports)
            if (p)
                p->close();
        const bool wasClosed = m_state == State::Closed;
        setState(State::Closed);
        if (!wasClosed)
            emit closed();
        return OpenResult::Open;
    }
    if (m_state == State::Open || m_state == State::Opening)
        return m_state == State::Open ? OpenResult::Open : OpenResult::Pending;
    m_retry.stop();
    Port *p = port();
    if (!p) {
        m_errorString = m_nameErrors[m_commPort - 1];
        setState(State::Closed);
        emit openFailed(m_errorString);
        return OpenResult::Failed;
    }
    const OpenResult result = p->open(m_baud);
    switch (result) {
    case OpenResult::Open:
        setState(State::Open);
        emit opened();
        break;
    case OpenResult::Failed:
        m_errorString = named(p->errorString());
        openFailedNow();
        break;
    case OpenResult::Pending:
        setState(State::Opening);
        break;
    }
    return result;
}

void SerialLine::openFailedNow() {
    setState(m_retryFailedOpen ? State::Waiting : State::Closed);
    emit openFailed(m_errorString);
    if (m_retryFailedOpen && m_state == State::Waiting) {
        m_attempts = 0;
        scheduleRetry();
    }
}

void SerialLine::onOpened() {
    if (m_state == State::Opening) {
        setState(State::Open);
        emit opened();
    } else if (m_state == State::Waiting) {
        m_attempts = 0;
        setState(State::Open);
        emit portBack();
    }
}

void SerialLine::onOpenFailed(const QString &reason) {
    if (m_state == State::Opening) {
        m_errorString = named(reason);
        openFailedNow();
    } else if (m_state == State::Waiting) {
        scheduleRetry();
    }
}

void SerialLine::onLost(const QString &reason) {
    if (m_state != State::Open)
        return;
    m_errorString = named(reason);
    m_attempts = 0;
    setState(m_reopen ? State::Waiting : State::Closed);
    emit portLost(m_errorString);
    if (m_reopen)
        scheduleRetry();
}

void SerialLine::scheduleRetry() {
    // A device is looked for at a steady, cheap pace; a gateway is asked ever less often.
    int delay = kDevicePollMs;
    if (isNetwork())
        delay = kRetryFirstMs << std::min(m_attempts, 4);
    m_retry.start(std::min(delay, kRetryLastMs));
}

void SerialLine::retry() {
    m_retry.stop();
    if (m_state != State::Waiting)
        return;
    Port *p = port();
    if (!p->mayReturn())
        return scheduleRetry();
    ++m_attempts;
    switch (p->open(m_baud)) {
    case OpenResult::Open:
        m_attempts = 0;
        setState(State::Open);
        emit portBack();
        break;
    case OpenResult::Failed:
        scheduleRetry();
        break;
    case OpenResult::Pending:
        break; // opened() or openFailed() follows
    }
}

qint64 SerialLine::output(const QByteArray &bytes) {
    if (m_state != State::Open)
        return -1;
    return port()->write(bytes);
}

QByteArray SerialLine::input() {
    Port *p = port();
    return p ? p->readAll() : QByteArray();
}

qint64 SerialLine::pendingOutput() const {
    const Port *p = port();
    return p && m_state == State::Open ? p->pendingOutput() : 0;
}

int SerialLine::errorCount() const {
    const Port *p = port();
    return p ? p->errorCount() : 0;
}

} // namespace kr7
