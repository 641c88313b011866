#pragma once

#include "serialline.h"
#include "slidingtext.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>

namespace kr7 {

// The one road to the projector line: Hyouji sends a line or shows what came back, the reply timer marks a
// missing reply and the display-clear timer empties the monitor. The three monitor fields are plain text
// here; the window shows them.
class Link : public QObject {
    Q_OBJECT
  public:
    // Hyouji's second argument. The numbers are the ones the senders and the receive handler always passed.
    enum class Direction { Transmit = 1, Receive = 2 };

    static constexpr qsizetype kReceiveBufferMax = 32767;
    // A buffer that outgrows kReceiveBufferMax keeps this many of its newest characters: it is cut in steps,
    // so that the start of it, which the RXD field shows, stands still for seconds at a time while a device
    // streams, rather than moving (and being drawn again) with every receive event.
    static constexpr qsizetype kReceiveBufferKept = 24576;
    // A line that cannot leave (no reader, a stuck adapter, a dead gateway) must not let the write queue
    // grow without bound.
    static constexpr qint64 kMaxQueuedBytes = 512;
    static inline const QString kNoReplyMarker = QStringLiteral(" X X X X");

    explicit Link(SerialLine &MSComm1, QObject *parent = nullptr);

    // AddressPrefix as selected at the moment of a receive event; the decoding compares SendLine with it.
    void setPrefixSource(std::function<QString()> source) { m_prefix = std::move(source); }

    // Start-up values of the link's window-level variables.
    void reset();

    // The send-and-display procedure. Transmit writes line to the port and shows it in TXD; Receive shows
    // the receive buffer (line is ReceiveBuffer) in RXD and decodes it into the status field.
    void Hyouji(QStringView line, Direction direction);
    // SendLine = line, then Hyouji(SendLine, Transmit).
    void send(const QString &line);

    void setSendIntervals(int replyMs, int clearMs);
    bool linePending() const;
    void closeExchange();
    void emptyReceiveBuffer();

    void MSComm1_OnComm();
    void Timer2_Timer();
    void Timer4_Timer();

    const QString &SendLine() const { return m_SendLine; }
    QString ReceiveBuffer() const { return m_ReceiveBuffer.view().toString(); }
    QStringView receiveBuffer() const { return m_ReceiveBuffer.view(); }
    bool ReplyPending() const { return m_ReplyPending; }
    QTimer &Timer2() { return m_Timer2; }
    QTimer &Timer4() { return m_Timer4; }
    SerialLine &serial() { return m_MSComm1; }

    const QString &txd() const { return m_txd; }
    // What the RXD field shows: the rendering of the receive buffer, the no-reply marker or a port notice.
    QStringView rxd() const { return m_rxdShowsBuffer ? m_rendered.view() : QStringView(m_rxd); }
    // RXD shows what was received (rather than a marker or a notice).
    bool rxdShowsReceived() const { return m_rxdShowsBuffer; }
    const QString &status() const { return m_status; }
    // Lines refused because the port was not open or its queue full.
    int refusedLines() const { return m_refused; }

  signals:
    void txdChanged(const QString &text);
    void rxdChanged(); // read rxd()
    void statusChanged(const QString &text);

    // What happened on the line, for a record of the session.
    void lineSent(const QByteArray &bytes);
    void bytesReceived(const QByteArray &bytes);
    void statusShown(const QString &text);
    void noReplyShown(int windowMs);
    void lineRefused(const QByteArray &bytes, const QString &reason);

  private:
    void transmitLine(QStringView line);
    void showReceived();
    void setTxd(const QString &t);
    void setRxd(const QString &t);
    void setStatus(const QString &t);
    void refuse(const QByteArray &bytes, const QString &why);
    void onPortLost(const QString &message);
    void onPortBack();
    void onNotice(const QString &message);

    SerialLine &m_MSComm1;
    std::function<QString()> m_prefix;
    QString m_SendLine;
    SlidingText m_ReceiveBuffer;
    SlidingText m_rendered; // monitor text of m_ReceiveBuffer, kept up to date as it grows and is cut
    bool m_ReplyPending = false;
    QTimer m_Timer2;
    QTimer m_Timer4;
    QString m_txd, m_rxd, m_status;
    bool m_rxdShowsBuffer = false; // RXD is the rendering of the receive buffer, not m_rxd
    int m_refused = 0;
};

} // namespace kr7
