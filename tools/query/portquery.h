#pragma once

#include "record.h"
#include "result.h"
#include "serialline.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QTimer>

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

// One port's queries, one after the other: open, send a line, take its reply (to the first carriage return,
// to an acknowledgement that comes alone, or to the end of the reply window), decode it as the panel does,
// then the next. Runs on the event loop beside any number of others.
class PortQuery : public QObject {
    Q_OBJECT
  public:
    PortQuery(QString port, const Plan &plan, traffic::TrafficLog *log, QObject *parent = nullptr);

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
    void onOpened();
    void onFailed(const QString &message);
    void sendNext();
    void onReceived();
    void endReply(bool replied);
    void finish();
    void log(traffic::Kind kind, QByteArrayView bytes, const QString &text = QString());

    QString m_port;
    const Plan &m_plan;
    traffic::TrafficLog *m_log;
    SerialLine m_line;
    QTimer m_window;
    QElapsedTimer m_clock;
    QList<Result> m_results;
    QByteArray m_received;
    qsizetype m_next = 0;
    bool m_waiting = false;
    bool m_done = false;
    QString m_error;
};

} // namespace kr7::query
