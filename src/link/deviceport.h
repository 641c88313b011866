#pragma once

#include "port.h"

#include <QSerialPort>

namespace kr7 {

// A serial device of this machine, over QSerialPort.
class DevicePort : public Port {
    Q_OBJECT
  public:
    explicit DevicePort(const QString &path, QObject *parent = nullptr);

    OpenResult open(int baud) override;
    void close() override;
    bool isOpen() const override { return m_port.isOpen(); }
    void setBaud(int baud) override;
    qint64 write(const QByteArray &bytes) override;
    QByteArray readAll() override { return m_port.readAll(); }
    qint64 pendingOutput() const override;
    bool mayReturn() const override;

  private:
    void onError(QSerialPort::SerialPortError error);
    void applySettings();

    QString m_path;
    QSerialPort m_port;
    int m_baud = 19200;
    bool m_closing = false; // an error has been seen; the port closes on the next turn of the event loop
    int m_openCount = 0;
};

} // namespace kr7
