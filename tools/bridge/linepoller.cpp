#include "linepoller.h"

#include "say.h"
#include "state.h"
#include "traffictap.h"

namespace kr7::bridge {

LinePoller::LinePoller(BridgeState &state, int line, const Config &config, traffic::TrafficLog *log,
                       QObject *parent)
    : QObject(parent), m_state(state), m_index(line), m_port(config.lines[line].port),
      m_intervalMs(config.pollIntervalS * 1000), m_offlineAfter(config.offlineAfter),
      m_line(PortMap{m_port, QString()}), m_exchange(m_line) {
    m_line.setSettings(config.lines[line].settings());
    m_line.setRetryFailedOpen(true);
    if (log) {
        m_tap = std::make_unique<TrafficTap>(*log, [this] { return m_port; });
        m_tap->watchPort(m_line);
        m_tap->watchRoad(m_exchange);
    }
    for (qsizetype i = 0; i < state.projectors().size(); ++i)
        if (state.projectors()[i].line == line)
            m_watches << Watch{.projector = int(i), .pollClock = {}};
    m_roundTimer.setSingleShot(true);
    connect(&m_roundTimer, &QTimer::timeout, this, [this] {
        m_roundDue = true;
        pump();
    });
    connect(&m_line, &SerialLine::opened, this, &LinePoller::onOpen);
    connect(&m_line, &SerialLine::portBack, this, &LinePoller::onOpen);
    connect(&m_line, &SerialLine::portLost, this, &LinePoller::onLost);
    connect(&m_line, &SerialLine::openFailed, this, [this](const QString &message) {
        if (!m_saidFailure)
            say(QStringLiteral("line %1: cannot open (%2); trying again until it opens")
                    .arg(m_port, message));
        m_saidFailure = true;
    });
    connect(&m_line, &SerialLine::notice, this,
            [this](const QString &text) { say(QStringLiteral("line %1: %2").arg(m_port, text)); });
    connect(&m_exchange, &LineExchange::finished, this, &LinePoller::onAnswered);
}

LinePoller::~LinePoller() = default;

void LinePoller::start() {
    m_stopped = false;
    m_line.setPortOpen(true);
}

void LinePoller::stop() {
    m_stopped = true;
    m_roundTimer.stop();
    m_exchange.abandon();
    m_line.setPortOpen(false);
}

LinePoller::Watch &LinePoller::watchOf(int projector) {
    for (Watch &w : m_watches)
        if (w.projector == projector)
            return w;
    Q_UNREACHABLE();
}

void LinePoller::onOpen() {
    say(QStringLiteral("line %1: open at %2").arg(m_port, m_line.settings()));
    m_saidFailure = false;
    LineState &line = m_state.line(m_index);
    line.up = true;
    m_state.touchLine(m_index);
    startRound();
}

void LinePoller::onLost(const QString &message) {
    say(QStringLiteral("line %1: lost (%2); waiting for it to come back").arg(m_port, message));
    m_exchange.abandon();
    m_steps.clear();
    m_next = 0;
    m_roundTimer.stop();
    m_roundDue = false;
    LineState &line = m_state.line(m_index);
    line.up = false;
    ++line.losses;
    m_state.touchLine(m_index);
    for (Watch &w : m_watches)
        goDown(w, QStringLiteral("its line is lost"));
}

void LinePoller::goDown(Watch &w, const QString &why) {
    w.silentRounds = 0;
    w.replied = false;
    ProjectorState &p = m_state.projector(w.projector);
    if (!p.available)
        return;
    p.available = false;
    p.readings = Readings{};
    say(QStringLiteral("projector %1: down (%2)").arg(p.name, why));
    m_state.touch(w.projector);
}

void LinePoller::startRound() {
    m_roundDue = false;
    ++m_rounds;
    m_steps.clear();
    m_next = 0;
    for (const Watch &w : m_watches)
        for (const QueryRow &q : kPolledQueries)
            m_steps << Step{w.projector, q.query};
    m_roundTimer.start(m_intervalMs);
    pump();
}

void LinePoller::finishRound() {
    for (Watch &w : m_watches) {
        if (!w.replied && ++w.silentRounds >= m_offlineAfter)
            goDown(w, QStringLiteral("no reply in %1 rounds").arg(w.silentRounds));
        w.replied = false;
    }
    m_steps.clear();
    m_next = 0;
    emit roundFinished();
}

void LinePoller::pump() {
    while (!m_stopped && !m_exchange.busy() && m_line.state() == SerialLine::State::Open) {
        if (m_next < m_steps.size()) {
            m_asked = m_steps[m_next++];
            if (m_asked.query == kPolledQueries.front().query)
                watchOf(m_asked.projector).pollClock.start();
            const ProjectorState &p = m_state.projectors()[m_asked.projector];
            if (m_exchange.ask(p.prefix, queryCodeOf(m_asked.query), kReplyWindowMs))
                return;
            continue; // not sent (the log says why); the line's own error handling follows
        }
        if (!m_steps.isEmpty())
            finishRound();
        if (!m_roundDue)
            return;
        startRound();
        return;
    }
}

void LinePoller::onAnswered(const ExchangeResult &result) {
    Watch &w = watchOf(m_asked.projector);
    ProjectorState &p = m_state.projector(m_asked.projector);
    ++p.exchanges;
    if (!result.replied) {
        ++p.noReplies;
    } else {
        w.replied = true;
        w.silentRounds = 0;
        p.lastSeen = QDateTime::currentDateTimeUtc(); // local time is looked up when shown, not per reply
        if (!readReply(p.readings, m_asked.query, result.reply))
            ++p.unreadable;
        if (!p.available) {
            p.available = true;
            say(QStringLiteral("projector %1: up").arg(p.name));
        }
    }
    if (m_asked.query == kPolledQueries.back().query)
        p.pollSeconds = double(w.pollClock.nsecsElapsed()) / 1e9;
    m_state.touch(m_asked.projector);
    pump();
}

} // namespace kr7::bridge
