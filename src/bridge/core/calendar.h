#pragma once

#include "config.h"

#include <QDate>
#include <QList>
#include <QTimeZone>

#include <optional>

namespace kr7::bridge {

// When the schedules' entries are due, as cron keeps wall-clock time: an entry runs at its local time on the
// dates it applies to; a time that the spring change skips runs at the first moment after the change, a time
// that the autumn change repeats runs once, at its first occurrence. Knows no clock of its own: the caller
// says what time it is. Weekly entries do not run on holidays; on a date with a dated entry for a target,
// that target's weekly entries do not run (a dated event beats the week).
class Calendar {
  public:
    Calendar(QList<ScheduleConfig> entries, QList<QDate> holidays, QTimeZone zone);

    struct Run {
        qint64 dueMs;
        int entry; // index in the entries
    };
    // Every run due in [fromMs, toMs), in time order (entries in their order at one time).
    QList<Run> runs(qint64 fromMs, qint64 toMs) const;
    // The entry's latest due time at or before nowMs, looking back at most eight days; nothing when none.
    std::optional<qint64> latestDue(int entry, qint64 nowMs) const;
    // What is due at nowMs for an entry that last fell due at lastDueMs (nothing: never): its latest due time
    // after that, which runs when it is at most the entry's catch_up ago; the due times before it (a week
    // back at most) and a latest one older than catch_up were missed. Nothing after a clock set back: a due
    // time never comes twice.
    struct Due {
        std::optional<qint64> latest; // the entry's last due time from now on
        bool run = false;             // latest runs now
        QList<qint64> missed;         // in time order
    };
    Due dueAt(int entry, std::optional<qint64> lastDueMs, qint64 nowMs) const;
    // The entry's first due time after afterMs, looking ahead at most 400 days.
    std::optional<qint64> nextDue(int entry, qint64 afterMs) const;

    // Whether the entry runs on that local date.
    bool appliesOn(int entry, QDate date) const;
    // The instant a local wall time of a date is due in the zone, by the rules above.
    static qint64 dueOn(QDate date, int hour, int minute, const QTimeZone &zone);

    const QList<ScheduleConfig> &entries() const { return m_entries; }
    const QTimeZone &zone() const { return m_zone; }
    QDate localDate(qint64 ms) const;

  private:
    void collect(int entry, qint64 fromMs, qint64 toMs, QList<Run> *out) const;

    QList<ScheduleConfig> m_entries;
    QList<QDate> m_holidays;
    QTimeZone m_zone;
};

// The zone the configuration names, or the system's.
QTimeZone zoneOf(const Config &config);

} // namespace kr7::bridge
