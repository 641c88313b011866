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
    m_pause.setSingleShot(true);
    connect(&m_pause, &QTimer::timeout, this, &LinePoller::endPause);
    m_roundTimer.setSingleShot(true);
    connect(&m_roundTimer, &QTimer::timeout, this, [this] {
        m_roundDue = true;
        pump();
    });
    connect(&m_line, &SerialLine::opened, this, [this] { onOpen(QStringLiteral("open")); });
    // A line that could not be opened at start comes "back" too, the first time it opens.
    connect(&m_line, &SerialLine::portBack, this,
            [this] { onOpen(m_saidFailure ? QStringLiteral("open") : QStringLiteral("back")); });
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
    m_pause.stop();
    m_exchange.abandon();
    failCommands(QStringLiteral("the bridge is stopping"));
    m_line.setPortOpen(false);
}

bool LinePoller::enqueue(LineCommand command, QString *why) {
    if (m_pause.isActive())
        *why = QStringLiteral("line %1 is paused for %2 s more")
                   .arg(m_port)
                   .arg((m_pause.remainingTime() + 999) / 1000);
    else if (m_line.state() != SerialLine::State::Open)
        *why = QStringLiteral("line %1 is not open (%2)")
                   .arg(m_port,
                        m_line.errorString().isEmpty() ? QStringLiteral("opening") : m_line.errorString());
    else if (m_commands.size() >= size_t(kMaxWaiting))
        *why = QStringLiteral("line %1 has %2 commands waiting already").arg(m_port).arg(kMaxWaiting);
    else {
        m_commands.push_back(std::move(command));
        pump();
        return true;
    }
    return false;
}

bool LinePoller::refresh(int projector, QString *why) {
    if (m_pause.isActive() || m_line.state() != SerialLine::State::Open) {
        *why = m_pause.isActive() ? QStringLiteral("line %1 is paused").arg(m_port)
                                  : QStringLiteral("line %1 is not open").arg(m_port);
        return false;
    }
    addUrgent(projector);
    pump();
    return true;
}

void LinePoller::addUrgent(int projector) {
    const bool pending = std::any_of(m_urgent.begin(), m_urgent.end(),
                                     [&](const Step &s) { return s.projector == projector; });
    if (!pending)
        for (const QueryRow &q : kPolledQueries)
            m_urgent << Step{projector, q.query};
}

void LinePoller::pause(int seconds, const QString &askedBy) {
    if (seconds <= 0) {
        if (m_pause.isActive())
            endPause();
        return;
    }
    const bool already = m_pause.isActive();
    m_pause.start(seconds * 1000);
    say(QStringLiteral("line %1: paused for %2 s (asked for by %3)").arg(m_port).arg(seconds).arg(askedBy));
    if (already)
        return;
    m_exchange.abandon();
    failCommands(QStringLiteral("line %1 was paused").arg(m_port));
    m_steps.clear();
    m_urgent.clear();
    m_next = 0;
    m_roundTimer.stop();
    m_roundDue = false;
    m_line.setPortOpen(false);
    LineState &line = m_state.line(m_index);
    line.up = false;
    m_state.touchLine(m_index);
    for (Watch &w : m_watches)
        goDown(w, QStringLiteral("its line is paused"));
}

void LinePoller::endPause() {
    m_pause.stop();
    say(QStringLiteral("line %1: pause over; opening it again").arg(m_port));
    m_line.setPortOpen(true); // opened() starts a round at once
}

void LinePoller::failCommands(const QString &why) {
    if (m_asked.command && m_command.done) {
        auto done = std::exchange(m_command.done, nullptr);
        done(nullptr, why);
    }
    m_asked.command = false;
    while (!m_commands.empty()) {
        LineCommand c = std::move(m_commands.front());
        m_commands.pop_front();
        c.done(nullptr, why);
    }
}

LinePoller::Watch &LinePoller::watchOf(int projector) {
    for (Watch &w : m_watches)
        if (w.projector == projector)
            return w;
    Q_UNREACHABLE();
}

void LinePoller::onOpen(const QString &how) {
    say(QStringLiteral("line %1: %2 at %3").arg(m_port, how, m_line.settings()));
    m_saidFailure = false;
    LineState &line = m_state.line(m_index);
    line.up = true;
    m_state.touchLine(m_index);
    startRound();
}

void LinePoller::onLost(const QString &message) {
    say(QStringLiteral("line %1: lost (%2); waiting for it to come back").arg(m_port, message));
    m_exchange.abandon();
    failCommands(QStringLiteral("line %1 was lost (%2)").arg(m_port, message));
    m_urgent.clear();
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
}

bool LinePoller::ask(const Step &step) {
    m_asked = step;
    const ProjectorState &p = m_state.projectors()[step.projector];
    if (step.command)
        return m_exchange.ask(p.prefix, m_command.code, m_command.windowMs);
    if (step.query == kPolledQueries.front().query)
        watchOf(step.projector).pollClock.start();
    return m_exchange.ask(p.prefix, queryCodeOf(step.query), kReplyWindowMs);
}

// What goes on the wire next: a command, then a poll asked for now, then the round's next query.
void LinePoller::pump() {
    while (!m_stopped && !m_exchange.busy() && m_line.state() == SerialLine::State::Open) {
        if (!m_commands.empty()) {
            m_command = std::move(m_commands.front());
            m_commands.pop_front();
            if (ask(Step{m_command.projector, QueryKind::Power, true}))
                return;
            // Not sent (the log says why); the line's own error handling follows.
            m_asked.command = false;
            std::exchange(m_command, {}).done(nullptr, QStringLiteral("not sent: the line did not take it"));
            continue;
        }
        if (!m_urgent.isEmpty()) {
            if (ask(m_urgent.takeFirst()))
                return;
            continue;
        }
        if (m_next < m_steps.size()) {
            if (ask(m_steps[m_next++]))
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
        if (!m_asked.command && !readReply(p.readings, m_asked.query, result.reply))
            ++p.unreadable;
        if (!p.available) {
            p.available = true;
            say(QStringLiteral("projector %1: up").arg(p.name));
        }
    }
    if (m_asked.command) {
        m_asked.command = false;
        LineCommand command = std::move(m_command);
        m_command = {};
        if (command.askAgain)
            addUrgent(command.projector);
        command.done(&result, QString());
    } else if (m_asked.query == kPolledQueries.back().query) {
        p.pollSeconds = double(w.pollClock.nsecsElapsed()) / 1e9;
    }
    m_state.touch(m_asked.projector);
    pump();
}

} // namespace kr7::bridge
