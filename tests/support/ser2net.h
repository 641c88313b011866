#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

namespace kr7::peers {

// Debian's ser2net as the network gateway in front of a device (the simulated projector's pseudo-terminal),
// for tests and benchmarks: one raw TCP accepter, one Telnet/RFC 2217 accepter and one plain Telnet
// accepter (no COM-PORT-OPTION), each on 127.0.0.1 and a port that was free. Nothing listens beyond the
// loopback interface. Stopped (and its files removed) when destroyed.
class Ser2net {
  public:
    explicit Ser2net(QString device, QString connectorSettings = QStringLiteral("19200n81"));
    ~Ser2net();

    // Writes the configuration, starts ser2net and waits (at most 10 s) until all three accepters listen.
    bool start();
    // Ends it at once (SIGKILL), as a gateway that loses power; start() brings it back on the same ports.
    void kill();
    void stop();
    bool isRunning() const { return m_process.state() != QProcess::NotRunning; }

    QString raw() const { return QStringLiteral("tcp://127.0.0.1:%1").arg(m_rawPort); }
    QString rfc2217() const { return QStringLiteral("rfc2217://127.0.0.1:%1").arg(m_rfcPort); }
    QString telnetOnly() const { return QStringLiteral("rfc2217://127.0.0.1:%1").arg(m_telnetPort); }
    const QString &errorString() const { return m_error; }

    // A TCP port on 127.0.0.1 that nothing listened on a moment ago.
    static quint16 freePort();
    static QString program();

  private:
    bool listening() const;

    QString m_device;
    QString m_settings;
    QTemporaryDir m_dir;
    QProcess m_process;
    quint16 m_rawPort = 0, m_rfcPort = 0, m_telnetPort = 0;
    QString m_error;
};

} // namespace kr7::peers
