#pragma once

#include "portname.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <memory>

namespace kr7 {

// One kind of serial line behind one seam: a local device, a raw TCP socket or a Telnet/RFC 2217 gateway.
// The line is always 8 data bits, no parity, 1 stop bit and no flow control; only the speed changes.
// Everything runs on the thread that owns the port; no call blocks.
class Port : public QObject {
    Q_OBJECT
  public:
    enum class OpenResult { Open, Failed, Pending };

    using QObject::QObject;

    // Opens at the given speed. Pending means opened() or openFailed() follows from the event loop;
    // Failed leaves the reason in errorString().
    virtual OpenResult open(int baud) = 0;
    // Closes at once and quietly, whatever the state (an open underway is abandoned).
    virtual void close() = 0;
    virtual bool isOpen() const = 0;
    // Takes effect at once on an open port, and at the next open.
    virtual void setBaud(int baud) = 0;
    // Queues the bytes for the line; returns how many were taken.
    virtual qint64 write(const QByteArray &bytes) = 0;
    virtual QByteArray readAll() = 0;
    // Bytes handed over but not yet gone: the port's own buffer and the operating system's queue behind it.
    virtual qint64 pendingOutput() const = 0;
    // Whether an open is worth trying now: a device path that exists; a network port always.
    virtual bool mayReturn() const { return true; }

    const QString &errorString() const { return m_errorString; }
    // Failures reported since the port was last opened (for diagnostics and tests).
    int errorCount() const { return m_errorCount; }

    static std::unique_ptr<Port> create(const PortName &name, QObject *parent = nullptr);

  signals:
    void opened();
    void openFailed(const QString &reason);
    void readyRead();
    // The open port failed (device gone, connection reset or timed out) and has closed itself. Once.
    void lost(const QString &reason);
    // Something the operator should know that does not stop the line.
    void notice(const QString &text);

  protected:
    QString m_errorString;
    int m_errorCount = 0;
};

} // namespace kr7
