#include "historyfile.h"

#include "journal.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <sys/stat.h>

namespace kr7::bridge {

namespace {

qint64 nowMs() {
    return QDateTime::currentMSecsSinceEpoch();
}

// The file's identity: a file moved aside and made anew under its name is another one.
ino_t inodeOf(const QString &path) {
    struct stat s {};
    return ::stat(QFile::encodeName(path).constData(), &s) == 0 ? s.st_ino : 0;
}

} // namespace

class HistoryWriter::Worker : public QObject {
  public:
    Worker(QString path, HistoryLimits limits, std::shared_ptr<Queue> queue, HistoryWriter *owner)
        : m_path(std::move(path)), m_limits(limits), m_queue(std::move(queue)), m_owner(owner) {}

    void begin() {
        m_batch = new QTimer(this);
        m_batch->setSingleShot(true);
        m_batch->setInterval(kBatchMs);
        connect(m_batch, &QTimer::timeout, this, [this] { write(); });
        m_prune = new QTimer(this);
        m_prune->setSingleShot(true);
        connect(m_prune, &QTimer::timeout, this, [this] { pruneStep(); });
        m_prune->start(kFirstPruneMs);
        write(); // opens the file at once: its problems are said at start
    }
    void soon() {
        if (!m_batch->isActive())
            m_batch->start(m_waitMs);
    }
    void setLimits(HistoryLimits limits) { m_limits = limits; }
    // What waits goes to the file now, as far as it can before the deadline.
    void finish(QDeadlineTimer deadline) {
        while (!deadline.hasExpired() && m_db.isOpen() && writeBatch() > 0) {
        }
        m_db.close();
    }

  private:
    void say(const QString &text) { journal(QStringLiteral("history: %1").arg(text)); }

    // Says a problem once, until the file is written again.
    void problem(const QString &text) {
        ++m_stats.writeErrors;
        if (!m_problem)
            say(text);
        m_problem = true;
        report();
    }

    bool ensureOpen() {
        if (m_db.isOpen()) {
            if (inodeOf(m_path) == m_inode)
                return true;
            // Removed (or replaced) behind our back: what was written since went with it.
            say(QStringLiteral("%1 was removed; a new one is begun").arg(m_path));
            m_db.close();
        }
        if (m_newer)
            return false;
        for (int attempt = 0; attempt < 2; ++attempt) {
            switch (m_db.openForWriting(m_path)) {
            case HistoryDb::Opened::Ready:
                m_inode = inodeOf(m_path);
                m_stats.events = m_db.rows("events");
                m_stats.samples = m_db.rows("samples");
                m_stats.bytes = m_db.bytes();
                if (m_problem)
                    say(QStringLiteral("%1 is written again").arg(m_path));
                m_problem = false;
                report();
                return true;
            case HistoryDb::Opened::Newer:
                say(QStringLiteral("%1: %2; it is read, never written").arg(m_path, m_db.error()));
                m_db.close();
                m_newer = true;
                return false;
            case HistoryDb::Opened::Damaged: {
                m_db.close();
                const QString aside = HistoryDb::damagedName(m_path, QDateTime::currentDateTime());
                const QString why = m_db.error();
                for (const char *suffix : {"", "-wal", "-shm"})
                    QFile::rename(m_path + QLatin1String(suffix), aside + QLatin1String(suffix));
                say(QStringLiteral("%1 is damaged (%2): moved aside to %3; a new one is begun")
                        .arg(m_path, why, aside));
                continue; // and opened anew
            }
            case HistoryDb::Opened::Failed:
                m_db.close();
                problem(
                    QStringLiteral("%1 cannot be written: %2; its rows wait (at most %3) and are tried again "
                                   "every %4 s")
                        .arg(m_path, m_db.error())
                        .arg(kMaxWaiting)
                        .arg(kRetryMs / 1000));
                return false;
            }
        }
        return false;
    }

