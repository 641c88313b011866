#pragma once

#include "config.h"
#include "events.h"
#include "historydb.h"
#include "lamps.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QMap>

namespace kr7::bridge {

// What the history says of one projector's lamps: the samples to forecast from, the replacements recorded.
struct LampRecords {
    QList<LampSample> samples;                    // by time
    std::array<std::optional<QDate>, 4> replaced; // the latest replacement's date
    std::array<QString, 4> serial;                // the latest recorded serial number
    std::array<int, 4> replacements{};
};

// The history's samples and lamp events, by projector; zone: for the dates of replacements.
QMap<QString, LampRecords> lampRecords(const QList<Sample> &samples, const QList<Event> &events,
                                       const QTimeZone &zone);
// Adds one lamp event to what is known of its projector.
void addLampEvent(LampRecords &r, const Event &e, const QTimeZone &zone);

// The plan of one projector's lamps now: its life, its forecasts (from the samples since each lamp's last
// replacement), its replacements.
LampPlan lampPlan(const LampRecords &r, int lifeHours, double warnAt, qint64 nowMs, const QTimeZone &zone);

// One lamp as /api/lamps and the report give it.
QJsonObject lampObject(const QString &projector, int lamp, const QJsonValue &hours, const LampPlan &plan,
                       const QString &serial);
// Every lamp, the soonest to be spent first: over its life, then by forecast end, then by remaining hours.
void sortLamps(QJsonArray &lamps);
// The report for the person who orders lamps: aligned text, or CSV.
QByteArray lampReportText(const QJsonArray &lamps, bool csv);

} // namespace kr7::bridge
