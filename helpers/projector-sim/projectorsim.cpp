#include "projectorsim.h"

#include <QSerialPort>
#include <QSocketNotifier>

#include <cerrno>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace kr7::sim {

namespace {
constexpr qsizetype kMaxLine = 1024; // a line without carriage return this long is noise: drop it
}

ProjectorSim::ProjectorSim(QList<int> units, Timing timing, QObject *parent)
    : QObject(parent), m_model(std::move(units), timing) {
    m_clock.start();
    m_replyTimer.setSingleShot(true);
    m_replyTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_replyTimer, &QTimer::timeout, this, &ProjectorSim::sendDue);
    m_streamTimer.setTimerType(Qt::PreciseTimer);
    m_streamTimer.setInterval(5);
    connect(&m_streamTimer, &QTimer::timeout, this, &ProjectorSim::streamTick);
}

ProjectorSim::~ProjectorSim() {
    blockSignals(true);
    hangUp();
}

bool ProjectorSim::openPty() {
    m_masterFd = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (m_masterFd < 0 || ::grantpt(m_masterFd) != 0 || ::unlockpt(m_masterFd) != 0) {
        m_error = QString::fromLocal8Bit(strerror(errno));
        hangUp();
        return false;
    }
    m_devicePath = QString::fromLocal8Bit(::ptsname(m_masterFd));
    m_slaveFd = ::open(::ptsname(m_masterFd), O_RDWR | O_NOCTTY);
    if (m_slaveFd >= 0) {
        termios t{};
        if (::tcgetattr(m_slaveFd, &t) == 0) {
            ::cfmakeraw(&t);
            ::tcsetattr(m_slaveFd, TCSANOW, &t);
        }
    }
    ::fcntl(m_masterFd, F_SETFL, ::fcntl(m_masterFd, F_GETFL) | O_NONBLOCK);
    m_readNotifier = new QSocketNotifier(m_masterFd, QSocketNotifier::Read, this);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &ProjectorSim::onReadable);
    m_writeNotifier = new QSocketNotifier(m_masterFd, QSocketNotifier::Write, this);
    m_writeNotifier->setEnabled(false);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &ProjectorSim::flushOut);
    return true;
}

bool ProjectorSim::openDevice(const QString &path, int baud) {
    m_port = new QSerialPort(path, this);
    m_port->setBaudRate(baud);
    if (!m_port->open(QIODevice::ReadWrite)) {
        m_error = QStringLiteral("%1: %2").arg(path, m_port->errorString());
        delete m_port;
        m_port = nullptr;
        return false;
    }
    m_devicePath = path;
    connect(m_port, &QSerialPort::readyRead, this, [this] { onBytes(m_port->readAll()); });
    return true;
}

void ProjectorSim::clearReceived() {
    m_received.clear();
    m_lines.clear();
}

void ProjectorSim::setReading(bool reading) {
    if (m_readNotifier)
        m_readNotifier->setEnabled(reading);
}

namespace {
int speedOf(speed_t s) {
    switch (s) {
    case B9600:
        return 9600;
    case B19200:
        return 19200;
    case B38400:
        return 38400;
    default:
        return 0;
    }
}
} // namespace

void ProjectorSim::onReadable() {
    char buf[4096];
    const ssize_t n = ::read(m_masterFd, buf, sizeof buf);
    if (n > 0) {
        // The two ends of a pseudo-terminal share one termios: the speed the other end set is the line's.
        termios t{};
        if (faults.onlyBaud > 0 && ::tcgetattr(m_masterFd, &t) == 0 &&
            speedOf(cfgetispeed(&t)) != faults.onlyBaud)
            return;
        onBytes(QByteArray(buf, n));
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        // Nobody holds the other end any more and never will: stop watching, or the notifier spins.
        m_readNotifier->setEnabled(false);
    }
}