    // One batch; how many rows it wrote, -1 when it could not.
    int writeBatch() {
        QList<Event> events;
        QList<Sample> samples;
        QList<ScheduleRecord> schedules;
        qsizetype n = 0;
        {
            const std::lock_guard<std::mutex> hold(m_queue->lock);
            for (auto it = m_queue->rows.begin(); it != m_queue->rows.end() && n < kMaxBatch; ++it, ++n) {
                if (const auto *e = std::get_if<Event>(&*it))
                    events << *e;
                else if (const auto *s = std::get_if<Sample>(&*it))
                    samples << *s;
                else
                    schedules << std::get<ScheduleRecord>(*it);
            }
        }
        if (n == 0)
            return 0;
        if (!m_db.write(events, samples, schedules)) {
            problem(QStringLiteral(
                        "cannot write %1: %2; its rows wait (at most %3) and are tried again every %4 s")
                        .arg(m_path, m_db.error())
                        .arg(kMaxWaiting)
                        .arg(kRetryMs / 1000));
            return -1;
        }
        {
            const std::lock_guard<std::mutex> hold(m_queue->lock);
            m_queue->rows.erase(m_queue->rows.begin(), m_queue->rows.begin() + n);
            if (m_queue->rows.empty())
                m_queue->saidFull = false;
        }
        if (m_problem)
            say(QStringLiteral("%1 is written again").arg(m_path));
        m_problem = false;
        m_stats.events += events.size();
        m_stats.samples += samples.size();
        m_stats.bytes = m_db.bytes();
        m_stats.lastWriteMs = nowMs();
        return int(n);
    }

    void write() {
        m_waitMs = kBatchMs;
        if (!ensureOpen() || writeBatch() < 0) {
            m_waitMs = kRetryMs;
            m_batch->start(kRetryMs);
            return;
        }
        bool more = false;
        {
            const std::lock_guard<std::mutex> hold(m_queue->lock);
            more = !m_queue->rows.empty();
        }
        if (more)
            m_batch->start(kBatchMs);
        if (m_stats.bytes > maxBytes() && !m_pruning)
            pruneStep();
        report();
    }

    qint64 maxBytes() const { return qint64(m_limits.maxMb) << 20; }

    // A small step, then back to the loop (writes go on between steps), until nothing is left to prune.
    void pruneStep() {
        if (!ensureOpen()) {
            m_prune->start(kRetryMs);
            return;
        }
        m_pruning = true;
        const int n = m_db.prune(nowMs(), m_limits.keepDays, m_limits.samplesDays, maxBytes(), kPruneStep);
        if (n > 0) {
            m_prune->start(0);
            return;
        }
        if (n < 0)
            problem(QStringLiteral("cannot prune %1: %2").arg(m_path, m_db.error()));
        m_pruning = false;
        m_stats.events = m_db.rows("events");
        m_stats.samples = m_db.rows("samples");
        m_stats.bytes = m_db.bytes();
        report();
        m_prune->start(kPruneEveryMs);
    }

    void report() {
        HistoryStats s = m_stats;
        s.dropped = m_queue->dropped;
        HistoryWriter *owner = m_owner;
        QMetaObject::invokeMethod(owner, [owner, s] { emit owner->statsChanged(s); });
    }

