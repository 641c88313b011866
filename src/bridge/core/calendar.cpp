#include "calendar.h"

#include <QDateTime>

#include <algorithm>

namespace kr7::bridge {

QTimeZone zoneOf(const Config &config) {
    return config.timeZone.isEmpty() ? QTimeZone::systemTimeZone() : QTimeZone(config.timeZone.toLatin1());
}

Calendar::Calendar(QList<ScheduleConfig> entries, QList<QDate> holidays, QTimeZone zone)
    : m_entries(std::move(entries)), m_holidays(std::move(holidays)), m_zone(std::move(zone)) {}

qint64 Calendar::dueOn(QDate date, int hour, int minute, const QTimeZone &zone) {
    // The wall time read as if it were UTC; each offset the zone has near it makes a candidate instant, which
    // is the wall time only where the zone has that offset at that instant.
    const qint64 wall = QDateTime(date, QTime(hour, minute), Qt::UTC).toMSecsSinceEpoch();
    const qint64 day = 86400000;
    QList<int> offsets{zone.offsetFromUtc(QDateTime::fromMSecsSinceEpoch(wall - day, Qt::UTC)),
                       zone.offsetFromUtc(QDateTime::fromMSecsSinceEpoch(wall + day, Qt::UTC))};
    const QTimeZone::OffsetDataList changes =
        zone.transitions(QDateTime::fromMSecsSinceEpoch(wall - day, Qt::UTC),
                         QDateTime::fromMSecsSinceEpoch(wall + day, Qt::UTC));
    for (const QTimeZone::OffsetData &c : changes)
        offsets << c.offsetFromUtc;
    std::optional<qint64> first;
    for (const int offset : offsets) {
        const qint64 at = wall - qint64(offset) * 1000;
        if (zone.offsetFromUtc(QDateTime::fromMSecsSinceEpoch(at, Qt::UTC)) == offset &&
            (!first || at < *first))
            first = at; // the repeated hour of autumn: its first occurrence
    }
    if (first)
        return *first;
    // Skipped by the spring change: the first moment after it, the change itself.
    for (const QTimeZone::OffsetData &c : changes) {
        const qint64 at = c.atUtc.toMSecsSinceEpoch();
        if (at > wall - qint64(c.offsetFromUtc) * 1000 && at <= wall - qint64(c.offsetFromUtc - 7200) * 1000)
            return at;
    }
    // A zone that has no transition data: its standard offset.
    return wall - qint64(zone.standardTimeOffset(QDateTime(date, QTime(12, 0), Qt::UTC))) * 1000;
}

QDate Calendar::localDate(qint64 ms) const {
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toTimeZone(m_zone).date();
}

bool Calendar::appliesOn(int index, QDate date) const {
    const ScheduleConfig &e = m_entries[index];
    if (e.dated())
        return e.dates.contains(date);
    if (!e.days.isEmpty() && !e.days.contains(date.dayOfWeek()))
        return false;
    if (m_holidays.contains(date))
        return false;
    // A dated entry for the same target that day beats the week.
    return std::none_of(m_entries.begin(), m_entries.end(), [&](const ScheduleConfig &other) {
        return other.dated() && other.target == e.target && other.targetName == e.targetName &&
               other.dates.contains(date);
    });
}

std::optional<qint64> Calendar::latestDue(int entry, qint64 nowMs) const {
    const ScheduleConfig &e = m_entries[entry];
    const QDate today = localDate(nowMs);
    for (QDate d = today.addDays(1); d >= today.addDays(-8); d = d.addDays(-1)) {
        if (!appliesOn(entry, d))
            continue;
        const qint64 due = dueOn(d, e.hour, e.minute, m_zone);
        if (due <= nowMs)
            return due;
    }
    return std::nullopt;
}

std::optional<qint64> Calendar::nextDue(int entry, qint64 afterMs) const {
    const ScheduleConfig &e = m_entries[entry];
    const QDate today = localDate(afterMs);
    for (QDate d = today.addDays(-1); d <= today.addDays(400); d = d.addDays(1)) {
        if (!appliesOn(entry, d))
            continue;
        const qint64 due = dueOn(d, e.hour, e.minute, m_zone);
        if (due > afterMs)
            return due;
    }
    return std::nullopt;
}

void Calendar::collect(int entry, qint64 fromMs, qint64 toMs, QList<Run> *out) const {
    const ScheduleConfig &e = m_entries[entry];
    const QDate last = localDate(toMs).addDays(1);
    for (QDate d = localDate(fromMs).addDays(-1); d <= last; d = d.addDays(1))
        if (appliesOn(entry, d))
            if (const qint64 due = dueOn(d, e.hour, e.minute, m_zone); due >= fromMs && due < toMs)
                *out << Run{due, entry};
}

QList<Calendar::Run> Calendar::runs(qint64 fromMs, qint64 toMs) const {
    QList<Run> out;
    for (int i = 0; i < m_entries.size(); ++i)
        collect(i, fromMs, toMs, &out);
    std::stable_sort(out.begin(), out.end(), [](const Run &a, const Run &b) { return a.dueMs < b.dueMs; });
    return out;
}

Calendar::Due Calendar::dueAt(int entry, std::optional<qint64> lastDueMs, qint64 nowMs) const {
    Due out;
    const std::optional<qint64> latest = latestDue(entry, nowMs);
    if (!latest || (lastDueMs && *latest <= *lastDueMs))
        return out;
    out.latest = latest;
    if (lastDueMs) {
        QList<Run> before;
        collect(entry, std::max(*lastDueMs + 1, *latest - 8 * 86400000LL), *latest, &before);
        for (const Run &r : before)
            out.missed << r.dueMs;
    }
    if (nowMs - *latest <= m_entries[entry].catchUpMs)
        out.run = true;
    else
        out.missed << *latest;
    return out;
}

} // namespace kr7::bridge
