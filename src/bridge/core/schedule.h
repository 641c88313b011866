#pragma once

#include "exchange.h"

#include <QList>
#include <QString>

#include <deque>
#include <functional>
#include <optional>

namespace kr7::bridge {

// A line for one projector from a face (MQTT, PJLink, ...), sent ahead of the polls.
struct LineCommand {
    int projector = 0; // index in the state
    QString code;      // between the projector's prefix and the carriage return
    int windowMs = 500;
    bool pollAfter = false;     // poll the projector right after, so that its state follows
    qsizetype followQuery = -1; // or ask just this query (index in the polled queries) right after
    // Once: the exchange, or (result null) why the line was not sent or not answered.
    std::function<void(const ExchangeResult *result, const QString &error)> done;
};

// What one line sends next, one exchange at a time: a command waiting, else a poll asked for now, else the
// next query of the round under way. A round asks every projector every polled query, and a new one is due
// an interval after the last began. Knows no wire and no clock of its own: the caller says what time it is.
class LineSchedule {
  public:
    // Commands that may wait for the wire besides the one on it.
    static constexpr qsizetype kMaxWaiting = 16;

    struct Step {
        enum class Kind {
            Command,  // command holds the line to send
            Query,    // query (index in the polled queries) of projector
            RoundEnd, // every query of the round has been answered: time to judge who stayed silent
            Wait,     // nothing to send before dueAt()
        };
        Kind kind = Kind::Wait;
        int projector = -1;
        qsizetype query = -1;
        bool ofRound = false; // a query of the round, not a poll asked for now
        LineCommand command;
        bool isCommand() const { return kind == Kind::Command; }
    };

    LineSchedule(QList<int> projectors, qsizetype queries, qint64 intervalMs);

    // The line is open: a round starts now.
    void start(qint64 nowMs);
    // The line went away or is paused: the round and the polls asked for are forgotten; the commands waiting
    // are handed back (their senders are told why).
    std::deque<LineCommand> stop();

    bool isFull() const { return qsizetype(m_commands.size()) >= kMaxWaiting; }
    // False when the queue is full; the command is then dropped.
    bool addCommand(LineCommand command);
    // Polls every query of projector next, ahead of the round (once, however often it is asked), or only
    // the query of that index.
    void addPoll(int projector, qsizetype query = -1);
    // The projector did not answer the first query of its round: it is asked nothing more in this round, so
    // that a projector switched off at the wall costs its line one reply window a round, not one per query.
    // The next round asks it again.
    void skipRestOfRound(int projector);

    // The projectors are numbered anew (newIndexOf[old], -1 for one gone) and the line's are these now,
    // polled every intervalMs: the round goes on where it was, without the projectors gone (new ones join the
    // next round). The commands for projectors gone are handed back.
    std::deque<LineCommand> renumber(const QList<int> &newIndexOf, QList<int> projectors, qint64 intervalMs);

    // What to do now. Query steps of a round come in order; a Wait means nothing is due before dueAt().
    Step next(qint64 nowMs);
    qint64 dueAt() const { return m_dueAt; }
    bool running() const { return m_running; }

  private:
    struct Poll {
        int projector;
        qsizetype query;
    };
    void startRound(qint64 nowMs);

    QList<int> m_projectors;
    qsizetype m_queries;
    qint64 m_intervalMs;
    bool m_running = false;
    qint64 m_dueAt = 0;
    std::deque<LineCommand> m_commands;
    QList<Poll> m_polls; // asked for now, ahead of the round
    QList<Poll> m_round; // the round under way
    qsizetype m_next = 0;
};

// Whether each projector of a line counts as available: it goes down after offline_after rounds in which it
// answered nothing, and comes up with its first reply.
class AvailabilityRule {
  public:
    AvailabilityRule(QList<int> projectors, int offlineAfter);

    void replied(int projector);
    // The round ended: the projectors that have now been silent offline_after rounds running.
    QList<int> roundEnded();
    // Forgets the silence counted so far (the projector went down for another reason).
    void reset(int projector);
    // As LineSchedule::renumber: counts kept for projectors that stay, fresh ones for new projectors.
    void renumber(const QList<int> &newIndexOf, const QList<int> &projectors, int offlineAfter);

  private:
    struct Count {
        int projector;
        bool replied = false; // in the round under way
        int silentRounds = 0;
    };
    Count &of(int projector);

    QList<Count> m_counts;
    int m_offlineAfter;
};

} // namespace kr7::bridge
