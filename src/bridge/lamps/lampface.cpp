#include "lampface.h"

#include "calendar.h"
#include "changefeed.h"
#include "journal.h"
#include "state.h"

#include <QDateTime>

namespace kr7::bridge {

LampFace::LampFace(FaceServices services, const Settings &settings, QObject *parent)
    : Face(parent), m_services(services), m_config(settings.config), m_zone(zoneOf(m_config)),
      m_historyPath(historyPlace(m_config.history).path) {
    connect(&m_services.feed, &ChangeFeed::changed, this, &LampFace::onChanges);
    connect(&m_timer, &QTimer::timeout, this, &LampFace::read);
    m_services.lamps.serve([this](const QString &projector, int lamp, const LampNote &note,
                                  const Origin &origin) { return record(projector, lamp, note, origin); },
                           [this] { return list(); });
}

LampFace::~LampFace() = default;

qint64 LampFace::now() const {
    return QDateTime::currentMSecsSinceEpoch();
}

bool LampFace::start(QString *) {
    m_timer.start(kPlanEveryMs);
    read();
    return true;
}

FaceReload LampFace::reconfigure(const Settings &next) {
    const bool same = next.config.lamps == m_config.lamps && next.config.timeZone == m_config.timeZone &&
                      historyPlace(next.config.history).path == m_historyPath;
    m_config = next.config;
    m_zone = zoneOf(m_config);
    // What is known of projectors no longer configured goes with them.
    const auto gone = [&](const QString &name) { return m_services.state.indexOf(name) < 0; };
    std::erase_if(m_records, [&](const auto &r) { return gone(r.first); });
    std::erase_if(m_lastHours, [&](const auto &r) { return gone(r.first); });
    if (same) {
        planAll(); // a projector's own lamp life may have changed, or a projector come
        return FaceReload::kept();
    }
    m_historyPath = historyPlace(m_config.history).path;
    m_reader.reset();
    read();
    return FaceReload::restarted();
}

void LampFace::stop() {
    m_timer.stop();
    m_reader.reset();
}

// The samples and lamp events, on the history's reader thread; without a history, what was seen since the
// start.
void LampFace::read() {
    if (m_historyPath.isEmpty())
        return planAll();
    if (!m_reader)
        m_reader = std::make_unique<HistoryReader>(m_historyPath);
    m_readAskedMs = now();
    const qint64 at = m_readAskedMs;
    QStringList names;
    for (const ProjectorState &p : m_services.state.projectors())
        names << p.name;
    const bool asked = m_reader->read<LampHistory>(
        [names, at](HistoryDb &db) { return db.lampHistory(names, at); }, this,
        [this](const std::optional<LampHistory> &history, const QString &error) {
            if (!history) {
                journal(QStringLiteral("lamps: the history cannot be read (%1); forecasts wait for it")
                            .arg(error));
                return planAll();
            }
            loaded(history->samples, history->events);
        });
    if (!asked)
        planAll();
}

void LampFace::loaded(const QList<Sample> &samples, const QList<Event> &events) {
    QList<Event> all = events;
    m_recent.removeIf([&](const Event &e) { return e.atMs < m_readAskedMs - 60000; });
    all += m_recent; // one already read is the same replacement again: it counts once
    const QMap<QString, LampRecords> records = lampRecords(samples, all, m_zone);
    m_records.clear();
    for (auto it = records.begin(); it != records.end(); ++it) {
        m_records[it.key()] = it.value();
        // The hours last sampled: a lamp changed while the bridge was away is seen at its first reading.
        auto &last = m_lastHours[it.key()];
        if (!it.value().samples.isEmpty())
            for (size_t i = 0; i < 4; ++i)
                if (!last[i])
                    last[i] = it.value().samples.last().hours[i];
    }
    planAll();
}

void LampFace::onChanges(const StateChanges &changes) {
    if (changes.reset)
        return planAll();
    for (const int index : changes.projectors) {
        const ProjectorState &p = m_services.state.projectors()[index];
        const QJsonArray hours = p.readings.value("lamp_hours").toArray();
        if (hours.size() != 4)
            continue;
        auto &last = m_lastHours[p.name];
        LampRecords &r = m_records[p.name];
        LampSample seen{now(), {}};
        bool changed = false, replaced = false;
        for (int i = 0; i < 4; ++i) {
            if (!hours[i].isDouble())
                continue;
            const double h = hours[i].toDouble();
            seen.hours[size_t(i)] = h;
            if (last[size_t(i)] && *last[size_t(i)] == h)
                continue;
            changed = true;
            if (last[size_t(i)] && lampReplaced(*last[size_t(i)], h)) {
                const Event e{0,
                              p.name,
                              p.port,
                              QStringLiteral("lamp"),
                              {},
                              {{QStringLiteral("lamp"), i + 1},
                               {QStringLiteral("event"), QStringLiteral("replaced")},
                               {QStringLiteral("from"), *last[size_t(i)]},
                               {QStringLiteral("to"), h}}};
                m_services.events.record(e);
                m_recent << Event{seen.atMs, p.name, p.port, e.kind, {}, e.details};
                addLampEvent(r, m_recent.last(), m_zone);
                journal(QStringLiteral("projector %1: lamp %2 replaced (%3 h, now %4 h)")
                            .arg(p.name)
                            .arg(i + 1)
                            .arg(*last[size_t(i)])
                            .arg(h));
                replaced = true;
            }
            last[size_t(i)] = h;
        }
        if (!changed)
            continue;
        r.samples << seen;
        const qint64 old = lampSamplesSinceMs(now());
        r.samples.removeIf([&](const LampSample &s) { return s.atMs < old; });
        if (replaced || m_historyPath.isEmpty())
            plan(index);
    }
}

void LampFace::plan(int index) {
    const ProjectorState &p = m_services.state.projectors()[index];
    const LampPlan &current = p.readings.lampPlan();
    const auto it = m_records.find(p.name);
    const LampPlan next = lampPlan(it == m_records.end() ? LampRecords{} : it->second, current.lifeHours,
                                   current.warnAt, now(), m_zone);
    if (!(next == current))
        m_services.state.change(index, [&](ProjectorState &s) { s.readings.setLampPlan(next); });
}

void LampFace::planAll() {
    for (int i = 0; i < int(m_services.state.projectors().size()); ++i)
        plan(i);
}

LampDesk::Answer LampFace::record(const QString &projector, int lamp, const LampNote &note,
                                  const Origin &origin) {
    const int index = m_services.state.indexOf(projector);
    if (index < 0)
        return {404,
                {{QStringLiteral("error"), QStringLiteral("no projector named '%1' here").arg(projector)}}};
    const QDate today = QDateTime::fromMSecsSinceEpoch(now(), Qt::UTC).toTimeZone(m_zone).date();
    if (note.replaced > today)
        return {400,
                {{QStringLiteral("error"),
                  QStringLiteral("replaced: %1 is after today (%2)")
                      .arg(note.replaced.toString(Qt::ISODate), today.toString(Qt::ISODate))}}};
    const ProjectorState &p = m_services.state.projectors()[index];
    QJsonObject details{{QStringLiteral("lamp"), lamp},
                        {QStringLiteral("event"), QStringLiteral("recorded")},
                        {QStringLiteral("replaced"), note.replaced.toString(Qt::ISODate)},
                        {QStringLiteral("origin"), origin.toJson()}};
    if (!note.serial.isEmpty())
        details[QStringLiteral("serial")] = note.serial;
    if (!note.note.isEmpty())
        details[QStringLiteral("note")] = note.note;
    const Event e{0, p.name, p.port, QStringLiteral("lamp"), origin.face, details};
    m_services.events.record(e);
    m_recent << Event{now(), p.name, p.port, e.kind, e.origin, details};
    addLampEvent(m_records[p.name], m_recent.last(), m_zone);
    journal(QStringLiteral("projector %1: lamp %2 replaced on %3, recorded by %4")
                .arg(p.name)
                .arg(lamp)
                .arg(note.replaced.toString(Qt::ISODate), origin.text()));
    plan(index);
    const ProjectorState &after = m_services.state.projectors()[index];
    return {200, lampObject(after.name, lamp, after.readings.value("lamp_hours").toArray().at(lamp - 1),
                            after.readings.lampPlan(), m_records[p.name].serial[size_t(lamp - 1)])};
}

QJsonArray LampFace::list() const {
    QJsonArray out;
    for (const ProjectorState &p : m_services.state.projectors()) {
        const QJsonArray hours = p.readings.value("lamp_hours").toArray();
        const auto it = m_records.find(p.name);
        for (int lamp = 1; lamp <= 4; ++lamp)
            out << lampObject(p.name, lamp,
                              hours.size() == 4 ? hours[lamp - 1] : QJsonValue(QJsonValue::Null),
                              p.readings.lampPlan(),
                              it == m_records.end() ? QString() : it->second.serial[size_t(lamp - 1)]);
    }
    sortLamps(out);
    return out;
}

} // namespace kr7::bridge
