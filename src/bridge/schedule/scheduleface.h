#pragma once

#include "calendar.h"
#include "events.h"
#include "face.h"
#include "historyfile.h"
#include "power.h"
#include "scheduledesk.h"
#include "state.h"

#include <QElapsedTimer>
#include <QTimer>

#include <map>
#include <memory>
#include <optional>

namespace kr7::bridge {

struct StateChanges;

// The schedules: each entry's request sent to its projectors when it is due (on the wall clock, as cron keeps
// it), with the schedule as the command's origin. A run is checked: a power request must bring the projector
// on (or to standby) within verify; a projector that is down, or whose line is lost, is tried again every
// minute until then; otherwise the run failed for it (a history event, a journal line, a metric, and an alarm
// on the projector until its next good run). Each entry's last run and the operators' overrides live in the
// history file: a due time that was missed while the bridge was away runs once when it is at most catch_up
// ago, and none ever runs twice. A clock that jumps (NTP after a cold boot, a machine that slept) is noticed
// within half a minute.
class ScheduleFace : public Face {
    Q_OBJECT
  public:
    static constexpr int kRetryMs = 60000;
    static constexpr int kLongestSleepMs = 30000;
    static constexpr qint64 kClockJumpMs = 2000;
    static const FaceFamily kNextRun, kLastRun, kRuns, kFailures;

    ScheduleFace(FaceServices services, const Settings &settings, QObject *parent = nullptr);
    ~ScheduleFace() override;

    QString name() const override { return QStringLiteral("schedules"); }
    bool start(QString *error) override;
    FaceReload reconfigure(const Settings &next) override;
    void stop() override;

  private:
    struct Entry {
        ScheduleConfig config;
        std::optional<qint64> lastDueMs, lastRunMs;
        QJsonObject lastResult; // projector -> "ok", "running", "failed: why"
        bool skipNext = false;
        QDate holdUntil;
        quint64 runs = 0, failures = 0;
    };
    // One projector's part of a run, until it is done or has failed.
    struct Attempt {
        QString entry;
        QString projector;
        QString group;
        SetRequest request;
        std::optional<PowerState> reach; // a power request: the state it must bring
        qint64 deadline = 0;             // monotonic ms: verify runs out
        bool waiting = false;            // sent and answered; the state is watched
        QString failure;                 // no try fits before the deadline: why it failed, said then
        std::unique_ptr<QTimer> retry;
    };

    void take(const Settings &settings, bool keepRuntime);
    void loaded(const std::optional<QList<ScheduleRecord>> &records);
    void tick();
    void due(Entry &e, const Calendar::Due &d);
    void run(Entry &e, qint64 dueMs);
    void send(quint64 id);
    void settle(quint64 id, const QString &failure);
    void onChanges(const StateChanges &changes);
    void keep(const Entry &e);
    void record(const Entry &e, const QString &projector, QJsonObject details);
    void publish();
    Entry *find(const QString &name);
    QJsonObject describe(const Entry &e) const;
    QJsonArray list() const;
    ScheduleDesk::Answer steer(const QString &name, const Steering &steering, const Origin &origin);
    void setAlarm(const QString &projector, const QString &entry, const QString &text);
    qint64 now() const;

    FaceServices m_services;
    Config m_config;
    std::unique_ptr<Calendar> m_calendar;
    std::map<QString, Entry> m_entries;    // by name
    std::map<quint64, Attempt> m_attempts; // by id: a callback finds its attempt, or that it is gone
    quint64 m_nextAttempt = 1;
    QString m_historyPath;
    std::unique_ptr<HistoryReader> m_reader;
    bool m_ready = false; // the history read (or none to read)
    bool m_started = false;
    QTimer m_tick;
    QElapsedTimer m_monotonic;
    qint64 m_lastWall = 0, m_lastMono = 0;
};

} // namespace kr7::bridge
