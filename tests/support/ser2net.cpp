#include "ser2net.h"

#include "peers.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTcpServer>
#include <QThread>

#include <algorithm>
#include <mutex>
#include <set>

namespace kr7::peers {

Ser2net::Ser2net(QString device, QString connectorSettings)
    : m_device(std::move(device)), m_settings(std::move(connectorSettings)) {
    m_process.setProcessChannelMode(QProcess::ForwardedOutputChannel);
    m_process.setStandardErrorFile(QProcess::nullDevice()); // "Unable to start mdns" and debug lines
}

Ser2net::~Ser2net() {
    stop();
}

QString Ser2net::program() {
    return QStandardPaths::findExecutable(QStringLiteral("ser2net"),
                                          {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin"),
                                           QStringLiteral("/sbin"), QStringLiteral("/bin")});
}

// A port the kernel hands out for bind(0) or an outgoing connection can be taken again between the probe and
// the peer's own listen (a gateway's, the broker's or the bridge's), so ports come from below the ephemeral
// range, at random, never twice in one process, and only once a listen on them succeeds.
quint16 Ser2net::freePort() {
    static std::mutex lock;
    static std::set<quint16> given;
    static QRandomGenerator random(quint32(QCoreApplication::applicationPid()) ^
                                   quint32(QDateTime::currentMSecsSinceEpoch()));
    int low = 32768;
    QFile range(QStringLiteral("/proc/sys/net/ipv4/ip_local_port_range"));
    if (range.open(QIODevice::ReadOnly))
        low = std::max(1025, range.readAll().simplified().split(' ').value(0).toInt());
    const int first = std::min(10000, low / 2);
    std::lock_guard guard(lock);
    for (int attempt = 0; attempt < 200 && low - first > 1; ++attempt) {
        const auto port = quint16(first + int(random.bounded(quint32(low - first))));
        if (given.count(port))
            continue;
        QTcpServer probe;
        if (!probe.listen(QHostAddress::LocalHost, port))
            continue;
        given.insert(port);
        return port;
    }
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

bool Ser2net::start() {
    if (program().isEmpty()) {
        m_error = QStringLiteral("ser2net is not installed (Debian package ser2net)");
        return false;
    }
    if (!m_rawPort) {
        m_rawPort = freePort();
        m_rfcPort = freePort();
        m_telnetPort = freePort();
    }
    const QString line = QStringLiteral("  connector: serialdev,%1,%2,local\n").arg(m_device, m_settings);
    const QString yaml =
        QStringLiteral("%YAML 1.1\n---\n") +
        QStringLiteral("connection: &raw\n  accepter: tcp,127.0.0.1,%1\n").arg(m_rawPort) + line +
        QStringLiteral("  options:\n    kickolduser: true\n") +
        QStringLiteral("connection: &rfc2217\n  accepter: telnet(rfc2217),tcp,127.0.0.1,%1\n")
            .arg(m_rfcPort) +
        line + QStringLiteral("  options:\n    kickolduser: true\n") +
        QStringLiteral("connection: &telnet\n  accepter: telnet,tcp,127.0.0.1,%1\n").arg(m_telnetPort) +
        line + QStringLiteral("  options:\n    kickolduser: true\n");
    const QString config = m_dir.filePath(QStringLiteral("ser2net.yaml"));
    QFile file(config);
    if (!file.open(QIODevice::WriteOnly) || file.write(yaml.toUtf8()) < 0) {
        m_error = QStringLiteral("cannot write %1").arg(config);
        return false;
    }
    file.close();
    m_process.start(program(), {QStringLiteral("-n"), QStringLiteral("-d"), QStringLiteral("-c"), config,
                                QStringLiteral("-P"), m_dir.filePath(QStringLiteral("ser2net.pid"))});
    if (!m_process.waitForStarted(5000)) {
        m_error = m_process.errorString();
        return false;
    }
    QElapsedTimer waited;
    waited.start();
    while (!listening()) {
        if (waited.elapsed() > 10000 || m_process.state() == QProcess::NotRunning) {
            m_error = QStringLiteral("ser2net did not start listening");
            return false;
        }
        QThread::msleep(10);
    }
    return true;
}

bool Ser2net::listening() const {
    // Asking the kernel's table does not connect, so ser2net opens no device.
    return Peer::listening(m_rawPort) && Peer::listening(m_rfcPort) && Peer::listening(m_telnetPort);
}

void Ser2net::kill() {
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.kill();
    m_process.waitForFinished(5000);
}

void Ser2net::stop() {
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(5000))
        kill();
}

} // namespace kr7::peers
