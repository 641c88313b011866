#include "linepoller.h"

#include "journal.h"
#include "state.h"
#include "traffictap.h"

namespace kr7::bridge {

namespace {

QList<int> projectorsOf(const BridgeState &state, int line) {
    QList<int> out;
    for (qsizetype i = 0; i < state.projectors().size(); ++i)
        if (state.projectors()[i].line == line)
            out << int(i);
    return out;
}

} // namespace

LinePoller::LinePoller(BridgeState &state, int line, const Config &config, traffic::TrafficLog *log,
                       QObject *parent)
    : QObject(parent), m_state(state), m_index(line), m_port(config.lines[line].port),
      m_queries(polledQueries(state.table())), m_line(PortMap{m_port, QString()}), m_exchange(m_line),
      m_schedule(projectorsOf(state, line), m_queries.size(), qint64(config.pollIntervalS) * 1000),
      m_availability(projectorsOf(state, line), config.offlineAfter), m_projectors(projectorsOf(state, line)),
      m_offlineAfter(config.offlineAfter) {
    m_clock.start();
    m_pollClocks.resize(m_projectors.size());
    m_line.setSettings(config.lines[line].settings());
    m_line.setRetryFailedOpen(true);
    if (log) {
        m_tap = std::make_unique<TrafficTap>(*log, [this] { return m_port; });
        m_tap->watchPort(m_line);
        m_tap->watchExchanges(m_exchange);
    }
    m_pause.setSingleShot(true);
    connect(&m_pause, &QTimer::timeout, this, &LinePoller::endPause);
    m_wake.setSingleShot(true);
    connect(&m_wake, &QTimer::timeout, this, &LinePoller::pump);
    connect(&m_line, &SerialLine::opened, this, [this] { onOpen(QStringLiteral("open")); });
    // A line that could not be opened at start comes "back" too, the first time it opens.
    connect(&m_line, &SerialLine::portBack, this,
            [this] { onOpen(m_saidFailure ? QStringLiteral("open") : QStringLiteral("back")); });
    connect(&m_line, &SerialLine::portLost, this, &LinePoller::onLost);
    connect(&m_line, &SerialLine::openFailed, this, [this](const QString &message) {
        if (!m_saidFailure)
            journal(QStringLiteral("line %1: cannot open (%2); trying again until it opens")
                        .arg(m_port, message));
        m_saidFailure = true;
    });
    connect(&m_line, &SerialLine::notice, this,
            [this](const QString &text) { journal(QStringLiteral("line %1: %2").arg(m_port, text)); });
    connect(&m_exchange, &LineExchange::finished, this, &LinePoller::onAnswered);
    connect(&m_exchange, &LineExchange::settled, this, &LinePoller::pump);
    connect(&m_exchange, &LineExchange::lateReply, this, [this] {
        if (m_lastAsked >= 0)
            m_state.change(m_lastAsked, [](ProjectorState &p) { ++p.lateReplies; });
    });
}

LinePoller::~LinePoller() = default;

void LinePoller::start() {
    m_stopped = false;
    m_line.setPortOpen(true);
}

void LinePoller::stop() {
    m_stopped = true;
    m_pause.stop();
    halt(QStringLiteral("the bridge is stopping"));
    m_line.setPortOpen(false);
}

// Nothing more goes out: the exchange under way is forgotten, and every command is told why.
void LinePoller::halt(const QString &why) {
    m_wake.stop();
    m_exchange.abandon();
    if (m_asking.isCommand() && m_asking.command.done)
        std::exchange(m_asking.command.done, nullptr)(nullptr, why);
    m_asking = {};
    for (LineCommand &c : m_schedule.stop())
        c.done(nullptr, why);
    // Their commands were answered; only the query after them was not.
    for (FollowUp &f : std::exchange(m_followUps, {}))
        f.done(&f.result, QString());
}

bool LinePoller::enqueue(LineCommand command, QString *why) {
    if (m_pause.isActive())
        *why = QStringLiteral("line %1 is paused for %2 s more")
                   .arg(m_port)
                   .arg((m_pause.remainingTime() + 999) / 1000);
    else if (m_line.state() != SerialLine::State::Open || !m_schedule.running())
        *why = QStringLiteral("line %1 is not open (%2)")
                   .arg(m_port,
                        m_line.errorString().isEmpty() ? QStringLiteral("opening") : m_line.errorString());
    else if (!m_schedule.addCommand(std::move(command)))
        *why = QStringLiteral("line %1 has %2 commands waiting already")
                   .arg(m_port)
                   .arg(LineSchedule::kMaxWaiting);
    else {
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
    m_schedule.addPoll(projector);
    pump();
    return true;
}

void LinePoller::pause(int seconds, const QString &askedBy) {
    if (seconds <= 0) {
        if (m_pause.isActive())
            endPause();
        return;
    }
    const bool already = m_pause.isActive();
    m_pause.start(seconds * 1000);
    journal(
        QStringLiteral("line %1: paused for %2 s (asked for by %3)").arg(m_port).arg(seconds).arg(askedBy));
    if (already)
        return;
    halt(QStringLiteral("line %1 was paused").arg(m_port));
    m_line.setPortOpen(false);
    m_state.changeLine(m_index, [](LineState &l) {
        l.up = false;
        l.paused = true;
    });
    for (int p : m_projectors)
        goDown(p, QStringLiteral("its line is paused"));
}

void LinePoller::endPause() {
    m_pause.stop();
    journal(QStringLiteral("line %1: pause over; opening it again").arg(m_port));
    m_state.changeLine(m_index, [](LineState &l) { l.paused = false; });
    m_line.setPortOpen(true); // opened() starts a round at once
}

void LinePoller::renumber(int line, const Config &config, const QList<int> &newIndexOf) {
    m_index = line;
    const QList<int> projectors = projectorsOf(m_state, line);
    QList<QElapsedTimer> clocks(projectors.size());
    for (qsizetype i = 0; i < m_projectors.size(); ++i)
        if (const qsizetype at = projectors.indexOf(newIndexOf.value(m_projectors[i], -1)); at >= 0)
            clocks[at] = m_pollClocks[i];
    m_pollClocks = std::move(clocks);
    m_availability.renumber(newIndexOf, projectors, config.offlineAfter);
    m_offlineAfter = config.offlineAfter;
    for (LineCommand &c : m_schedule.renumber(newIndexOf, projectors, qint64(config.pollIntervalS) * 1000))
        c.done(nullptr, QStringLiteral("the projector was removed from the configuration"));
    m_projectors = projectors;
    // The exchange under way belongs to a projector that may be gone: its answer is then dropped.
    if (m_asking.projector >= 0)
        m_asking.projector = newIndexOf.value(m_asking.projector, -1);
    if (m_lastAsked >= 0)
        m_lastAsked = newIndexOf.value(m_lastAsked, -1);
    for (auto it = m_followUps.begin(); it != m_followUps.end();) {
        it->projector = newIndexOf.value(it->projector, -1);
        if (it->projector < 0) {
            FollowUp f = std::move(*it);
            it = m_followUps.erase(it);
            f.done(&f.result, QString());
        } else {
            ++it;
        }
    }
    if (m_asking.isCommand() && m_asking.projector < 0 && m_asking.command.done)
        std::exchange(m_asking.command.done,
                      nullptr)(nullptr, QStringLiteral("the projector was removed from the configuration"));
}

void LinePoller::onOpen(const QString &how) {
    journal(QStringLiteral("line %1: %2 at %3").arg(m_port, how, m_line.settings()));
    m_saidFailure = false;
    m_state.changeLine(m_index, [](LineState &l) { l.up = true; });
    m_schedule.start(now());
    pump();
}

void LinePoller::onLost(const QString &message) {
    journal(QStringLiteral("line %1: lost (%2); waiting for it to come back").arg(m_port, message));
    halt(QStringLiteral("line %1 was lost (%2)").arg(m_port, message));
    m_state.changeLine(m_index, [](LineState &l) {
        l.up = false;
        ++l.losses;
    });
    for (int p : m_projectors)
        goDown(p, QStringLiteral("its line is lost"));
}

void LinePoller::goDown(int projector, const QString &why) {
    m_availability.reset(projector);
    if (!m_state.projectors()[projector].available)
        return;
    m_state.change(projector, [&](ProjectorState &p) {
        p.available = false;
        p.readings.clear();
        journal(QStringLiteral("projector %1: down (%2)").arg(p.name, why));
    });
}

// What the schedule says goes on the wire, one exchange at a time.
void LinePoller::pump() {
    while (!m_stopped && !m_exchange.busy() && m_line.state() == SerialLine::State::Open) {
        LineSchedule::Step step = m_schedule.next(now());
        switch (step.kind) {
        case LineSchedule::Step::Kind::Wait:
            if (m_schedule.running())
                m_wake.start(int(std::max<qint64>(0, m_schedule.dueAt() - now())));
            return;
        case LineSchedule::Step::Kind::RoundEnd:
            for (int p : m_availability.roundEnded())
                goDown(p, QStringLiteral("no reply in %1 rounds").arg(m_offlineAfter));
            continue;
        case LineSchedule::Step::Kind::Command:
        case LineSchedule::Step::Kind::Query:
            send(std::move(step));
            if (m_exchange.busy())
                return;
            continue; // not sent (the log says why); the line's own error handling follows
        }
    }
}

void LinePoller::send(LineSchedule::Step step) {
    m_asking = std::move(step);
    const ProjectorState &p = m_state.projectors()[m_asking.projector];
    if (m_asking.isCommand()) {
        if (!m_exchange.ask(p.prefix, m_asking.command.code, m_asking.command.windowMs)) {
            std::exchange(m_asking.command.done,
                          nullptr)(nullptr, QStringLiteral("not sent: the line did not take it"));
            m_asking = {};
        }
        return;
    }
    if (m_asking.query == 0)
        m_pollClocks[m_projectors.indexOf(m_asking.projector)].start();
    if (!m_exchange.ask(p.prefix, m_queries[m_asking.query].code, kReplyWindowMs))
        m_asking = {};
}

void LinePoller::onAnswered(const ExchangeResult &result) {
    LineSchedule::Step step = std::exchange(m_asking, {});
    const int index = step.projector;
    m_lastAsked = index;
    if (index < 0) // its projector was removed by a reload meanwhile
        return pump();
    bool cameUp = false;
    if (result.replied)
        m_availability.replied(index);
    else if (step.ofRound && step.query == 0)
        m_schedule.skipRestOfRound(index);
    m_state.change(index, [&](ProjectorState &p) {
        ++p.exchanges;
        if (!result.replied) {
            ++p.noReplies;
            return;
        }
        p.lastSeen = QDateTime::currentDateTimeUtc(); // local time is looked up when shown, not per reply
        if (!step.isCommand() && !p.readings.read(m_queries[step.query].name, result.reply))
            ++p.unreadable;
        cameUp = !p.available;
        p.available = true;
        if (!step.isCommand() && step.query == m_queries.size() - 1)
            p.pollSeconds = double(m_pollClocks[m_projectors.indexOf(index)].nsecsElapsed()) / 1e9;
    });
    if (cameUp)
        journal(QStringLiteral("projector %1: up").arg(m_state.projectors()[index].name));
    if (step.isCommand()) {
        if (step.command.pollAfter)
            m_schedule.addPoll(index);
        if (step.command.followQuery >= 0 && result.replied) {
            // The command's answer waits for the query's: whoever asks again at once sees the new state.
            m_schedule.addPoll(index, step.command.followQuery);
            m_followUps.push_back({index, step.command.followQuery, result, std::move(step.command.done)});
        } else {
            step.command.done(&result, QString());
        }
    } else {
        for (auto it = m_followUps.begin(); it != m_followUps.end();)
            if (it->projector == index && it->query == step.query) {
                FollowUp f = std::move(*it);
                it = m_followUps.erase(it);
                f.done(&f.result, QString());
            } else {
                ++it;
            }
    }
    pump();
}

} // namespace kr7::bridge
