#pragma once

#include "config.h"
#include "exchange.h"
#include "readings.h"
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

// A line for one projector from outside (MQTT), sent ahead of the polls.
struct LineCommand {
    int projector = 0; // index in the state
    QString code;      // between the projector's prefix and the carriage return
    int windowMs = 500;
    bool askAgain = false; // poll the projector right after, so that its state follows
    // Once: the exchange, or (result null) why the line was not sent or not answered.
    std::function<void(const ExchangeResult *result, const QString &error)> done;
};

// One line's conversation: a round of the polled queries to every projector on it every poll interval,
// one exchange at a time (the units of a shared line answer on one wire). A lost line is waited for and
// reopened as the panel does; its projectors are down meanwhile.
class LinePoller : public QObject {
    Q_OBJECT
  public:
    static constexpr int kReplyWindowMs = 500;
    // Commands that may wait for the wire besides the one on it.
    static constexpr int kMaxWaiting = 16;

    LinePoller(BridgeState &state, int line, const Config &config, traffic::TrafficLog *log,
               QObject *parent = nullptr);
    ~LinePoller() override;

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

  private:
    struct Step {
        int projector; // index in the state
        QueryKind query;
        bool command = false; // m_command is on the wire, not a query
    };
    struct Watch {
        int projector;
        bool replied = false; // in the round under way
        int silentRounds = 0;
        QElapsedTimer pollClock;
    };

    void onOpen(const QString &how);
    void onLost(const QString &message);
    void startRound();
    void finishRound();
    void pump();
    void onAnswered(const ExchangeResult &result);
    void goDown(Watch &w, const QString &why);
    void failCommands(const QString &why);
    void endPause();
    bool ask(const Step &step);
    void addUrgent(int projector);
    Watch &watchOf(int projector);

    BridgeState &m_state;
    int m_index;
    QString m_port;
    int m_intervalMs;
    int m_offlineAfter;
    SerialLine m_line;
    LineExchange m_exchange;
    std::unique_ptr<TrafficTap> m_tap;
    QList<Watch> m_watches;
    std::deque<LineCommand> m_commands;
    LineCommand m_command; // on the wire when m_asked.command
    QList<Step> m_urgent;  // polls asked for now, ahead of the round
    QTimer m_pause;
    QList<Step> m_steps; // the round under way
    qsizetype m_next = 0;
    Step m_asked{};
    QTimer m_roundTimer;
    bool m_roundDue = false;
    bool m_stopped = false;
    bool m_saidFailure = false;
};

} // namespace kr7::bridge
