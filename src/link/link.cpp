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
    m_receiveRendered = QStringLiteral(" ");
    connect(&m_Timer2, &QTimer::timeout, this, &Link::Timer2_Timer);
    connect(&m_Timer4, &QTimer::timeout, this, &Link::Timer4_Timer);
    connect(&m_MSComm1, &SerialLine::received, this, &Link::MSComm1_OnComm);
    connect(&m_MSComm1, &SerialLine::portLost, this, &Link::onPortLost);
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
    emit rxdChanged(m_rxd);
}

void Link::setStatus(const QString &t) {
    m_status = t;
    emit statusChanged(m_status);
}

void Link::send(const QString &line) {
    m_SendLine = line;
    Hyouji(m_SendLine, Direction::Transmit);
}

void Link::refuse(const QString &why) {
    ++m_refused;
    // The TXD field says what became of the line; no reply is awaited, and the notice clears with the
    // monitor like any exchange. A held button refuses 20 lines a second, so no dialog.
    setTxd(QStringLiteral(" NOT SENT: ") + why);
    m_Timer4.start();
}

void Link::Hyouji(const QString &line, Direction direction) {
    switch (direction) {
    case Direction::Transmit:
        transmitLine(line);
        return;
    case Direction::Receive:
        showReceived();
        return;
    }
}

void Link::transmitLine(const QString &line) {
    if (!m_MSComm1.portOpen())
        return refuse(QStringLiteral("port closed (COM%1)").arg(m_MSComm1.commPort()));
    const QByteArray bytes = line.toLatin1(); // one byte per character
    const qint64 pending = m_MSComm1.pendingOutput();
    if (pending + bytes.size() > kMaxQueuedBytes)
        return refuse(QStringLiteral("%1 bytes still waiting to go out").arg(pending));
    if (m_MSComm1.output(bytes) != bytes.size())
        return refuse(QStringLiteral("write failed (COM%1)").arg(m_MSComm1.commPort()));
    setTxd(monitorText(line));
    m_Timer2.start();
    m_ReplyPending = true;
    m_Timer4.start();
}

void Link::showReceived() {
    // The receive buffer's rendering is kept as the buffer grows and is cut: rendering 32767 characters
    // anew on every receive event would cost a streaming device's panel a whole core.
    setRxd(m_receiveRendered);
    const QString prefix = m_prefix ? m_prefix() : QString();
    if (std::optional<QString> text = decodeStatus(m_SendLine, prefix, m_rxd))
        setStatus(*text);
}

void Link::MSComm1_OnComm() {
    const QByteArray bytes = m_MSComm1.input();
    if (bytes.isEmpty())
        return;
    // Bytes above 127 become characters 128..255, which the monitor shows as "? ".
    QByteArrayView fresh(bytes);
    if (fresh.size() > kReceiveBufferMax)
        fresh = fresh.last(kReceiveBufferMax);
    const QString text = QString::fromLatin1(fresh);
    // The RXD text shares the rendering; let go of it so the rendering grows in place instead of being
    // copied.
    if (m_rxd.constData() == m_receiveRendered.constData())
        m_rxd = QString();
    m_ReceiveBuffer.append(text);
    appendMonitorTokens(m_receiveRendered, text);
    // Keep the newest characters only: a device that talks without end costs bounded memory and time.
    const qsizetype excess = m_ReceiveBuffer.size() - kReceiveBufferMax;
    if (excess > 0) {
        qsizetype tokenChars = 0;
        for (QChar c : QStringView(m_ReceiveBuffer).first(excess))
            tokenChars += monitorToken(c).size();
        m_ReceiveBuffer.remove(0, excess);
        m_receiveRendered.remove(1, tokenChars);
    }
    m_ReplyPending = false;
    Hyouji(m_ReceiveBuffer, Direction::Receive);
}

void Link::Timer2_Timer() {
    if (m_ReplyPending)
        setRxd(kNoReplyMarker);
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
    m_ReceiveBuffer.clear();
    m_receiveRendered = QStringLiteral(" ");
}

void Link::onPortLost(const QString &message) {
    // Keep the notice in view until the operator acts: no timer may clear it.
    m_Timer2.stop();
    m_Timer4.stop();
    m_ReplyPending = false;
    setRxd(QStringLiteral(" PORT CLOSED: ") + message);
}

} // namespace kr7
