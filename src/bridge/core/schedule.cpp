#include "schedule.h"

namespace kr7::bridge {

LineSchedule::LineSchedule(QList<int> projectors, qsizetype queries, qint64 intervalMs)
    : m_projectors(std::move(projectors)), m_queries(queries), m_intervalMs(intervalMs) {}

void LineSchedule::start(qint64 nowMs) {
    m_running = true;
    startRound(nowMs);
}

std::deque<LineCommand> LineSchedule::stop() {
    m_running = false;
    m_polls.clear();
    m_round.clear();
    m_next = 0;
    return std::exchange(m_commands, {});
}

bool LineSchedule::addCommand(LineCommand command) {
    if (isFull())
        return false;
    m_commands.push_back(std::move(command));
    return true;
}

void LineSchedule::addPoll(int projector, qsizetype query) {
    const auto asked = [&](qsizetype q) {
        return std::any_of(m_polls.begin(), m_polls.end(),
                           [&](const Poll &p) { return p.projector == projector && p.query == q; });
    };
    for (qsizetype q = 0; q < m_queries; ++q)
        if ((query < 0 || q == query) && !asked(q))
            m_polls << Poll{projector, q};
}

void LineSchedule::skipRestOfRound(int projector) {
    for (qsizetype i = m_round.size() - 1; i >= m_next; --i)
        if (m_round[i].projector == projector)
            m_round.removeAt(i);
}

void LineSchedule::startRound(qint64 nowMs) {
    m_round.clear();
    m_next = 0;
    for (int p : m_projectors)
        for (qsizetype q = 0; q < m_queries; ++q)
            m_round << Poll{p, q};
    m_dueAt = nowMs + m_intervalMs;
}

std::deque<LineCommand> LineSchedule::renumber(const QList<int> &newIndexOf, QList<int> projectors,
                                               qint64 intervalMs) {
    m_projectors = std::move(projectors);
    m_intervalMs = intervalMs;
    const auto keep = [&](QList<Poll> &polls, qsizetype *next) {
        QList<Poll> kept;
        for (qsizetype i = 0; i < polls.size(); ++i) {
            const int to = newIndexOf.value(polls[i].projector, -1);
            if (to >= 0)
                kept << Poll{to, polls[i].query};
            else if (next && i < *next)
                --*next;
        }
        polls = std::move(kept);
    };
    keep(m_round, &m_next);
    keep(m_polls, nullptr);
    std::deque<LineCommand> kept, gone;
    for (LineCommand &c : m_commands) {
        const int to = newIndexOf.value(c.projector, -1);
        if (to >= 0) {
            c.projector = to;
            kept.push_back(std::move(c));
        } else {
            gone.push_back(std::move(c));
        }
    }
    m_commands = std::move(kept);
    return gone;
}

LineSchedule::Step LineSchedule::next(qint64 nowMs) {
    Step step;
    if (!m_running)
        return step;
    if (!m_commands.empty()) {
        step.kind = Step::Kind::Command;
        step.command = std::move(m_commands.front());
        step.projector = step.command.projector;
        m_commands.pop_front();
        return step;
    }
    if (!m_polls.isEmpty()) {
        const Poll p = m_polls.takeFirst();
        step.kind = Step::Kind::Query;
        step.projector = p.projector;
        step.query = p.query;
        return step;
    }
    if (m_next < m_round.size()) {
        const Poll p = m_round[m_next++];
        step.kind = Step::Kind::Query;
        step.projector = p.projector;
        step.query = p.query;
        step.ofRound = true;
        return step;
    }
    if (!m_round.isEmpty()) {
        m_round.clear();
        m_next = 0;
        step.kind = Step::Kind::RoundEnd;
        return step;
    }
    if (nowMs >= m_dueAt) {
        startRound(nowMs);
        return next(nowMs);
    }
    return step;
}

AvailabilityRule::AvailabilityRule(QList<int> projectors, int offlineAfter) : m_offlineAfter(offlineAfter) {
    for (int p : projectors)
        m_counts << Count{p};
}

AvailabilityRule::Count &AvailabilityRule::of(int projector) {
    for (Count &c : m_counts)
        if (c.projector == projector)
            return c;
    Q_UNREACHABLE();
}

void AvailabilityRule::replied(int projector) {
    Count &c = of(projector);
    c.replied = true;
    c.silentRounds = 0;
}

QList<int> AvailabilityRule::roundEnded() {
    QList<int> down;
    for (Count &c : m_counts) {
        if (!c.replied && ++c.silentRounds >= m_offlineAfter)
            down << c.projector;
        c.replied = false;
    }
    return down;
}

void AvailabilityRule::renumber(const QList<int> &newIndexOf, const QList<int> &projectors,
                                int offlineAfter) {
    m_offlineAfter = offlineAfter;
    QList<Count> counts;
    for (int p : projectors) {
        Count c{p};
        for (const Count &old : m_counts)
            if (newIndexOf.value(old.projector, -1) == p)
                c = Count{p, old.replied, old.silentRounds};
        counts << c;
    }
    m_counts = std::move(counts);
}

void AvailabilityRule::reset(int projector) {
    Count &c = of(projector);
    c.silentRounds = 0;
    c.replied = false;
}

} // namespace kr7::bridge
