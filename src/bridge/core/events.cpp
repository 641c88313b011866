#include "events.h"

#include "changefeed.h"
#include "commands.h"
#include "monitortext.h"
#include "readings.h"
#include "state.h"

#include <QDateTime>
#include <QJsonArray>

namespace kr7::bridge {

QJsonObject Event::toJson(std::optional<qint64> id) const {
    QJsonObject o;
    if (id)
        o[QLatin1String("id")] = double(*id);
    o[QLatin1String("at")] = QDateTime::fromMSecsSinceEpoch(atMs, Qt::UTC).toString(Qt::ISODateWithMs);
    const auto orNull = [](const QString &s) {
        return s.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(s);
    };
    o[QLatin1String("projector")] = orNull(projector);
    o[QLatin1String("line")] = orNull(line);
    o[QLatin1String("kind")] = kind;
    o[QLatin1String("origin")] = orNull(origin);
    o[QLatin1String("details")] = details;
    return o;
}

QString namedBytes(QByteArrayView bytes) {
    QString out;
    for (const char b : bytes) {
        const uchar c = uchar(b);
        if (c >= 32 && c <= 122) {
            out += QLatin1Char(char(c));
            continue;
        }
        if (!out.isEmpty() && !out.endsWith(QLatin1Char(' ')))
            out += QLatin1Char(' ');
        out += monitorToken(QChar(c)).trimmed();
        out += QLatin1Char(' ');
    }
    return out.trimmed();
}

namespace {

qint64 now() {
    return QDateTime::currentMSecsSinceEpoch();
}

} // namespace

Events::Events(const BridgeState &state, ChangeFeed &feed, Commands &commands, QObject *parent)
    : QObject(parent), m_state(state) {
    resetSeen();
    connect(&feed, &ChangeFeed::changed, this, &Events::onChanges);
    connect(&commands, &Commands::finished, this, &Events::onCommand);
}

void Events::service(const QString &what, QJsonObject details) {
    details[QLatin1String("event")] = what;
    record(Event{now(), {}, {}, QStringLiteral("service"), {}, details});
}

void Events::record(Event event) {
    if (!event.atMs)
        event.atMs = now();
    emit happened(event);
}

void Events::resetSeen() {
    m_lines.clear();
    for (const LineState &l : m_state.lines())
        m_lines << std::pair{l.up, l.paused};
    QHash<QString, Seen> kept;
    for (const ProjectorState &p : m_state.projectors())
        kept.insert(p.name, m_seen.value(p.name));
    m_seen = std::move(kept);
}

void Events::onChanges(const StateChanges &changes) {
    if (changes.reset)
        return resetSeen();
    for (const int index : changes.projectors)
        watch(index, m_seen[m_state.projectors()[index].name]);
    for (const int index : changes.lines) {
        if (index >= m_lines.size())
            continue;
        const LineState &l = m_state.lines()[index];
        const auto [wasUp, wasPaused] = std::exchange(m_lines[index], std::pair{l.up, l.paused});
        const auto line = [&](const char *change) {
            record(Event{now(),
                         {},
                         l.port,
                         QStringLiteral("state"),
                         {},
                         QJsonObject{{QStringLiteral("change"), QLatin1String(change)}}});
        };
        if (!wasPaused && l.paused)
            line("pause begun");
        else if (wasPaused && !l.paused)
            line("pause ended");
        else if (wasUp && !l.up)
            line("line lost");
        if (!wasUp && l.up)
            line("line up");
    }
}

// What changed since it was last seen: a value that could not be read (a projector down, a reply garbled) is
// no change; the first value after a start is none either, there being nothing it changed from.
void Events::watch(int index, Seen &seen) {
    const ProjectorState &p = m_state.projectors()[index];
    const auto state = [&](QJsonObject details) {
        record(Event{now(), p.name, p.port, QStringLiteral("state"), {}, details});
    };
    if (p.available != seen.available)
        state({{QStringLiteral("change"), p.available ? QStringLiteral("up") : QStringLiteral("down")}});
    seen.available = p.available;
    const QJsonValue code = p.readings.value("power_code");
    if (!code.isNull()) {
        const QJsonValue text = p.readings.value("power_status");
        if (!seen.powerCode.isNull() && code != seen.powerCode)
            state({{QStringLiteral("change"), QStringLiteral("power")},
                   {QStringLiteral("from"), QJsonObject{{QStringLiteral("code"), seen.powerCode},
                                                        {QStringLiteral("text"), seen.powerStatus}}},
                   {QStringLiteral("to"),
                    QJsonObject{{QStringLiteral("code"), code}, {QStringLiteral("text"), text}}}});
        seen.powerCode = code;
        seen.powerStatus = text;
    }
    for (const auto &[key, last] :
         {std::pair{"input", &seen.input}, std::pair{"lamp_mode", &seen.lampMode}}) {
        const QJsonValue v = p.readings.value(key);
        if (v.isNull())
            continue;
        if (!last->isNull() && v != *last)
            state({{QStringLiteral("change"), QLatin1String(key)},
                   {QStringLiteral("from"), *last},
                   {QStringLiteral("to"), v}});
        *last = v;
    }
    const QJsonArray lamps = p.readings.value("lamps").toArray();
    for (qsizetype i = 0; i < lamps.size() && i < 4; ++i) {
        if (!lamps[i].isBool())
            continue;
        if (seen.lamps.size() == 4 && seen.lamps[i].isBool() && seen.lamps[i] != lamps[i])
            state({{QStringLiteral("change"), QStringLiteral("lamp")},
                   {QStringLiteral("lamp"), int(i + 1)},
                   {QStringLiteral("to"), lamps[i].toBool() ? QStringLiteral("on") : QStringLiteral("off")}});
    }
    if (lamps.size() == 4) {
        QJsonArray merged = seen.lamps.size() == 4
                                ? seen.lamps
                                : QJsonArray{QJsonValue(), QJsonValue(), QJsonValue(), QJsonValue()};
        for (qsizetype i = 0; i < 4; ++i)
            if (lamps[i].isBool())
                merged[i] = lamps[i];
        seen.lamps = merged;
    }
    // The alarms the readings give are judged while the power code is known; meanwhile those of before hold.
    const QString unreachable = QStringLiteral("unreachable");
    QStringList next;
    if (!p.available)
        next << unreachable;
    const bool known = p.available && !code.isNull();
    for (const QString &w : known ? alarmWords(p) : seen.alarms)
        if (w != unreachable)
            next << w;
    for (const QString &w : next)
        if (!seen.alarms.contains(w))
            record(Event{now(),
                         p.name,
                         p.port,
                         QStringLiteral("alarm"),
                         {},
                         QJsonObject{{QStringLiteral("alarm"), w}, {QStringLiteral("raised"), true}}});
    for (const QString &w : seen.alarms)
        if (!next.contains(w))
            record(Event{now(),
                         p.name,
                         p.port,
                         QStringLiteral("alarm"),
                         {},
                         QJsonObject{{QStringLiteral("alarm"), w}, {QStringLiteral("raised"), false}}});
    seen.alarms = next;
}

void Events::onCommand(const CommandRecord &r) {
    QJsonObject d{{QStringLiteral("origin"), r.origin.toJson()}, {QStringLiteral("request"), r.request}};
    if (r.outcome.exchange) {
        const ExchangeResult &e = *r.outcome.exchange;
        d[QStringLiteral("line")] = namedBytes(e.line);
        d[QStringLiteral("replied")] = e.replied;
        d[QStringLiteral("reply")] = namedBytes(e.reply);
        d[QStringLiteral("elapsed_ms")] = std::round(e.elapsedMs * 10) / 10;
    } else if (r.outcome.accepted) {
        d[QStringLiteral("accepted")] = true;
    } else {
        d[QStringLiteral("refused")] = r.outcome.error;
    }
    record(Event{r.at.toMSecsSinceEpoch(), r.projector, r.line, QStringLiteral("command"), r.origin.face, d});
}

} // namespace kr7::bridge
