#include "portquery.h"

#include "commandset.h"
#include "monitortext.h"
#include "replyframe.h"
#include "statusdecoder.h"
#include "trafficlog.h"

namespace kr7::query {

using traffic::Kind;

PortQuery::PortQuery(QString port, const Plan &plan, traffic::TrafficLog *trafficLog, QObject *parent)
    : QObject(parent), m_port(std::move(port)), m_plan(plan), m_log(trafficLog),
      m_line(PortMap{m_port, QString()}) {
    m_line.setReopenWhenBack(false); // a lost port ends this run; the next run tries again
    m_line.setSettings(plan.settings);
    m_window.setSingleShot(true);
    m_window.setTimerType(Qt::PreciseTimer);
    connect(&m_window, &QTimer::timeout, this, [this] { endReply(false); });
    connect(&m_line, &SerialLine::opened, this, &PortQuery::onOpened);
    connect(&m_line, &SerialLine::openFailed, this, [this](const QString &message) {
        log(Kind::CLOSED, {}, QStringLiteral("open failed: ") + message);
        onFailed(message);
    });
    connect(&m_line, &SerialLine::portLost, this, [this](const QString &message) {
        log(Kind::LOST, {}, message);
        onFailed(message);
    });
    connect(&m_line, &SerialLine::received, this, &PortQuery::onReceived);
    connect(&m_line, &SerialLine::notice, this, [this](const QString &text) { log(Kind::SPEED, {}, text); });
}

void PortQuery::log(Kind kind, QByteArrayView bytes, const QString &text) {
    if (m_log)
        m_log->write(m_port, kind, bytes, text);
}

void PortQuery::start() {
    m_line.setPortOpen(true); // opened() or openFailed() follows, at once or from the event loop
}

void PortQuery::onOpened() {
    log(Kind::OPEN, {}, QStringLiteral("%1 %2").arg(m_port, m_line.settings()));
    sendNext();
}

void PortQuery::onFailed(const QString &message) {
    if (m_done)
        return;
    m_error = message;
    stop();
}

void PortQuery::sendNext() {
    if (m_done)
        return;
    if (m_next >= m_plan.commands.size())
        return finish();
    const Plan::Command &command = m_plan.commands[m_next++];
    Result r;
    r.port = m_port;
    r.unit = m_plan.unit;
    r.word = command.word;
    r.code = command.code;
    r.line = commandLine(m_plan.prefix, command.code).toLatin1();
    // What came after the last reply ended does not belong to the next one.
    if (const QByteArray stale = m_line.input(); !stale.isEmpty())
        log(Kind::RX, stale);
    m_received.clear();
    if (m_line.output(r.line) != r.line.size()) {
        log(Kind::NOTSENT, r.line, QStringLiteral("write failed"));
        return onFailed(QStringLiteral("%1: write failed").arg(m_port));
    }
    log(Kind::TX, r.line);
    m_results << r;
    m_waiting = true;
    m_clock.start();
    m_window.start(m_plan.timeoutMs);
}

void PortQuery::onReceived() {
    const QByteArray bytes = m_line.input();
    if (bytes.isEmpty())
        return;
    log(Kind::RX, bytes);
    if (!m_waiting)
        return; // after the reply ended: nobody's
    m_received += bytes;
    const qsizetype end = replyEnd(m_received);
    if (end < 0)
        return;
    m_received.truncate(end);
    endReply(true);
}

void PortQuery::endReply(bool replied) {
    if (!m_waiting)
        return;
    m_waiting = false;
    m_window.stop();
    Result &r = m_results.last();
    r.elapsedMs = double(m_clock.nsecsElapsed()) / 1e6;
    // A reply window that ends on bytes without an end is still a reply, as the panel shows it.
    r.replied = replied || !m_received.isEmpty();
    r.reply = m_received;
    if (r.replied) {
        const QString received = QString::fromLatin1(r.reply);
        r.monitor = monitorText(received);
        r.status = decodeStatus(QString::fromLatin1(r.line), m_plan.prefix, r.monitor);
        if (r.status)
            log(Kind::STATUS, {}, *r.status);
    } else {
        r.monitor = QStringLiteral(" X X X X"); // the panel's no-reply marker
        log(Kind::NOREPLY, {}, QStringLiteral("no reply within %1 ms").arg(m_plan.timeoutMs));
    }
    sendNext();
}

void PortQuery::stop() {
    if (m_done)
        return;
    m_window.stop();
    if (m_waiting) { // the command under way did not finish
        m_waiting = false;
        m_results.removeLast();
    }
    finish();
}

void PortQuery::finish() {
    if (m_done)
        return;
    m_done = true;
    if (m_line.state() != SerialLine::State::Closed) {
        m_line.setPortOpen(false);
        log(Kind::CLOSED, {}, m_port);
    }
    emit finished();
}

} // namespace kr7::query
