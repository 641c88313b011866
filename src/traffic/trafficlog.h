#pragma once

#include "record.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace kr7::traffic {

// The traffic log: records appended to a file, each handed to the operating system with one write before
// the call returns, so a killed program loses at most the record being written. A thread of its own asks
// the disk to keep what was written (fdatasync) as soon as there is anything new, so a power cut loses at
// most the records of one such sync; the program never waits for the disk. Times come from one steady clock
// started at open (never back, not even when the wall clock is set back), no earlier than the file's last
// record.
class TrafficLog : public QObject {
    Q_OBJECT
  public:
    explicit TrafficLog(QObject *parent = nullptr);
    ~TrafficLog() override;

    // Opens for appending, creating the file. On failure, a message naming the path and the reason.
    bool open(const QString &path, QString *error);
    // Closes the file and opens its path again (after log rotation moved it away); a log that had stopped on
    // a failed write starts again. False with the reason when the path cannot be opened: the old file stays.
    bool reopen(QString *error);
    bool isOpen() const { return m_fd >= 0; }
    // Logging stopped after a failed write; the reason.
    bool hasFailed() const { return !m_failure.isEmpty(); }
    const QString &failure() const { return m_failure; }
    const QString &path() const { return m_path; }

    void write(const QString &port, Kind kind, QByteArrayView bytes, const QString &text = QString());
    void bytes(const QString &port, Kind kind, QByteArrayView data) { write(port, kind, data); }
    void text(const QString &port, Kind kind, const QString &text) { write(port, kind, {}, text); }
    // Heads a run, so that runs appended to one file are told apart: an OPEN record whose port field is the
    // program's name, "session start: PROGRAM VERSION; details".
    void sessionStart(const QString &program, const QString &details);

    QDateTime now() const;
    // Records written since open (for tests and figures).
    qint64 records() const { return m_records; }

  signals:
    // A write failed (disk full, medium gone): logging has stopped. Once.
    void failed(const QString &reason);

  private:
    void fail(const QString &reason);
    void prepareFile();
    void syncLoop();

    QString m_path;
    int m_fd = -1;
    int m_retired = -1; // the file before a reopen, until the sync thread has synced and closed it
    QDateTime m_base;
    QElapsedTimer m_clock;
    QString m_failure;
    qint64 m_records = 0;

    std::thread m_syncer;
    std::mutex m_lock;
    std::condition_variable m_wake;
    bool m_dirty = false;
    bool m_stop = false;
};

} // namespace kr7::traffic
