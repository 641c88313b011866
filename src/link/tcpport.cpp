#include "tcpport.h"

#ifdef Q_OS_LINUX
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#endif

namespace kr7 {

TcpPort::TcpPort(const QString &host, quint16 port, bool rfc2217, QObject *parent)
    : Port(parent), m_host(host), m_port(port), m_rfc2217(rfc2217) {
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &TcpPort::onTimeout);
    connect(&m_socket, &QTcpSocket::connected, this, &TcpPort::onConnected);
    connect(&m_socket, &QTcpSocket::readyRead, this, &TcpPort::onReadable);
    connect(&m_socket, &QTcpSocket::errorOccurred, this, [this] { onFailure(socketReason()); });
    connect(&m_socket, &QTcpSocket::disconnected, this,
            [this] { onFailure(QStringLiteral("the gateway closed the connection")); });
}

QString TcpPort::socketReason() const {
    switch (m_socket.error()) {
    case QAbstractSocket::ConnectionRefusedError:
        return QStringLiteral("connection refused");
    case QAbstractSocket::RemoteHostClosedError:
        return QStringLiteral("the gateway closed the connection");
    case QAbstractSocket::HostNotFoundError:
        return QStringLiteral("host not found");
    default:
        return m_socket.errorString();
    }
}

Port::OpenResult TcpPort::open(int baud) {
    m_baud = baud;
    m_errorString.clear();
    if (m_state == State::Open)
        return OpenResult::Open;
    close();
    m_errorCount = 0;
    m_state = State::Connecting;
    m_timer.start(kConnectTimeoutMs);
    m_socket.connectToHost(m_host, m_port);
    return OpenResult::Pending;
}

void TcpPort::close() {
    m_timer.stop();
    m_state = State::Closed;
    m_telnet.reset();
    m_data.clear();
    // abort() closes at once and drops what is queued; its signals find the state closed and do nothing.
    m_socket.abort();
}

void TcpPort::onConnected() {
    if (m_state != State::Connecting)
        return;
    m_socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_socket.setSocketOption(QAbstractSocket::KeepAliveOption, 1);
#ifdef Q_OS_LINUX
    // A gateway that dies without a word (power cut, cable pulled) is noticed in about 20 s, idle or not:
    // keep-alive probes when idle, and a cap on unacknowledged data when sending.
    const int fd = int(m_socket.socketDescriptor());
    const int idle = 10, interval = 3, count = 3, userTimeoutMs = 20000;
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeoutMs, sizeof userTimeoutMs);
#endif
    if (!m_rfc2217) {
        becomeOpen();
        return;
    }
    m_state = State::Negotiating;
    m_telnet.emplace(quint32(m_baud));
    sendToServer(m_telnet->greeting());
    m_timer.start(kConnectTimeoutMs);
    onReadable(); // the server may have spoken already
}

void TcpPort::becomeOpen() {
    m_timer.stop();
    m_state = State::Open;
    emit opened();
    if (!m_data.isEmpty())
        emit readyRead();
}

void TcpPort::onReadable() {
    if (m_state == State::Closed || m_state == State::Connecting)
        return;
    const QByteArray bytes = m_socket.readAll();
    if (bytes.isEmpty())
        return;
    if (!m_telnet) {
        m_data += bytes;
        if (m_state == State::Open)
            emit readyRead();
        return;
    }
    TelnetClient::Read read = m_telnet->receive(bytes);
    sendToServer(read.reply);
    m_data += read.data;
    if (m_state == State::Negotiating) {
        if (read.refusedNow)
            emit notice(QStringLiteral("the gateway refuses the COM-PORT-OPTION (RFC 2217): the line goes on "
                                       "raw, at the gateway's own settings"));
        if (m_telnet->comPort() != TelnetClient::ComPort::NotYet)
            becomeOpen();
    } else if (read.refusedNow) {
        emit notice(QStringLiteral("the gateway withdrew the COM-PORT-OPTION (RFC 2217)"));
    }
    for (const QString &text : read.notices)
        emit notice(text);
    if (m_state == State::Open && !read.data.isEmpty())
        emit readyRead();
}

void TcpPort::onTimeout() {
    if (m_state == State::Connecting) {
        const QString reason = QStringLiteral("no connection within %1 s").arg(kConnectTimeoutMs / 1000);
        close();
        m_errorString = reason;
        emit openFailed(reason);
    } else if (m_state == State::Negotiating && m_telnet && m_telnet->giveUp()) {
        emit notice(QStringLiteral("the gateway does not answer the COM-PORT-OPTION (RFC 2217): the line "
                                   "goes on raw, at the gateway's own settings"));
        becomeOpen();
    }
}

void TcpPort::onFailure(const QString &reason) {
    const State was = m_state;
    if (was == State::Closed)
        return;
    ++m_errorCount;
    close();
    m_errorString = reason;
    if (was == State::Open)
        emit lost(reason);
    else
        emit openFailed(reason);
}

void TcpPort::setBaud(int baud) {
    m_baud = baud;
    if (m_telnet)
        sendToServer(m_telnet->setBaud(quint32(baud)));
}

void TcpPort::sendToServer(const QByteArray &bytes) {
    if (!bytes.isEmpty())
        m_socket.write(bytes);
}

qint64 TcpPort::write(const QByteArray &bytes) {
    if (m_state != State::Open)
        return -1;
    if (!m_telnet)
        return m_socket.write(bytes);
    const QByteArray encoded = m_telnet->encode(bytes);
    return m_socket.write(encoded) == encoded.size() ? bytes.size() : -1;
}

QByteArray TcpPort::readAll() {
    return std::exchange(m_data, QByteArray());
}

qint64 TcpPort::pendingOutput() const {
    if (m_state != State::Open)
        return 0;
    qint64 pending = m_socket.bytesToWrite();
#ifdef Q_OS_LINUX
    // What the kernel still holds: not yet sent, or sent and not acknowledged. A slow or dead gateway shows
    // here long before QTcpSocket's own buffer fills.
    int queued = 0;
    if (::ioctl(int(m_socket.socketDescriptor()), SIOCOUTQ, &queued) == 0 && queued > 0)
        pending += queued;
#endif
    return pending;
}

} // namespace kr7
