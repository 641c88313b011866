#include "exchange.h"

#include "commandset.h"
#include "link.h"
#include "monitortext.h"
#include "replyframe.h"
#include "statusdecoder.h"

namespace kr7 {

LineExchange::LineExchange(SerialLine &line, QObject *parent) : QObject(parent), m_line(line) {
    m_window.setSingleShot(true);
    m_window.setTimerType(Qt::PreciseTimer);
    connect(&m_window, &QTimer::timeout, this, [this] { endReply(false); });
    m_settle.setSingleShot(true);
    m_settle.setTimerType(Qt::PreciseTimer);
    connect(&m_settle, &QTimer::timeout, this, &LineExchange::settled);
    connect(&m_line, &SerialLine::received, this, &LineExchange::onReceived);
}

bool LineExchange::ask(const QString &prefix, const QString &code, int windowMs) {
    const QByteArray line = commandLine(prefix, code).toLatin1();
    if (busy()) {
        emit lineRefused(line, m_waiting ? QStringLiteral("an exchange is under way")
                                         : QStringLiteral("the line settles after a reply window ran out"));
        return false;
    }
    if (m_line.state() != SerialLine::State::Open) {
        emit lineRefused(line, QStringLiteral("port not open (%1)").arg(m_line.device()));
        return false;
    }
    // What came after the last reply ended does not belong to the next one.
    if (const QByteArray stale = m_line.input(); !stale.isEmpty())
        emit bytesReceived(stale);
    if (m_line.output(line) != line.size()) {
        emit lineRefused(line, QStringLiteral("write failed"));
        return false;
    }
    emit lineSent(line);
    m_result = ExchangeResult{};
    m_result.line = line;
    m_prefix = prefix;
    m_waiting = true;
    m_clock.start();
    m_window.start(windowMs);
    return true;
}

void LineExchange::abandon() {
    m_window.stop();
    m_settle.stop();
    m_waiting = false;
}

void LineExchange::onReceived() {
    const QByteArray bytes = m_line.input();
    if (bytes.isEmpty())
        return;
    emit bytesReceived(bytes);
    if (m_settle.isActive()) {
        if (!std::exchange(m_late, true))
            emit lateReply();
        return;
    }
    if (!m_waiting)
        return;
    m_result.reply += bytes;
    const qsizetype end = replyEnd(m_result.reply);
    if (end < 0)
        return;
    m_result.reply.truncate(end);
    endReply(true);
}

void LineExchange::endReply(bool replied) {
    if (!m_waiting)
        return;
    m_waiting = false;
    const int window = m_window.interval();
    m_window.stop();
    if (!replied) { // the window ran out: what comes next may still be this line's reply
        m_late = false;
        m_settle.start(kSettleMs);
    }
    ExchangeResult r = std::move(m_result);
    r.elapsedMs = double(m_clock.nsecsElapsed()) / 1e6;
    // A reply window that ends on bytes without an end is still a reply, as the panel shows it.
    r.replied = replied || !r.reply.isEmpty();
    if (r.replied) {
        r.monitor = monitorText(QString::fromLatin1(r.reply));
        r.status = decodeStatus(QString::fromLatin1(r.line), m_prefix, r.monitor);
        if (r.status)
            emit statusShown(*r.status);
    } else {
        r.monitor = Link::kNoReplyMarker;
        emit noReplyShown(window);
    }
    emit finished(r);
}

} // namespace kr7
