#include "scheduleface.h"

#include "changefeed.h"
#include "commands.h"
#include "groups.h"
#include "journal.h"
#include "power.h"

#include <QDateTime>
#include <QJsonDocument>

namespace kr7::bridge {

const FaceFamily ScheduleFace::kNextRun{"kr7_schedule_next_run_timestamp_seconds", "gauge",
                                        "When the schedule entry runs next, in seconds since 1970."};
const FaceFamily ScheduleFace::kLastRun{"kr7_schedule_last_run_timestamp_seconds", "gauge",
                                        "When the schedule entry last ran, in seconds since 1970."};
const FaceFamily ScheduleFace::kRuns{"kr7_schedule_runs_total", "counter", "Runs of the schedule entry."};
const FaceFamily ScheduleFace::kFailures{"kr7_schedule_failures_total", "counter",
                                         "Projectors a run of the schedule entry failed for."};

namespace {

QString local(qint64 ms, const QTimeZone &zone) {
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toTimeZone(zone).toString(Qt::ISODate);
}

QString failedText(const QString &entry) {
    return QStringLiteral("schedule %1 failed: ").arg(entry);
}

} // namespace

ScheduleFace::ScheduleFace(FaceServices services, const Settings &settings, QObject *parent)
    : Face(parent), m_services(services) {
    m_monotonic.start();
    m_tick.setSingleShot(true);
    connect(&m_tick, &QTimer::timeout, this, &ScheduleFace::tick);
    connect(&m_services.feed, &ChangeFeed::changed, this, &ScheduleFace::onChanges);
    m_services.schedules.serve([this](const QString &name, const Steering &steering,
                                      const Origin &origin) { return steer(name, steering, origin); },
                               [this] { return list(); });
    take(settings, false);
}

ScheduleFace::~ScheduleFace() = default;

// Each entry as describe() gives it, with its runs of the next eight days (today and the seven after it).
QJsonArray ScheduleFace::list() const {
    const qint64 t = now();
    QHash<int, QJsonArray> upcoming;
    for (const Calendar::Run &r : m_calendar->runs(t, t + 8 * qint64(86400000)))
        upcoming[r.entry] << local(r.dueMs, m_calendar->zone());
    QJsonArray out;
    for (int i = 0; i < m_config.schedules.size(); ++i)
        if (const auto it = m_entries.find(m_config.schedules[i].name); it != m_entries.end()) {
            QJsonObject o = describe(it->second);
            o[QStringLiteral("upcoming")] = upcoming.value(i);
            out << o;
        }
    return out;
}

qint64 ScheduleFace::now() const {
    return QDateTime::currentMSecsSinceEpoch();
}

// The entries of the settings: an unchanged one keeps what it knows, a changed one starts fresh.
void ScheduleFace::take(const Settings &settings, bool keepRuntime) {
    m_config = settings.config;
    m_calendar = std::make_unique<Calendar>(m_config.schedules, m_config.holidays, zoneOf(m_config));
    std::map<QString, Entry> entries;
    for (int index = 0; index < m_config.schedules.size(); ++index) {
        const ScheduleConfig &c = m_config.schedules[index];
        const auto old = m_entries.find(c.name);
        if (keepRuntime && old != m_entries.end() && old->second.config.fingerprint() == c.fingerprint()) {
            entries[c.name] = std::move(old->second);
            entries[c.name].config = c;
            continue;
        }
        Entry e;
        e.config = c;
        entries[c.name] = std::move(e);
        if (keepRuntime) {
            // Fresh: it runs from its next due time on.
            entries[c.name].lastDueMs = m_calendar->latestDue(index, now());
            keep(entries[c.name]);
        }
    }
    for (auto &[name, e] : m_entries)
        if (!entries.count(name)) {
            m_services.events.keep(ScheduleRecord{name, {}, {}, {}, {}, false, {}}); // gone
            for (const ProjectorState &p : m_services.state.projectors())
                setAlarm(p.name, name, {});
        }
    std::erase_if(m_attempts, [&](const auto &a) { return !entries.count(a.second.entry); });
    m_entries = std::move(entries);
    m_historyPath = historyPlace(m_config.history).path;
}

bool ScheduleFace::start(QString *) {
    m_started = true;
    if (m_entries.empty()) {
        m_ready = true;
        return true;
    }
    if (m_historyPath.isEmpty()) {
        journal(QStringLiteral("schedules: the history is off: a run missed while the bridge was away is not "
                               "caught up, and overrides do not outlive a restart"));
        loaded(std::nullopt);
        return true;
    }
    // What the entries did before, from the history, before anything runs.
    m_reader = std::make_unique<HistoryReader>(m_historyPath);
    const bool asked = m_reader->read<QList<ScheduleRecord>>(
        [](HistoryDb &db) { return db.schedules(); }, this,
        [this](const std::optional<QList<ScheduleRecord>> &records, const QString &) {
            loaded(records ? records : std::optional<QList<ScheduleRecord>>(QList<ScheduleRecord>()));
        });
    if (!asked)
        loaded(QList<ScheduleRecord>());
    return true;
}

// records: what the history keeps (nothing: no history, no catch-up).
void ScheduleFace::loaded(const std::optional<QList<ScheduleRecord>> &records) {
    const qint64 t = now();
    for (int i = 0; i < m_config.schedules.size(); ++i) {
        Entry &e = m_entries[m_config.schedules[i].name];
        const ScheduleRecord *r = nullptr;
        if (records)
            for (const ScheduleRecord &candidate : *records)
                if (candidate.name == e.config.name && candidate.fingerprint == e.config.fingerprint())
                    r = &candidate;
        if (r) {
            e.lastDueMs = r->lastDueMs;
            e.lastRunMs = r->lastRunMs;
            e.lastResult = r->lastResult;
            e.skipNext = r->skipNext;
            e.holdUntil = QDate::fromString(r->holdUntil, Qt::ISODate);
        } else if (!e.lastDueMs) {
            e.lastDueMs = m_calendar->latestDue(i, t); // new, or without history: from its next due time on
            keep(e);
        }
    }
    m_ready = true;
    m_lastWall = t;
    m_lastMono = m_monotonic.elapsed();
    tick();
}

FaceReload ScheduleFace::reconfigure(const Settings &next) {
    const Config &c = next.config;
    const auto groupsOf = [](const Config &config) {
        QList<GroupConfig> g = config.groups;
        std::sort(g.begin(), g.end(),
                  [](const GroupConfig &a, const GroupConfig &b) { return a.name < b.name; });
        return g;
    };
    const bool same = c.schedules == m_config.schedules && c.timeZone == m_config.timeZone &&
                      c.holidays == m_config.holidays && groupsOf(c) == groupsOf(m_config);
    take(next, true);
    if (m_started && m_ready)
        tick();
    return same ? FaceReload::kept() : FaceReload::restarted();
}

void ScheduleFace::stop() {
    m_tick.stop();
    m_attempts.clear();
}

// What is due now, then asleep until the next due time (at most half a minute: a clock that jumped is
// noticed).
void ScheduleFace::tick() {
    if (!m_ready)
        return;
    const qint64 t = now(), mono = m_monotonic.elapsed();
    const qint64 drift = (t - m_lastWall) - (mono - m_lastMono);
    if (m_lastMono && std::abs(drift) > kClockJumpMs)
        journal(QStringLiteral("schedules: the clock moved %1 s; due runs are looked for again")
                    .arg(drift / 1000));
    m_lastWall = t;
    m_lastMono = mono;
    std::optional<qint64> soonest;
    for (int i = 0; i < m_config.schedules.size(); ++i) {
        Entry &e = m_entries[m_config.schedules[i].name];
        if (const Calendar::Due d = m_calendar->dueAt(i, e.lastDueMs, t); d.latest)
            due(e, d);
        if (const std::optional<qint64> n = m_calendar->nextDue(i, t); n && (!soonest || *n < *soonest))
            soonest = n;
    }
    publish();
    const qint64 sleep = soonest ? std::clamp<qint64>(*soonest - t, 0, kLongestSleepMs) : kLongestSleepMs;
    m_tick.start(int(sleep));
}

void ScheduleFace::due(Entry &e, const Calendar::Due &d) {
    e.lastDueMs = d.latest;
    const QTimeZone &zone = m_calendar->zone();
    for (const qint64 missed : d.missed)
        record(e, {},
               {{QStringLiteral("result"), QStringLiteral("missed")},
                {QStringLiteral("due"), local(missed, zone)}});
    if (!d.missed.isEmpty())
        journal(QStringLiteral("schedule %1: %2 runs missed (more than its catch_up ago), the last due %3")
                    .arg(e.config.name)
                    .arg(d.missed.size())
                    .arg(local(d.missed.last(), zone)));
    if (!d.run)
        return keep(e);
    const QString at = local(*d.latest, zone);
    if (e.skipNext) {
        e.skipNext = false;
        record(e, {}, {{QStringLiteral("result"), QStringLiteral("skipped")}, {QStringLiteral("due"), at}});
    } else if (e.holdUntil.isValid() && m_calendar->localDate(*d.latest) < e.holdUntil) {
        record(e, {},
               {{QStringLiteral("result"), QStringLiteral("held")},
                {QStringLiteral("due"), at},
                {QStringLiteral("hold_until"), e.holdUntil.toString(Qt::ISODate)}});
    } else {
        e.holdUntil = {}; // a hold is over once a run goes
        run(e, *d.latest);
    }
    keep(e);
}

void ScheduleFace::run(Entry &e, qint64 dueMs) {
    const ScheduleConfig &c = e.config;
    const auto parsed = parseSetRequest(QJsonDocument(c.request).toJson(QJsonDocument::Compact), false);
    const SetRequest request = std::get<SetRequest>(parsed); // checked when the configuration was read
    QList<GroupMember> members;
    QString group;
    if (c.target == ScheduleConfig::Target::Projector) {
        members << GroupMember{c.targetName, 0};
    } else {
        group = c.target == ScheduleConfig::Target::All ? QStringLiteral("all") : c.targetName;
        members = membersOf(m_config, group).value_or(QList<GroupMember>());
    }
    e.lastRunMs = now();
    ++e.runs;
    e.lastResult = {};
    journal(QStringLiteral("schedule %1: runs (due %2) for %3 projectors")
                .arg(c.name, local(dueMs, m_calendar->zone()))
                .arg(members.size()));
    std::optional<PowerState> reach;
    if (request.kind == SetRequest::Kind::Power)
        reach = request.code == QLatin1String("C00") ? PowerState::On : PowerState::Standby;
    const bool powerOn = reach == PowerState::On;
    for (const GroupMember &m : members) {
        e.lastResult[m.projector] = QStringLiteral("running");
        const quint64 id = m_nextAttempt++;
        Attempt &a = m_attempts[id];
        a = Attempt{c.name,  m.projector, group,
                    request, reach,       m_monotonic.elapsed() + (powerOn ? m.delayMs : 0) + c.verifyMs,
                    false,   {},          std::make_unique<QTimer>()};
        a.retry->setSingleShot(true);
        connect(a.retry.get(), &QTimer::timeout, this, [this, id] {
            const auto it = m_attempts.find(id);
            if (it == m_attempts.end())
                return;
            if (!it->second.failure.isEmpty())
                return settle(id, it->second.failure);
            if (it->second.waiting)
                return settle(
                    id,
                    QStringLiteral("did not reach %1 within %2 s")
                        .arg(it->second.reach == PowerState::On ? QStringLiteral("on")
                                                                : QStringLiteral("standby"))
                        .arg(find(it->second.entry) ? find(it->second.entry)->config.verifyMs / 1000 : 0));
            send(id);
        });
        if (powerOn && m.delayMs > 0)
            a.retry->start(m.delayMs); // staggered, as the group says
        else
            send(id);
    }
}

void ScheduleFace::send(quint64 id) {
    const auto it = m_attempts.find(id);
    if (it == m_attempts.end())
        return;
    Attempt &a = it->second;
    const auto again = [this, id](const QString &why) {
        const auto at = m_attempts.find(id);
        if (at == m_attempts.end())
            return;
        Attempt &a = at->second;
        const qint64 left = a.deadline - m_monotonic.elapsed();
        if (left > kRetryMs)
            return a.retry->start(kRetryMs); // tried again every minute until verify runs out
        // No try fits before then: it has failed when verify runs out.
        a.failure = why;
        a.retry->start(int(std::max<qint64>(0, left)));
    };
    const int index = m_services.state.indexOf(a.projector);
    if (index < 0)
        return settle(id, QStringLiteral("no projector named %1 any more").arg(a.projector));
    const ProjectorState &p = m_services.state.projectors()[index];
    if (!m_services.state.lines()[p.line].up)
        return again(QStringLiteral("its line is lost"));
    if (!p.available && (p.lastSeen.isValid() || p.noReplies > 0))
        return again(
            QStringLiteral("no reply")); // asked and silent; one not yet asked (just started) is tried
    const Origin origin{QStringLiteral("schedule"), {}, {}, {}, a.entry, a.group};
    m_services.commands.submit(index, a.request, origin, this, [this, id, again](const CommandOutcome &o) {
        const auto at = m_attempts.find(id);
        if (at == m_attempts.end())
            return;
        if (!o.accepted && !o.exchange)
            return again(o.error);
        if (o.exchange && !o.exchange->replied)
            return again(QStringLiteral("no reply"));
        Attempt &a = at->second;
        if (!a.reach)
            return settle(id, {});
        // Sent and answered: the feed says when it gets there, the timer when it did not in time.
        if (const int index = m_services.state.indexOf(a.projector); index >= 0)
            if (const PowerCode *code =
                    powerCode(m_services.state.projectors()[index].readings.value("power_code").toString());
                code && code->state == *a.reach)
                return settle(id, {});
        a.waiting = true;
        a.retry->start(int(std::max<qint64>(0, a.deadline - m_monotonic.elapsed())));
    });
}

void ScheduleFace::onChanges(const StateChanges &changes) {
    if (changes.reset)
        return;
    for (const int index : changes.projectors) {
        const ProjectorState &p = m_services.state.projectors()[index];
        const PowerCode *code = powerCode(p.readings.value("power_code").toString());
        QList<quint64> done;
        for (const auto &[id, a] : m_attempts)
            if (a.waiting && a.projector == p.name && code && code->state == *a.reach)
                done << id;
        for (const quint64 id : done)
            settle(id, {});
    }
}

// Done for this projector: failure empty is success.
void ScheduleFace::settle(quint64 id, const QString &failure) {
    const auto it = m_attempts.find(id);
    if (it == m_attempts.end())
        return;
    Attempt *a = &it->second;
    if (Entry *e = find(a->entry)) {
        if (failure.isEmpty()) {
            e->lastResult[a->projector] = QStringLiteral("ok");
            setAlarm(a->projector, e->config.name, {});
            record(*e, a->projector, {{QStringLiteral("result"), QStringLiteral("ok")}});
        } else {
            e->lastResult[a->projector] = QStringLiteral("failed: %1").arg(failure);
            ++e->failures;
            setAlarm(a->projector, e->config.name, failure);
            record(
                *e, a->projector,
                {{QStringLiteral("result"), QStringLiteral("failed")}, {QStringLiteral("reason"), failure}});
            journal(
                QStringLiteral("schedule %1: failed for %2: %3").arg(e->config.name, a->projector, failure));
        }
        keep(*e);
        publish();
    }
    // Its timer may be the one calling: it goes once the call is over.
    a->retry.release()->deleteLater();
    m_attempts.erase(it);
}

void ScheduleFace::setAlarm(const QString &projector, const QString &entry, const QString &text) {
    const int index = m_services.state.indexOf(projector);
    if (index < 0)
        return;
    const QString prefix = failedText(entry);
    const ProjectorState &p = m_services.state.projectors()[index];
    QStringList alarms = p.faceAlarms;
    alarms.removeIf([&](const QString &a) { return a.startsWith(prefix); });
    if (!text.isEmpty())
        alarms << prefix + text;
    if (alarms != p.faceAlarms)
        m_services.state.change(index, [&](ProjectorState &s) { s.faceAlarms = alarms; });
}

ScheduleFace::Entry *ScheduleFace::find(const QString &name) {
    const auto it = m_entries.find(name);
    return it == m_entries.end() ? nullptr : &it->second;
}

void ScheduleFace::keep(const Entry &e) {
    m_services.events.keep(
        ScheduleRecord{e.config.name, e.config.fingerprint(), e.lastDueMs, e.lastRunMs, e.lastResult,
                       e.skipNext, e.holdUntil.isValid() ? e.holdUntil.toString(Qt::ISODate) : QString()});
}

void ScheduleFace::record(const Entry &e, const QString &projector, QJsonObject details) {
    details[QStringLiteral("schedule")] = e.config.name;
    QString line;
    if (const int index = m_services.state.indexOf(projector); index >= 0)
        line = m_services.state.projectors()[index].port;
    m_services.events.record(
        Event{0, projector, line, QStringLiteral("schedule"), QStringLiteral("schedule"), details});
}

QJsonObject ScheduleFace::describe(const Entry &e) const {
    const ScheduleConfig &c = e.config;
    const QTimeZone &zone = m_calendar->zone();
    int index = 0;
    for (int i = 0; i < m_config.schedules.size(); ++i)
        if (m_config.schedules[i].name == c.name)
            index = i;
    const std::optional<qint64> next = m_calendar->nextDue(index, now());
    QJsonArray days, dates;
    static const char *const kDays[] = {"mon", "tue", "wed", "thu", "fri", "sat", "sun"};
    for (int d : c.days)
        days << QLatin1String(kDays[d - 1]);
    for (const QDate &d : c.dates)
        dates << d.toString(Qt::ISODate);
    const auto when = [&](const std::optional<qint64> &ms) {
        return ms ? QJsonValue(local(*ms, zone)) : QJsonValue(QJsonValue::Null);
    };
    QJsonObject target;
    target[c.target == ScheduleConfig::Target::Projector ? QStringLiteral("projector")
                                                         : QStringLiteral("group")] =
        c.target == ScheduleConfig::Target::All ? QStringLiteral("all") : c.targetName;
    return {
        {QStringLiteral("name"), c.name},
        {QStringLiteral("target"), target},
        {QStringLiteral("at"),
         QStringLiteral("%1:%2").arg(c.hour, 2, 10, QLatin1Char('0')).arg(c.minute, 2, 10, QLatin1Char('0'))},
        {QStringLiteral("days"), days},
        {QStringLiteral("dates"), dates},
        {QStringLiteral("do"), c.request},
        {QStringLiteral("next_run"), when(next)},
        {QStringLiteral("last_due"), when(e.lastDueMs)},
        {QStringLiteral("last_run"), when(e.lastRunMs)},
        {QStringLiteral("result"), e.lastResult},
        {QStringLiteral("override"),
         QJsonObject{{QStringLiteral("skip_next"), e.skipNext},
                     {QStringLiteral("hold_until"), e.holdUntil.isValid()
                                                        ? QJsonValue(e.holdUntil.toString(Qt::ISODate))
                                                        : QJsonValue(QJsonValue::Null)}}}};
}

ScheduleDesk::Answer ScheduleFace::steer(const QString &name, const Steering &steering,
                                         const Origin &origin) {
    Entry *e = find(name);
    if (!e)
        return {404,
                {{QStringLiteral("error"), QStringLiteral("no schedule entry named '%1' here").arg(name)}}};
    switch (steering.kind) {
    case Steering::Kind::SkipNext:
        e->skipNext = true;
        break;
    case Steering::Kind::HoldUntil:
        e->holdUntil = steering.until;
        break;
    case Steering::Kind::Resume:
        e->skipNext = false;
        e->holdUntil = {};
        break;
    }
    keep(*e);
    m_services.events.record(Event{0,
                                   {},
                                   {},
                                   QStringLiteral("schedule"),
                                   origin.face,
                                   {{QStringLiteral("schedule"), name},
                                    {QStringLiteral("override"), steering.request},
                                    {QStringLiteral("origin"), origin.toJson()}}});
    journal(QStringLiteral("schedule %1: %2 by %3")
                .arg(name, QString::fromUtf8(QJsonDocument(steering.request).toJson(QJsonDocument::Compact)),
                     origin.text()));
    publish();
    return {200, describe(*e)};
}

// Each entry's series; an entry gone takes its own with it.
void ScheduleFace::publish() {
    ServiceState next = m_services.state.service();
    [&](ServiceState &s) {
        for (const FaceFamily *f : {&kNextRun, &kLastRun, &kRuns, &kFailures})
            s.removeSamples(f);
        const QString label = QStringLiteral("schedule");
        for (int i = 0; i < m_config.schedules.size(); ++i) {
            const Entry &e = m_entries[m_config.schedules[i].name];
            if (const std::optional<qint64> n = m_calendar->nextDue(i, now()))
                s.setSample(&kNextRun, label, e.config.name, double(*n) / 1000.0);
            if (e.lastRunMs)
                s.setSample(&kLastRun, label, e.config.name, double(*e.lastRunMs) / 1000.0);
            s.setSample(&kRuns, label, e.config.name, double(e.runs));
            s.setSample(&kFailures, label, e.config.name, double(e.failures));
        }
    }(next);
    if (next.samples != m_services.state.service().samples)
        m_services.state.changeService([&](ServiceState &s) { s.samples = std::move(next.samples); });
}

} // namespace kr7::bridge
