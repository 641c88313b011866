#pragma once

#include "serialline.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <optional>

namespace kr7 {

// One line out and its reply in, as it went.
struct ExchangeResult {
    QByteArray line; // every byte sent
    bool replied = false;
    QByteArray reply; // the reply's bytes, up to where it ended
    QString monitor;  // the reply as the panel's RXD field shows it; the no-reply marker for none
    std::optional<QString> status; // the panel's status text, exactly as it shows it
    double elapsedMs = 0;          // from sending to the end of the reply (or of the reply window)
};

// The conversation of a program that asks and waits, one exchange at a time on one line: send a line, take
// its reply (to the first carriage return, to an acknowledgement that comes alone, or to the end of the reply
// window), decode it as the panel does. Bytes that come while nothing is asked belong to nobody; they are
// passed on for the record and dropped. After a reply window runs out the line stays quiet for a settle gap:
// a reply that comes late is drained then (and said with lateReply()), never taken for the next line's.
class LineExchange : public QObject {
    Q_OBJECT
  public:
    static constexpr int kSettleMs = 250;

    explicit LineExchange(SerialLine &line, QObject *parent = nullptr);

    // Sends prefix, code and a carriage return. True: finished() follows once. False: nothing was sent (the
    // line is not open, an exchange is under way, or the write failed) and lineRefused() said why.
    bool ask(const QString &prefix, const QString &code, int windowMs);
    // An exchange is under way, or the line settles after one whose window ran out: nothing can be asked.
    bool busy() const { return m_waiting || m_settle.isActive(); }
    bool awaitingReply() const { return m_waiting; }
    // Forgets the exchange under way without a result, and any settling (the line went away or the program
    // stops).
    void abandon();

  signals:
    void finished(const kr7::ExchangeResult &result);
    // Bytes came in the settle gap: the late reply of the exchange that finished last. Once per gap.
    void lateReply();
    // The settle gap is over: the line may be asked again.
    void settled();

    // What happened on the line, for a record of the session (the same signals as the panel's link).
    void lineSent(const QByteArray &bytes);
    void bytesReceived(const QByteArray &bytes);
    void statusShown(const QString &text);
    void noReplyShown(int windowMs);
    void lineRefused(const QByteArray &bytes, const QString &reason);

  private:
    void onReceived();
    void endReply(bool replied);

    SerialLine &m_line;
    QTimer m_window;
    QTimer m_settle;
    bool m_late = false; // bytes came in this settle gap
    QElapsedTimer m_clock;
    ExchangeResult m_result;
    QString m_prefix;
    bool m_waiting = false;
};

} // namespace kr7
