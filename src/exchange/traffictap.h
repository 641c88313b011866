#pragma once

#include "record.h"
#include "serialline.h"
#include "trafficlog.h"

#include <QObject>
#include <QString>

#include <functional>

namespace kr7 {

// Writes what happens on one line into the traffic log under the line's name: the port's events (open,
// closed, lost, back, speed) and the exchanges' (a line sent, bytes received, a status text, no reply, a line
// not sent). Every record is written inside the handler that makes the event, so the file's order is the
// order of the events. What carries the exchanges is the panel's Link or a program's LineExchange: both say
// the same things.
class TrafficTap : public QObject {
    Q_OBJECT
  public:
    // name gives the port field of each record, read when the record is written (the panel's COM1/COM2
    // follows the operator's choice).
    TrafficTap(traffic::TrafficLog &log, std::function<QString()> name, QObject *parent = nullptr);

    void watchPort(SerialLine &line);

    template <typename Exchanges> void watchExchanges(Exchanges &exchanges) {
        using traffic::Kind;
        connect(&exchanges, &Exchanges::lineSent, this,
                [this](const QByteArray &b) { m_log.bytes(m_name(), Kind::TX, b); });
        connect(&exchanges, &Exchanges::bytesReceived, this,
                [this](const QByteArray &b) { m_log.bytes(m_name(), Kind::RX, b); });
        connect(&exchanges, &Exchanges::statusShown, this,
                [this](const QString &t) { m_log.text(m_name(), Kind::STATUS, t); });
        connect(&exchanges, &Exchanges::noReplyShown, this, [this](int windowMs) {
            m_log.text(m_name(), Kind::NOREPLY, QStringLiteral("no reply within %1 ms").arg(windowMs));
        });
        connect(&exchanges, &Exchanges::lineRefused, this, [this](const QByteArray &b, const QString &why) {
            m_log.write(m_name(), Kind::NOTSENT, b, why);
        });
    }

  private:
    traffic::TrafficLog &m_log;
    std::function<QString()> m_name;
};

} // namespace kr7
