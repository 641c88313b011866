#include "link.h"

#include "monitortext.h"
#include "statusdecoder.h"

namespace kr7 {

Link::Link(SerialLine &MSComm1, QObject *parent) : QObject(parent), m_MSComm1(MSComm1) {
    // These windows are tens of milliseconds for the lens buttons; the coarse timer may fire 5% off.
    m_Timer2.setTimerType(Qt::PreciseTimer);
    m_Timer4.setTimerType(Qt::PreciseTimer);
    m_Timer2.setInterval(500);
    m_Timer4.setInterval(1000);
    m_rendered.append(u" ");
    connect(&m_Timer2, &QTimer::timeout, this, &Link::Timer2_Timer);
    connect(&m_Timer4, &QTimer::timeout, this, &Link::Timer4_Timer);
    connect(&m_MSComm1, &SerialLine::received, this, &Link::MSComm1_OnComm);
    connect(&m_MSComm1, &SerialLine::portLost, this, &Link::onPortLost);
    connect(&m_MSComm1, &SerialLine::portBack, this, &Link::onPortBack);
    connect(&m_MSComm1, &SerialLine::notice, this, &Link::onNotice);
}

void Link::reset() {
    m_ReplyPending = false;
    emptyReceiveBuffer();
}

void Link::setTxd(const QString &t) {
    m_txd = t;
    emit txdChanged(m_txd);
}

void Link::setRxd(const QString &t) {
    m_rxd = t;
    m_rxdShowsBuffer = false;
    emit rxdChanged();
}

void Link::setStatus(const QString &t) {
    m_status = t;
    emit statusChanged(m_status);
}

void Link::send(const QString &line) {
    m_SendLine = line;
    Hyouji(m_SendLine, Direction::Transmit);
}

void Link::refuse(const QByteArray &bytes, const QString &why) {
    ++m_refused;
    // The TXD field says what became of the line; no reply is awaited, and the notice clears with the
    // monitor like any exchange. A held button refuses 20 lines a second, so no dialog.
    setTxd(QStringLiteral(" NOT SENT: ") + why);
    m_Timer4.start();
    emit lineRefused(bytes, why);
}

void Link::Hyouji(QStringView line, Direction direction) {
    switch (direction) {
    case Direction::Transmit:
        transmitLine(line);
        return;
    case Direction::Receive:
        showReceived();
        return;
    }
}

void Link::transmitLine(QStringView line) {
    const QByteArray bytes = line.toLatin1(); // one byte per character
    const QString port = QStringLiteral("COM%1").arg(m_MSComm1.commPort());
    switch (m_MSComm1.state()) {
    case SerialLine::State::Open:
        break;
    case SerialLine::State::Closed:
        return refuse(bytes, QStringLiteral("port closed (%1)").arg(port));
    case SerialLine::State::Opening:
        return refuse(bytes, QStringLiteral("port still connecting (%1)").arg(port));
    case SerialLine::State::Waiting:
        return refuse(bytes, QStringLiteral("port lost, waiting for it to come back (%1)").arg(port));
    }
    const qint64 pending = m_MSComm1.pendingOutput();
    if (pending + bytes.size() > kMaxQueuedBytes)
        return refuse(bytes, QStringLiteral("%1 bytes still waiting to go out").arg(pending));
    if (m_MSComm1.output(bytes) != bytes.size())
        return refuse(bytes, QStringLiteral("write failed (%1)").arg(port));
    emit lineSent(bytes);
    setTxd(monitorText(line));
    m_Timer2.start();
    m_ReplyPending = true;
    m_Timer4.start();
}

void Link::showReceived() {
    // The rendering of the receive buffer is kept as the buffer grows and is cut: rendering 32767
    // characters anew on every receive event would cost a streaming device's panel a whole core.
    m_rxdShowsBuffer = true;
    m_rxd.clear();
    emit rxdChanged();
    const QString prefix = m_prefix ? m_prefix() : QString();
    if (std::optional<QString> text = decodeStatus(m_SendLine, prefix, m_rendered.view())) {
        setStatus(*text);
        emit statusShown(m_status);
    }
}

void Link::MSComm1_OnComm() {
    const QByteArray bytes = m_MSComm1.input();
    if (bytes.isEmpty())
        return;
    emit bytesReceived(bytes);
    // Only the newest characters can stay in the buffer; the rest need not be rendered at all.
    QByteArrayView fresh(bytes);
    if (fresh.size() > kReceiveBufferMax)
        fresh = fresh.last(kReceiveBufferKept);
    // Bytes above 127 become characters 128..255, which the monitor shows as "? ".
    const QString text = QString::fromLatin1(fresh);
    m_ReceiveBuffer.append(text);
    QString tokens;
    appendMonitorTokens(tokens, text);
    m_rendered.append(tokens);
    // Keep the newest characters only: a device that talks without end costs bounded memory and time.
    const qsizetype excess =
        m_ReceiveBuffer.size() > kReceiveBufferMax ? m_ReceiveBuffer.size() - kReceiveBufferKept : 0;
    if (excess > 0) {
        qsizetype tokenChars = 0;
        for (QChar c : m_ReceiveBuffer.view().first(excess))
            tokenChars += monitorToken(c).size();
        m_ReceiveBuffer.dropFront(excess);
        m_rendered.cutAfterFirst(tokenChars); // the leading blank stays
    }
    m_ReplyPending = false;
    Hyouji(m_ReceiveBuffer.view(), Direction::Receive);
}

void Link::Timer2_Timer() {
    if (m_ReplyPending) {
        setRxd(kNoReplyMarker);
        emit noReplyShown(m_Timer2.interval());
    }
    m_Timer2.stop();
    emptyReceiveBuffer();
    m_ReplyPending = false;
}

void Link::Timer4_Timer() {
    setTxd(QString());
    setRxd(QString());
    setStatus(QString());
    m_Timer4.stop();
}

void Link::setSendIntervals(int replyMs, int clearMs) {
    m_Timer2.setInterval(replyMs);
    m_Timer4.setInterval(clearMs);
}

bool Link::linePending() const {
    return m_MSComm1.pendingOutput() > 0;
}

void Link::closeExchange() {
    m_Timer2.stop();
    m_Timer4.start();
    setTxd(QString());
    setRxd(QString());
}

void Link::emptyReceiveBuffer() {
    // An RXD field that shows the buffer keeps what it showed (nothing changes on screen).
    if (m_rxdShowsBuffer) {
        m_rxd = m_rendered.view().toString();
        m_rxdShowsBuffer = false;
    }
    m_ReceiveBuffer.clear();
    m_rendered.clear();
    m_rendered.append(u" ");
}

void Link::onPortLost(const QString &message) {
    // Keep the notice in view until the operator acts or the port is back: no timer may clear it.
    m_Timer2.stop();
    m_Timer4.stop();
    m_ReplyPending = false;
    if (m_MSComm1.state() == SerialLine::State::Waiting)
        setRxd(QStringLiteral(" PORT LOST: %1 - waiting for it to come back").arg(message));
    else
        setRxd(QStringLiteral(" PORT CLOSED: ") + message);
}

void Link::onPortBack() {
    setRxd(QStringLiteral(" PORT BACK: %1 at %2").arg(m_MSComm1.device(), m_MSComm1.settings()));
}

void Link::onNotice(const QString &message) {
    setRxd(QStringLiteral(" PORT NOTICE: ") + message);
}

} // namespace kr7
