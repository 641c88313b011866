#pragma once

#include "projectormodel.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QRandomGenerator>
#include <QTimer>

#include <deque>

class QSerialPort;
class QSocketNotifier;

namespace kr7::sim {

// Fault modes, for tests and training.
struct Faults {
    bool noReply = false;     // act on lines, answer nothing
    int replyDelayMs = 5;     // time from a line's carriage return to its reply
    int pieceGapMs = 0;       // > 0: the reply goes out one byte at a time, this far apart
    bool garbage = false;     // answer random bytes instead of the reply
    int streamBps = 0;        // > 0: talk unasked, bytes per second (19200 bit/s is 1920)
    int hangUpAfterLines = 0; // > 0: hang up after this many lines
    QList<int> silentUnits;   // units that act on their lines but answer nothing (a dead RS-232C port)
    QHash<QByteArray, int> lineDelayMs; // a reply slower than the rest: line (without CR) -> its delay
    int onlyBaud = 0; // > 0: a pseudo-terminal set to another speed reads as noise (nothing is understood)
    // Replies of another shape than the model's: a whole line ("A001CR6") or its code ("CR6") -> the bytes
    // to send instead (the carriage return included, as the projector sends it).
    QHash<QByteArray, QByteArray> replies;
};

// The simulated projector on a serial line: a pseudo-terminal pair of its own, or an existing device.
class ProjectorSim : public QObject {
    Q_OBJECT
  public:
    explicit ProjectorSim(QList<int> units = {1, 2, 3, 4}, Timing timing = {}, QObject *parent = nullptr);
    ~ProjectorSim() override;

    // Opens a pseudo-terminal pair; the panel opens devicePath().
    bool openPty();
    // Serves an existing port (the far end of a null-modem cable, say) at the given speed.
    bool openDevice(const QString &path, int baud = 19200);
    QString devicePath() const { return m_devicePath; }
    QString errorString() const { return m_error; }

    Faults faults;
    ProjectorModel &model() { return m_model; }

    // Every byte received so far, and the lines (without carriage return).
    const QByteArray &received() const { return m_received; }
    const QList<QByteArray> &lines() const { return m_lines; }
    void clearReceived();
    // Every byte written to the panel so far.
    const QByteArray &sent() const { return m_sent; }

    // Stop reading the line (the panel's writes then back up), or read again.
    void setReading(bool reading);
    // Writes bytes to the panel now, unasked.
    void write(const QByteArray &bytes);
    // Starts or stops unasked talk at faults.streamBps.
    void setStreaming(bool on);
    // Closes the line: the panel sees the device vanish.
    void hangUp();
    // Moves the projector's clock on, so that warm-up and cooling pass without waiting for them.
    void skipTime(qint64 ms) { m_skipped += ms; }
    bool isOpen() const { return m_masterFd >= 0 || m_port; }

  signals:
    void lineReceived(const QByteArray &line);
    void bytesReceived(const QByteArray &bytes);
    void hungUp();

  private:
    void onReadable();
    void onBytes(const QByteArray &bytes);
    void flushOut();
    void scheduleReply(QByteArray reply, int delayMs);
    void sendDue();
    void streamTick();
    qint64 now() const { return m_clock.elapsed() + m_skipped; }

    ProjectorModel m_model;
    QElapsedTimer m_clock;
    qint64 m_skipped = 0;
    QString m_devicePath;
    QString m_error;
    int m_masterFd = -1;
    int m_slaveFd = -1; // held open so the master never reads EIO while the panel has the port closed
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
    QSerialPort *m_port = nullptr;
    QByteArray m_out;
    QByteArray m_pending; // bytes of the line being received
    QByteArray m_received;
    QByteArray m_sent;
    QList<QByteArray> m_lines;
    int m_lineCount = 0;

    struct Due {
        qint64 at;
        QByteArray bytes;
    };
    std::deque<Due> m_due;
    QTimer m_replyTimer;
    QTimer m_streamTimer;
    qint64 m_streamStarted = 0;
    qint64 m_streamSent = 0;
    QRandomGenerator m_random{20261207};
};

} // namespace kr7::sim
