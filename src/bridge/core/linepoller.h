#pragma once

#include "config.h"
#include "exchange.h"
#include "readings.h"
#include "schedule.h"
#include "serialline.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QTimer>

#include <deque>
#include <functional>
#include <memory>

namespace kr7 {
class TrafficTap;
}
namespace kr7::traffic {
class TrafficLog;
}

namespace kr7::bridge {

class BridgeState;

// One line's conversation on the wire: its schedule says what to send next, its exchange sends it and takes
// the reply, and the reply goes into the state. A lost line is waited for and reopened as the panel does;
// its projectors are down meanwhile.
class LinePoller : public QObject {
    Q_OBJECT
  public:
    static constexpr int kReplyWindowMs = 500;

    LinePoller(BridgeState &state, int line, const Config &config, traffic::TrafficLog *log,
               QObject *parent = nullptr);
    ~LinePoller() override;

    const QString &port() const { return m_port; }
    void start();
    // Closes the port; nothing more is sent.
    void stop();

    // Takes a command for the wire, ahead of the polls. False with the reason when it cannot (the queue is
    // full, the line is paused or not open); done is then never called.
    bool enqueue(LineCommand command, QString *why);
    // Polls the projector now, ahead of the round.
    bool refresh(int projector, QString *why);
    // Closes the line and leaves it alone for seconds (1-7200), so that a technician can take it; its
    // projectors are down meanwhile. 0 ends a pause early (and does nothing when none runs). At the end the
    // line reopens and a round starts at once.
    void pause(int seconds, const QString &askedBy);

    // After a reload that kept this line (same port and speed): it is line `line` of config now, and the
    // projectors are numbered anew (newIndexOf[old], -1 for one gone). The port stays open and the round
    // goes on where it was; commands for projectors gone are told so.
    void renumber(int line, const Config &config, const QList<int> &newIndexOf);

  private:
    void onOpen(const QString &how);
    void onLost(const QString &message);
    void halt(const QString &why);
    void pump();
    void send(LineSchedule::Step step);
    void onAnswered(const ExchangeResult &result);
    void goDown(int projector, const QString &why);
    void endPause();
    qint64 now() const { return m_clock.elapsed(); }

    BridgeState &m_state;
    int m_index;
    QString m_port;
    QList<PolledQuery> m_queries;
    SerialLine m_line;
    LineExchange m_exchange;
    std::unique_ptr<TrafficTap> m_tap;
    LineSchedule m_schedule;
    AvailabilityRule m_availability;
    QElapsedTimer m_clock;
    QTimer m_wake; // when the next round is due
    QTimer m_pause;
    LineSchedule::Step m_asking; // what the exchange under way asks
    int m_lastAsked = -1;        // the projector of the last exchange: a late reply is its
    // Commands answered whose query is asked again before their own answer goes back.
    struct FollowUp {
        int projector;
        qsizetype query;
        ExchangeResult result;
        std::function<void(const ExchangeResult *, const QString &)> done;
    };
    std::deque<FollowUp> m_followUps;
    QList<QElapsedTimer> m_pollClocks; // per projector of the line: since its first query of the round
    QList<int> m_projectors;
    int m_offlineAfter;
    bool m_stopped = false;
    bool m_saidFailure = false;
};

} // namespace kr7::bridge