    QString m_path;
    HistoryLimits m_limits;
    std::shared_ptr<Queue> m_queue;
    HistoryWriter *m_owner; // outlives this thread: it waits for it
    HistoryDb m_db;
    ino_t m_inode = 0;
    QTimer *m_batch = nullptr;
    QTimer *m_prune = nullptr;
    int m_waitMs = kBatchMs;
    bool m_problem = false;
    bool m_newer = false;
    bool m_pruning = false;
    HistoryStats m_stats;
};

HistoryWriter::HistoryWriter(QString path, HistoryLimits limits, QObject *parent)
    : QObject(parent), m_path(std::move(path)), m_queue(std::make_shared<Queue>()) {
    auto *worker = new Worker(m_path, limits, m_queue, this);
    worker->moveToThread(&m_thread);
    m_worker = worker;
    m_thread.setObjectName(QStringLiteral("history"));
    m_thread.start();
    QMetaObject::invokeMethod(worker, [worker] { worker->begin(); });
}

HistoryWriter::~HistoryWriter() {
    if (Worker *w = m_worker) {
        const QDeadlineTimer deadline(kEndWaitMs);
        QMetaObject::invokeMethod(w, [w, deadline] {
            w->finish(deadline);
            delete w;
        });
    }
    m_thread.quit();
    if (!m_thread.wait(QDeadlineTimer(kEndWaitMs + 1000)))
        journal(QStringLiteral("history: the writer did not end in time"));
}

void HistoryWriter::add(Row row) {
    bool first = false;
    {
        const std::lock_guard<std::mutex> hold(m_queue->lock);
        if (qsizetype(m_queue->rows.size()) >= kMaxWaiting) {
            ++m_queue->dropped;
            if (!m_queue->saidFull.exchange(true))
                journal(QStringLiteral("history: %1 rows wait for %2 already; further rows are dropped "
                                       "(kr7_history_dropped_total) until it takes them")
                            .arg(kMaxWaiting)
                            .arg(m_path));
            return;
        }
        first = m_queue->rows.empty();
        m_queue->rows.push_back(std::move(row));
        first = first || qsizetype(m_queue->rows.size()) == kMaxBatch;
    }
    if (first)
        if (Worker *w = m_worker)
            QMetaObject::invokeMethod(w, [w] { w->soon(); });
}

void HistoryWriter::setLimits(HistoryLimits limits) {
    if (Worker *w = m_worker)
        QMetaObject::invokeMethod(w, [w, limits] { w->setLimits(limits); });
}

class HistoryReader::Worker : public QObject {
  public:
    explicit Worker(QString path) : m_path(std::move(path)) {}
    // The connection, opened anew when the file under the path is another one now.
    HistoryDb *db(QString *error) {
        const ino_t inode = inodeOf(m_path);
        if (m_db.isOpen() && inode == m_inode)
            return &m_db;
        if (!m_db.openForReading(m_path)) {
            *error = m_db.error();
            return nullptr;
        }
        m_inode = inode;
        return &m_db;
    }

  private:
    QString m_path;
    HistoryDb m_db;
    ino_t m_inode = 0;
};

HistoryReader::HistoryReader(QString path, QObject *parent)
    : QObject(parent), m_path(std::move(path)), m_waiting(std::make_shared<std::atomic<int>>(0)) {
    auto *worker = new Worker(m_path);
    worker->moveToThread(&m_thread);
    m_worker = worker;
    m_thread.setObjectName(QStringLiteral("history-read"));
    m_thread.start();
}

HistoryReader::~HistoryReader() {
    if (Worker *w = m_worker)
        QMetaObject::invokeMethod(w, [w] { delete w; });
    m_thread.quit();
    m_thread.wait(QDeadlineTimer(3000));
}

bool HistoryReader::post(std::function<std::shared_ptr<void>(HistoryDb &)> job, QObject *context,
                         std::function<void(const std::shared_ptr<void> &, const QString &)> done) {
    Worker *w = m_worker;
    if (!w || *m_waiting >= kMaxWaiting)
        return false;
    ++*m_waiting;
    QPointer<QObject> alive(context);
    QMetaObject::invokeMethod(w, [this, w, job, alive, done, waiting = m_waiting] {
        QString error;
        std::shared_ptr<void> result;
        if (HistoryDb *db = w->db(&error)) {
            result = job(*db);
            error = db->error();
        }
        // Back to the asker's thread through this reader, which outlives its thread.
        QMetaObject::invokeMethod(this, [alive, done, result, error, waiting] {
            --*waiting;
            if (alive)
                done(result, error);
        });
    });
    return true;
}

} // namespace kr7::bridge
