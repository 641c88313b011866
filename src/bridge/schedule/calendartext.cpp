#include "calendartext.h"

#include "calendar.h"
#include "groups.h"
#include "historydb.h"
#include "historyrules.h"

#include <QDateTime>
#include <QRegularExpression>

namespace kr7::bridge {

std::optional<qint64> parseCalendarStart(const QString &text, const QTimeZone &zone) {
    if (const auto t = parseTime(text, false, zone))
        return t;
    // A local wall time: in a spring change's gap it is the first moment after it, as a run would be.
    static const QRegularExpression local(QStringLiteral("^(\\d{4}-\\d{2}-\\d{2})[T ](\\d{2}):(\\d{2})$"));
    const QRegularExpressionMatch m = local.match(text);
    if (!m.hasMatch())
        return std::nullopt;
    const QDate d = QDate::fromString(m.captured(1), Qt::ISODate);
    const int h = m.captured(2).toInt(), min = m.captured(3).toInt();
    if (!d.isValid() || h > 23 || min > 59)
        return std::nullopt;
    return Calendar::dueOn(d, h, min, zone);
}

QString actionText(const QJsonObject &request) {
    if (request.isEmpty())
        return {};
    const QJsonValue v = request.begin().value();
    return request.begin().key() + QLatin1Char(' ') +
           (v.isString() ? v.toString()
            : v.isBool() ? (v.toBool() ? QStringLiteral("true") : QStringLiteral("false"))
                         : QString::number(v.toDouble()));
}

QByteArray calendarText(const Config &config, qint64 fromMs, int days, const QString &historyPath) {
    const Calendar calendar(config.schedules, config.holidays, zoneOf(config));
    // The overrides the history keeps for the entries as they are written now.
    QHash<QString, ScheduleRecord> overrides;
    if (!historyPath.isEmpty()) {
        HistoryDb db;
        if (db.openForReading(historyPath))
            if (const auto records = db.schedules())
                for (const ScheduleRecord &r : *records)
                    overrides.insert(r.name, r);
    }
    QHash<QString, bool> skipped;
    QByteArray out;
    for (const Calendar::Run &run : calendar.runs(fromMs, fromMs + qint64(days) * 86400000)) {
        const ScheduleConfig &e = config.schedules[run.entry];
        QStringList projectors;
        if (e.target == ScheduleConfig::Target::Projector)
            projectors << e.targetName;
        else
            for (const GroupMember &m :
                 membersOf(config,
                           e.target == ScheduleConfig::Target::All ? QStringLiteral("all") : e.targetName)
                     .value_or(QList<GroupMember>()))
                projectors << m.projector;
        QString note;
        const auto o = overrides.constFind(e.name);
        if (o != overrides.constEnd() && o->fingerprint == e.fingerprint()) {
            const QDate hold = QDate::fromString(o->holdUntil, Qt::ISODate);
            if (hold.isValid() && calendar.localDate(run.dueMs) < hold)
                note = QStringLiteral("held until %1").arg(o->holdUntil);
            else if (o->skipNext && !skipped.value(e.name) && (!o->lastDueMs || run.dueMs > *o->lastDueMs)) {
                note = QStringLiteral("skipped (skip_next)");
                skipped[e.name] = true;
            }
        }
        QStringList fields{QDateTime::fromMSecsSinceEpoch(run.dueMs, Qt::UTC)
                               .toTimeZone(calendar.zone())
                               .toString(Qt::ISODate),
                           e.name, projectors.join(QStringLiteral(", ")), actionText(e.request)};
        if (!note.isEmpty())
            fields << note;
        out += fields.join(QLatin1Char('\t')).toUtf8() + '\n';
    }
    return out;
}

} // namespace kr7::bridge
