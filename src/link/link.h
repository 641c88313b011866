#pragma once

#include "serialline.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>

namespace kr7 {

// The one road to the projector line: Hyouji sends a line or shows what came back, the reply timer marks a
// missing reply and the display-clear timer empties the monitor. The three monitor fields are plain strings
// here; the window shows them.
class Link : public QObject {
    Q_OBJECT
  public:
    // Hyouji's second argument. The numbers are the ones the senders and the receive handler always passed.
    enum class Direction { Transmit = 1, Receive = 2 };

    static constexpr qsizetype kReceiveBufferMax = 32767;
    // A line that cannot leave (no reader, a stuck adapter) must not let the write queue grow without bound.
    static constexpr qint64 kMaxQueuedBytes = 512;
    static inline const QString kNoReplyMarker = QStringLiteral(" X X X X");

    explicit Link(SerialLine &MSComm1, QObject *parent = nullptr);

    // AddressPrefix as selected at the moment of a receive event; the decoding compares SendLine with it.
    void setPrefixSource(std::function<QString()> source) { m_prefix = std::move(source); }

    // Start-up values of the link's window-level variables.
    void reset();

    // The send-and-display procedure. Transmit writes line to the port and shows it in TXD; Receive shows
    // the receive buffer (line is ReceiveBuffer) in RXD and decodes it into the status field.
    void Hyouji(const QString &line, Direction direction);
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
    const QString &ReceiveBuffer() const { return m_ReceiveBuffer; }
    bool ReplyPending() const { return m_ReplyPending; }
    QTimer &Timer2() { return m_Timer2; }
    QTimer &Timer4() { return m_Timer4; }
    SerialLine &serial() { return m_MSComm1; }

    const QString &txd() const { return m_txd; }
    const QString &rxd() const { return m_rxd; }
    const QString &status() const { return m_status; }
    // Lines refused because the port was closed or its queue full.
    int refusedLines() const { return m_refused; }

  signals:
    void txdChanged(const QString &text);
    void rxdChanged(const QString &text);
    void statusChanged(const QString &text);

  private:
    void transmitLine(const QString &line);
    void showReceived();
    void setTxd(const QString &t);
    void setRxd(const QString &t);
    void setStatus(const QString &t);
    void refuse(const QString &why);
    void onPortLost(const QString &message);

    SerialLine &m_MSComm1;
    std::function<QString()> m_prefix;
    QString m_SendLine;
    QString m_ReceiveBuffer;
    QString m_receiveRendered; // monitor text of m_ReceiveBuffer, kept up to date as it grows and is cut
    bool m_ReplyPending = false;
    QTimer m_Timer2;
    QTimer m_Timer4;
    QString m_txd, m_rxd, m_status;
    int m_refused = 0;
};

} // namespace kr7
