#include "serialline.h"

#include <QStringList>
#include <QTimer>

#ifdef Q_OS_LINUX
#include <sys/ioctl.h>
#include <termios.h>
#endif

namespace kr7 {

PortMap PortMap::platformDefault() {
#ifdef Q_OS_WIN
    return {QStringLiteral("COM1"), QStringLiteral("COM2")};
#else
    return {QStringLiteral("/dev/ttyS0"), QStringLiteral("/dev/ttyS1")};
#endif
}

SerialLine::SerialLine(PortMap ports, QObject *parent) : QObject(parent), m_ports(std::move(ports)) {
    connect(&m_port, &QSerialPort::readyRead, this, &SerialLine::received);
    connect(&m_port, &QSerialPort::errorOccurred, this, &SerialLine::onError);
    applySettings();
}

QString SerialLine::device(int port) const {
    return port == 2 ? m_ports.com2 : m_ports.com1;
}

void SerialLine::setCommPort(int port) {
    m_commPort = port == 2 ? 2 : 1;
}

bool SerialLine::setSettings(const QString &settings) {
    const QStringList parts = settings.split(QLatin1Char(','));
    if (parts.size() != 4)
        return false;
    bool ok = false;
    const int baud = parts[0].toInt(&ok);
    if (!ok || baud <= 0 || parts[1] != QLatin1String("N") || parts[2] != QLatin1String("8") ||
        parts[3] != QLatin1String("1"))
        return false;
    m_settings = settings;
    m_baud = baud;
    applySettings();
    return true;
}

void SerialLine::applySettings() {
    m_port.setBaudRate(m_baud);
    m_port.setParity(QSerialPort::NoParity);
    m_port.setDataBits(QSerialPort::Data8);
    m_port.setStopBits(QSerialPort::OneStop);
    m_port.setFlowControl(QSerialPort::NoFlowControl);
}

bool SerialLine::setPortOpen(bool open) {
    m_errorString.clear();
    if (!open) {
        m_closing = false;
        if (m_port.isOpen()) {
            m_port.close();
            emit portOpenChanged(false);
        }
        return true;
    }
    if (m_port.isOpen())
        return true;
    m_port.setPortName(device());
    ++m_openCount;
    m_closing = false;
    m_errorCount = 0;
    if (!m_port.open(QIODevice::ReadWrite)) {
        m_errorString = QStringLiteral("%1: %2").arg(device(), m_port.errorString());
        m_port.clearError();
        return false;
    }
    applySettings();
    emit portOpenChanged(true);
    return true;
}

qint64 SerialLine::output(const QByteArray &bytes) {
    if (!m_port.isOpen() || m_closing)
        return -1;
    return m_port.write(bytes);
}

QByteArray SerialLine::input() {
    return m_port.readAll();
}

qint64 SerialLine::pendingOutput() const {
    if (!m_port.isOpen())
        return 0;
    qint64 pending = m_port.bytesToWrite();
#ifdef Q_OS_LINUX
    // The driver's queue: a USB adapter at 9600 bit/s holds bytes there long after QSerialPort let go.
    int queued = 0;
    if (::ioctl(m_port.handle(), TIOCOUTQ, &queued) == 0 && queued > 0)
        pending += queued;
#endif
    return pending;
}

void SerialLine::onError(QSerialPort::SerialPortError error) {
    // NoError comes with every open; timeouts belong to blocking calls we never make; modem-line requests
    // fail on pseudo-terminals and say nothing about the line.
    if (error == QSerialPort::NoError || error == QSerialPort::TimeoutError ||
        error == QSerialPort::UnsupportedOperationError)
        return;
    ++m_errorCount;
    if (!m_port.isOpen() || m_closing)
        return;
    // A vanished device makes some Qt versions repeat the error as fast as the notifier fires, until the port
    // is closed. Close once, outside the error signal (the notifier that reports it is still on the stack).
    m_closing = true;
    const QString message = QStringLiteral("%1: %2").arg(device(), m_port.errorString());
    QTimer::singleShot(0, this, [this, message, opened = m_openCount] {
        if (opened != m_openCount || !m_closing)
            return; // the operator closed or reopened the port in the meantime
        m_closing = false;
        m_port.close();
        m_port.clearError();
        m_errorString = message;
        emit portOpenChanged(false);
        emit portLost(message);
    });
}

} // namespace kr7
