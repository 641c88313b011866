#include "deviceport.h"

#include <QFileInfo>
#include <QTimer>

#ifdef Q_OS_LINUX
#include <sys/ioctl.h>
#include <termios.h>
#endif

namespace kr7 {

DevicePort::DevicePort(const QString &path, QObject *parent) : Port(parent), m_path(path) {
    m_port.setPortName(path);
    connect(&m_port, &QSerialPort::readyRead, this, &Port::readyRead);
    connect(&m_port, &QSerialPort::errorOccurred, this, &DevicePort::onError);
}

void DevicePort::applySettings() {
    m_port.setBaudRate(m_baud);
    m_port.setParity(QSerialPort::NoParity);
    m_port.setDataBits(QSerialPort::Data8);
    m_port.setStopBits(QSerialPort::OneStop);
    m_port.setFlowControl(QSerialPort::NoFlowControl);
}

Port::OpenResult DevicePort::open(int baud) {
    m_baud = baud;
    m_errorString.clear();
    if (m_port.isOpen())
        return OpenResult::Open;
    ++m_openCount;
    m_closing = false;
    m_errorCount = 0;
    applySettings(); // QSerialPort applies them as it opens
    if (!m_port.open(QIODevice::ReadWrite)) {
        m_errorString = m_port.errorString();
        m_port.clearError();
        return OpenResult::Failed;
    }
    return OpenResult::Open;
}

void DevicePort::close() {
    m_closing = false;
    if (m_port.isOpen())
        m_port.close();
    m_port.clearError();
}

void DevicePort::setBaud(int baud) {
    m_baud = baud;
    m_port.setBaudRate(baud);
}

qint64 DevicePort::write(const QByteArray &bytes) {
    if (!m_port.isOpen() || m_closing)
        return -1;
    return m_port.write(bytes);
}

qint64 DevicePort::pendingOutput() const {
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

bool DevicePort::mayReturn() const {
    // Follows symlinks: a by-id name exists again once the adapter is back.
    return QFileInfo::exists(m_path);
}

void DevicePort::onError(QSerialPort::SerialPortError error) {
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
    const QString reason = m_port.errorString();
    QTimer::singleShot(0, this, [this, reason, opened = m_openCount] {
        if (opened != m_openCount || !m_closing)
            return; // closed or reopened in the meantime
        m_closing = false;
        m_port.close();
        m_port.clearError();
        m_errorString = reason;
        emit lost(reason);
    });
}

} // namespace kr7