void ProjectorSim::onBytes(const QByteArray &bytes) {
    m_received += bytes;
    emit bytesReceived(bytes);
    for (char c : bytes) {
        if (c != '\r') {
            if (m_pending.size() < kMaxLine)
                m_pending += c;
            continue;
        }
        const QByteArray line = m_pending;
        m_pending.clear();
        m_lines.append(line);
        ++m_lineCount;
        emit lineReceived(line);
        std::optional<QByteArray> reply = m_model.handleLine(line, now());
        const QByteArray code = line.startsWith('A') && line.size() > 4 ? line.mid(4) : line;
        if (const auto own = faults.replies.constFind(line); own != faults.replies.constEnd())
            reply = *own;
        else if (const auto shaped = faults.replies.constFind(code); shaped != faults.replies.constEnd())
            reply = *shaped;
        const bool silent = line.startsWith('A') && faults.silentUnits.contains(line.mid(1, 3).toInt());
        if (reply && !faults.noReply && !silent) {
            if (faults.garbage) {
                QByteArray junk(reply->size() + 2, '\0');
                for (char &j : junk)
                    j = char(m_random.bounded(256));
                *reply = junk;
            }
            scheduleReply(*reply, faults.lineDelayMs.value(line, faults.replyDelayMs));
        }
        if (faults.hangUpAfterLines > 0 && m_lineCount >= faults.hangUpAfterLines) {
            hangUp();
            return;
        }
    }
}

void ProjectorSim::scheduleReply(QByteArray reply, int delayMs) {
    qint64 at = m_clock.elapsed() + delayMs;
    if (!m_due.empty())
        at = std::max(at, m_due.back().at);
    if (faults.pieceGapMs > 0) {
        for (qsizetype i = 0; i < reply.size(); ++i)
            m_due.push_back({at + i * faults.pieceGapMs, reply.mid(i, 1)});
    } else {
        m_due.push_back({at, reply});
    }
    sendDue();
}

void ProjectorSim::sendDue() {
    const qint64 now = m_clock.elapsed();
    while (!m_due.empty() && m_due.front().at <= now) {
        write(m_due.front().bytes);
        m_due.pop_front();
    }
    if (!m_due.empty())
        m_replyTimer.start(int(m_due.front().at - now));
}

void ProjectorSim::write(const QByteArray &bytes) {
    m_sent += bytes;
    if (m_port) {
        m_port->write(bytes);
        return;
    }
    if (m_masterFd < 0)
        return;
    m_out += bytes;
    flushOut();
}

void ProjectorSim::flushOut() {
    while (!m_out.isEmpty()) {
        const ssize_t n = ::write(m_masterFd, m_out.constData(), size_t(m_out.size()));
        if (n <= 0)
            break;
        m_out.remove(0, n);
    }
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(!m_out.isEmpty());
}

void ProjectorSim::setStreaming(bool on) {
    if (on && faults.streamBps > 0) {
        m_streamStarted = m_clock.elapsed();
        m_streamSent = 0;
        m_streamTimer.start();
    } else {
        m_streamTimer.stop();
    }
}

void ProjectorSim::streamTick() {
    // Keep the average at the line rate: what the rate allows so far, less what went out.
    const qint64 allowed = (m_clock.elapsed() - m_streamStarted) * faults.streamBps / 1000;
    QByteArray chunk;
    for (; m_streamSent < allowed; ++m_streamSent)
        chunk += char('0' + m_streamSent % 10);
    if (!chunk.isEmpty())
        write(chunk);
}

void ProjectorSim::hangUp() {
    const bool wasOpen = isOpen();
    m_streamTimer.stop();
    m_replyTimer.stop();
    m_due.clear();
    delete m_readNotifier;
    m_readNotifier = nullptr;
    delete m_writeNotifier;
    m_writeNotifier = nullptr;
    if (m_slaveFd >= 0)
        ::close(m_slaveFd);
    if (m_masterFd >= 0)
        ::close(m_masterFd);
    m_slaveFd = m_masterFd = -1;
    if (m_port) {
        m_port->close();
        m_port->deleteLater();
        m_port = nullptr;
    }
    if (wasOpen)
        emit hungUp();
}

} // namespace kr7::sim
