#pragma once

#include "config.h"
#include "exchange.h"
#include "readings.h"
#include "serialline.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QTimer>

#include <memory>

namespace kr7 {
class TrafficTap;
}
namespace kr7::traffic {
class TrafficLog;
}

namespace kr7::bridge {

class BridgeState;

// One line's conversation: a round of the polled queries to every projector on it every poll interval,
// one exchange at a time (the units of a shared line answer on one wire). A lost line is waited for and
// reopened as the panel does; its projectors are down meanwhile.
class LinePoller : public QObject {
    Q_OBJECT
  public:
    static constexpr int kReplyWindowMs = 500;

    LinePoller(BridgeState &state, int line, const Config &config, traffic::TrafficLog *log,
               QObject *parent = nullptr);
    ~LinePoller() override;

    void start();
    // Closes the port; nothing more is sent.
    void stop();

    SerialLine &serial() { return m_line; }
    // Rounds begun since start (for tests and figures).
    int rounds() const { return m_rounds; }

  signals:
    void roundFinished();

  private:
    struct Step {
        int projector; // index in the state
        QueryKind query;
    };
    struct Watch {
        int projector;
        bool replied = false; // in the round under way
        int silentRounds = 0;
        QElapsedTimer pollClock;
    };

    void onOpen();
    void onLost(const QString &message);
    void startRound();
    void finishRound();
    void pump();
    void onAnswered(const ExchangeResult &result);
    void goDown(Watch &w, const QString &why);
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
    QList<Step> m_steps; // the round under way
    qsizetype m_next = 0;
    Step m_asked{};
    QTimer m_roundTimer;
    bool m_roundDue = false;
    bool m_stopped = false;
    bool m_saidFailure = false;
    int m_rounds = 0;
};

} // namespace kr7::bridge
