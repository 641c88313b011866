#pragma once

#include "exchange.h"
#include "result.h"
#include "serialline.h"

#include <QList>
#include <QObject>

#include <memory>

namespace kr7 {
class TrafficTap;
}
namespace kr7::traffic {
class TrafficLog;
}

namespace kr7::query {

// What to ask, the same on every port.
struct Plan {
    QString settings = QStringLiteral("19200,N,8,1");
    QString unit = QStringLiteral("single");
    QString prefix;
    int timeoutMs = 500;
    struct Command {
        QString word; // as given
        QString code; // sent between prefix and carriage return
    };
    QList<Command> commands;
};

// One port's queries, one after the other: open, then one exchange per command. Runs on the event loop
// beside any number of others.
class PortQuery : public QObject {
    Q_OBJECT
  public:
    PortQuery(QString port, const Plan &plan, traffic::TrafficLog *log, QObject *parent = nullptr);
    ~PortQuery() override;

    void start();
    // Ends at once: the port is closed and the remaining commands are not sent.
    void stop();

    const QString &port() const { return m_port; }
    const QList<Result> &results() const { return m_results; }
    bool isDone() const { return m_done; }
    // Why the port could not be used (it did not open, or was lost), empty if it was.
    const QString &error() const { return m_error; }

  signals:
    void finished();

  private:
    void onFailed(const QString &message);
    void sendNext();
    void onAnswered(const ExchangeResult &result);
    void finish();

    QString m_port;
    const Plan &m_plan;
    SerialLine m_line;
    LineExchange m_exchange;
    std::unique_ptr<TrafficTap> m_tap;
    QList<Result> m_results;
    qsizetype m_next = 0;
    bool m_done = false;
    QString m_error;
};

} // namespace kr7::query
