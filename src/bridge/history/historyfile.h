#pragma once

#include "historydb.h"

#include <QObject>
#include <QPointer>
#include <QThread>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <variant>

namespace kr7::bridge {

// How long the history keeps what.
struct HistoryLimits {
    int keepDays = 400;
    int samplesDays = 35;
    int maxMb = 512;
    bool operator==(const HistoryLimits &) const = default;
};

// What the writer says of the file, for the metrics.
struct HistoryStats {
    qint64 events = 0, samples = 0, bytes = 0;
    quint64 writeErrors = 0, dropped = 0;
    qint64 lastWriteMs = 0; // 0: nothing written yet
};

// Writes the history on a thread of its own, with its own connection: the event loop only hands rows over.
// Rows wait in a queue of at most kMaxWaiting (beyond that they are dropped, counted and said once) and go to
// the file in transactions of at most kMaxBatch rows, a batch at most every kBatchMs. A file that cannot be
// written is said once with SQLite's reason; its rows wait and are tried again every kRetryMs. A file that is
// no database, or damaged, is moved aside and a new one begun; one of a newer schema is left alone. Old rows
// are pruned in small steps, within a minute of the start and every hour.
class HistoryWriter : public QObject {
    Q_OBJECT
  public:
    static constexpr qsizetype kMaxWaiting = 10000;
    static constexpr qsizetype kMaxBatch = 500;
    static constexpr int kBatchMs = 250;
    static constexpr int kRetryMs = 10000;
    static constexpr int kFirstPruneMs = 30000;
    static constexpr int kPruneEveryMs = 3600000;
    static constexpr int kPruneStep = 500;
    static constexpr int kEndWaitMs = 2000;

    using Row = std::variant<Event, Sample, ScheduleRecord>;

    HistoryWriter(QString path, HistoryLimits limits, QObject *parent = nullptr);
    // Writes what waits (at most kEndWaitMs), then ends its thread.
    ~HistoryWriter() override;

    const QString &path() const { return m_path; }
    void add(Row row);
    void setLimits(HistoryLimits limits);

    class Worker;

  signals:
    void statsChanged(const HistoryStats &stats);

  private:
    struct Queue {
        std::mutex lock;
        std::deque<Row> rows;
        std::atomic<quint64> dropped{0};
        std::atomic<bool> saidFull{false};
    };
    QString m_path;
    std::shared_ptr<Queue> m_queue;
    QThread m_thread;
    QPointer<Worker> m_worker;
};

// Reads the history on a thread of its own, with a connection that never writes: a question of the console or
// of the schedules never waits on the file. At most kMaxWaiting questions wait; an answer comes back on the
// asker's thread, unless its context is gone by then.
class HistoryReader : public QObject {
    Q_OBJECT
  public:
    static constexpr int kMaxWaiting = 16;

    explicit HistoryReader(QString path, QObject *parent = nullptr);
    ~HistoryReader() override;

    const QString &path() const { return m_path; }

    // job runs on the reader's thread with its connection (opened on the first question); done on this one.
    // An error is the reason the file could not be read. False at once when too many wait.
    template <typename T>
    bool read(std::function<std::optional<T>(HistoryDb &)> job, QObject *context,
              std::function<void(std::optional<T>, const QString &error)> done) {
        return post(
            [job](HistoryDb &db) -> std::shared_ptr<void> {
                auto result = std::make_shared<std::optional<T>>(job(db));
                return result;
            },
            context,
            [done](const std::shared_ptr<void> &r, const QString &error) {
                done(r ? *std::static_pointer_cast<std::optional<T>>(r) : std::optional<T>(), error);
            });
    }

    class Worker;

  private:
    bool post(std::function<std::shared_ptr<void>(HistoryDb &)> job, QObject *context,
              std::function<void(const std::shared_ptr<void> &, const QString &)> done);

    QString m_path;
    QThread m_thread;
    QPointer<Worker> m_worker;
    std::shared_ptr<std::atomic<int>> m_waiting;
};

} // namespace kr7::bridge
