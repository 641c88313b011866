#include "lampreport.h"

#include "historydb.h"
#include "historyrules.h"

#include <QDateTime>

#include <algorithm>

namespace kr7::bridge {

void addLampEvent(LampRecords &r, const Event &e, const QTimeZone &zone) {
    const int lamp = e.details.value(QLatin1String("lamp")).toInt();
    if (lamp < 1 || lamp > 4)
        return;
    const size_t i = size_t(lamp - 1);
    QDate date = QDate::fromString(e.details.value(QLatin1String("replaced")).toString(), Qt::ISODate);
    if (!date.isValid())
        date = QDateTime::fromMSecsSinceEpoch(e.atMs, Qt::UTC).toTimeZone(zone).date();
    // An operator's record of a replacement already seen (the same day) is the same replacement.
    const bool same = r.replaced[i] && *r.replaced[i] == date;
    if (!r.replaced[i] || date >= *r.replaced[i])
        r.replaced[i] = date;
    if (!same)
        ++r.replacements[i];
    if (const QString serial = e.details.value(QLatin1String("serial")).toString(); !serial.isEmpty())
        r.serial[i] = serial;
}

QMap<QString, LampRecords> lampRecords(const QList<Sample> &samples, const QList<Event> &events,
                                       const QTimeZone &zone) {
    QMap<QString, LampRecords> out;
    for (const Sample &s : samples) {
        LampSample l{s.atMs, {}};
        for (size_t i = 0; i < 4; ++i)
            if (s.lampHours[i])
                l.hours[i] = double(*s.lampHours[i]);
        out[s.projector].samples << l;
    }
    for (const Event &e : events)
        addLampEvent(out[e.projector], e, zone);
    return out;
}

LampPlan lampPlan(const LampRecords &r, int lifeHours, double warnAt, qint64 nowMs, const QTimeZone &zone) {
    LampPlan plan;
    plan.lifeHours = lifeHours;
    plan.warnAt = warnAt;
    plan.today = QDateTime::fromMSecsSinceEpoch(nowMs, Qt::UTC).toTimeZone(zone).date();
    plan.replaced = r.replaced;
    plan.replacements = r.replacements;
    for (int i = 0; i < 4; ++i) {
        QList<LampSample> since = r.samples;
        if (const auto &d = r.replaced[size_t(i)]) {
            const qint64 from = d->startOfDay(zone).toMSecsSinceEpoch();
            since.removeIf([&](const LampSample &s) { return s.atMs < from; });
        }
        plan.forecastEnd[size_t(i)] = forecastEnd(since, i, lifeHours, nowMs, zone);
    }
    return plan;
}

QJsonObject lampObject(const QString &projector, int lamp, const QJsonValue &hours, const LampPlan &plan,
                       const QString &serial) {
    const size_t i = size_t(lamp - 1);
    const auto date = [](const std::optional<QDate> &d) {
        return d ? QJsonValue(d->toString(Qt::ISODate)) : QJsonValue(QJsonValue::Null);
    };
    return {{QStringLiteral("projector"), projector},
            {QStringLiteral("lamp"), lamp},
            {QStringLiteral("hours"), hours},
            {QStringLiteral("life_hours"), plan.lifeHours},
            {QStringLiteral("remaining_hours"),
             hours.isDouble() ? QJsonValue(remainingHours(hours.toDouble(), plan.lifeHours))
                              : QJsonValue(QJsonValue::Null)},
            {QStringLiteral("forecast_end"), date(plan.forecastEnd[i])},
            {QStringLiteral("replaced"), date(plan.replaced[i])},
            {QStringLiteral("replacements"), plan.replacements[i]},
            {QStringLiteral("serial"), serial.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(serial)}};
}

void sortLamps(QJsonArray &lamps) {
    QList<QJsonObject> list;
    for (const QJsonValue &v : lamps)
        list << v.toObject();
    const auto key = [](const QJsonObject &o) {
        const QJsonValue remaining = o[QLatin1String("remaining_hours")];
        const bool spent = remaining.isDouble() && remaining.toDouble() <= 0;
        const QString end = o[QLatin1String("forecast_end")].toString();
        return std::tuple{!spent,
                          end.isEmpty(),
                          end,
                          remaining.isDouble() ? remaining.toDouble() : 1e18,
                          o[QLatin1String("projector")].toString(),
                          o[QLatin1String("lamp")].toInt()};
    };
    std::stable_sort(list.begin(), list.end(),
                     [&](const QJsonObject &a, const QJsonObject &b) { return key(a) < key(b); });
    lamps = {};
    for (const QJsonObject &o : list)
        lamps << o;
}

QByteArray lampReportText(const QJsonArray &lamps, bool csv) {
    const QStringList header{QStringLiteral("projector"),       QStringLiteral("lamp"),
                             QStringLiteral("hours"),           QStringLiteral("life_hours"),
                             QStringLiteral("remaining_hours"), QStringLiteral("forecast_end"),
                             QStringLiteral("replaced"),        QStringLiteral("serial")};
    QList<QStringList> rows;
    for (const QJsonValue &v : lamps) {
        QStringList row;
        for (const QString &k : header) {
            const QJsonValue f = v[k];
            row << (f.isDouble()   ? QString::number(f.toDouble())
                    : f.isString() ? f.toString()
                    : csv          ? QString()
                                   : QStringLiteral("–"));
        }
        rows << row;
    }
    QByteArray out;
    if (csv) {
        out += csvRecord(header);
        for (const QStringList &r : rows)
            out += csvRecord(r);
        return out;
    }
    QList<qsizetype> width(header.size(), 0);
    for (const QStringList &r : QList<QStringList>{header} + rows)
        for (qsizetype i = 0; i < r.size(); ++i)
            width[i] = std::max(width[i], r[i].size());
    for (const QStringList &r : QList<QStringList>{header} + rows) {
        QString line;
        for (qsizetype i = 0; i < r.size(); ++i)
            line += (i + 1 < r.size() ? r[i].leftJustified(width[i] + 2) : r[i]);
        out += line.trimmed().toUtf8() + '\n';
    }
    return out;
}

} // namespace kr7::bridge
