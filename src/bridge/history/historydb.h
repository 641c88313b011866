#pragma once

#include "events.h"
#include "historyrules.h"

#include <QJsonArray>
#include <QSqlDatabase>
#include <QString>

#include <array>
#include <optional>

namespace kr7::bridge {

// A projector's sample every 10 minutes: its power code, the lamps' hours, the temperatures and the pressure;
// nothing where a reading was absent.
struct Sample {
    qint64 atMs = 0;
    QString projector;
    QString powerCode;
    std::array<std::optional<qint64>, 4> lampHours;
    std::array<std::optional<double>, 2> temperatures;
    std::optional<qint64> pressureHpa;

    QJsonObject toJson() const;
};

// One page of events, newest first, with the id of the next page's first event (nothing: no more).
struct EventsPage {
    QList<std::pair<qint64, Event>> events;
    std::optional<qint64> next;
};

// What the lamps are planned from: each projector's first sample of every 24 h of the forecast's window and
// its latest, lamp hours only, by time; and every lamp event, oldest first.
struct LampHistory {
    QList<Sample> samples;
    QList<Event> events;
};

// One connection to the history file, on the thread that opened it. The schema is part of the bridge's
// interface (the README shows it): events, samples and the schedules' state, versioned in user_version.
class HistoryDb {
  public:
    static constexpr int kSchemaVersion = 1;

    HistoryDb();
    ~HistoryDb();
    HistoryDb(const HistoryDb &) = delete;
    HistoryDb &operator=(const HistoryDb &) = delete;

    enum class Opened {
        Ready,   // read and written
        Newer,   // a file of a newer schema: read, never written
        Damaged, // not a database, or quick_check fails: renamed aside by the writer
        Failed,  // cannot be opened (error())
    };
    // The writer's connection: the file made when missing, its schema made or checked, WAL.
    Opened openForWriting(const QString &path);
    // A reader's connection, which never writes (the service may be writing meanwhile).
    bool openForReading(const QString &path);
    void close();
    bool isOpen() const;
    QString error() const { return m_error; }
    int schemaVersion() const { return m_version; }

    // In one transaction; false with error() when it failed (nothing of it is written).
    bool write(const QList<Event> &events, const QList<Sample> &samples,
               const QList<ScheduleRecord> &schedules);
    // Removes at most `step` rows past their days, or, while the file is larger than maxBytes, the oldest
    // rows of either table; gives free pages back. How many rows went (0: nothing more to do); -1 on failure.
    int prune(qint64 nowMs, int keepDays, int samplesDays, qint64 maxBytes, int step);
    qint64 rows(const char *table);
    qint64 bytes() const; // the file and its write-ahead log

    std::optional<EventsPage> events(const HistoryQuery &q);
    std::optional<QList<Sample>> samples(const SamplesQuery &q);
    std::optional<QList<ScheduleRecord>> schedules();
    // The lamps' history at nowMs (a few lookups in the index per projector and day).
    std::optional<LampHistory> lampHistory(const QStringList &projectors, qint64 nowMs);

    static QString damagedName(const QString &path, const QDateTime &when);

  private:
    std::optional<QList<Sample>> lampSamples(const QStringList &projectors, qint64 sinceMs, qint64 untilMs);
    std::optional<QList<Event>> lampEvents();
    bool exec(const QString &sql);
    bool makeSchema();
    bool giveBack();

    QString m_name; // the connection's
    QString m_path;
    QString m_error;
    int m_version = 0;
};

} // namespace kr7::bridge
