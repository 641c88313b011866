#pragma once

#include <QByteArray>
#include <QObject>
#include <QSerialPort>
#include <QString>

namespace kr7 {

// Which device each port number opens. COM1 and COM2 mean nothing on Linux, where technicians use USB
// adapters; the command line says which device stands behind each.
struct PortMap {
    QString com1;
    QString com2;
    static PortMap platformDefault();
};

// The serial control of the panel: port number, settings text, open/close, output, the receive event and
// one read of everything waiting, over QSerialPort. Lives on the GUI thread; the receive event comes from
// QSerialPort's notifier on that thread.
class SerialLine : public QObject {
    Q_OBJECT
  public:
    explicit SerialLine(PortMap ports, QObject *parent = nullptr);

    int commPort() const { return m_commPort; }
    void setCommPort(int port);
    QString device() const { return device(m_commPort); }
    QString device(int port) const;

    // "19200,N,8,1" and the like; takes effect at once, on an open port as on a closed one.
    bool setSettings(const QString &settings);
    const QString &settings() const { return m_settings; }

    bool portOpen() const { return m_port.isOpen(); }
    // Opens or closes the port. On failure errorString() names the device and the serial layer's reason.
    bool setPortOpen(bool open);
    const QString &errorString() const { return m_errorString; }

    // Queues the bytes for the wire; returns what was queued.
    qint64 output(const QByteArray &bytes);
    // Everything waiting in the receive queue, removed from it.
    QByteArray input();
    // Bytes written but not yet on the wire: QSerialPort's own buffer plus the driver's output queue.
    qint64 pendingOutput() const;

    // Port errors seen since the port was last opened (for diagnostics and tests).
    int errorCount() const { return m_errorCount; }

  signals:
    // Characters were received (the receive event with CommEvent 2).
    void received();
    // The port failed while open (device unplugged, pseudo-terminal hung up) and has been closed.
    void portLost(const QString &message);
    void portOpenChanged(bool open);

  private:
    void onError(QSerialPort::SerialPortError error);
    void applySettings();

    PortMap m_ports;
    QSerialPort m_port;
    int m_commPort = 1;
    QString m_settings = QStringLiteral("19200,N,8,1");
    int m_baud = 19200; // the speed of m_settings
    QString m_errorString;
    bool m_closing = false; // an error has been seen; the port closes on the next turn of the event loop
    int m_openCount = 0;
    int m_errorCount = 0;
};

} // namespace kr7
