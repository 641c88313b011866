#pragma once

#include "port.h"
#include "telnetclient.h"

#include <QTcpSocket>
#include <QTimer>

#include <optional>

namespace kr7 {

// A serial line behind a network gateway: raw TCP (the socket's bytes are the line's), or Telnet with the
// COM-PORT-OPTION of RFC 2217, which also sets the line's speed and format at the far end.
class TcpPort : public Port {
    Q_OBJECT
  public:
    static constexpr int kConnectTimeoutMs = 3000;

    TcpPort(const QString &host, quint16 port, bool rfc2217, QObject *parent = nullptr);

    OpenResult open(int baud) override;
    void close() override;
    bool isOpen() const override { return m_state == State::Open; }
    void setBaud(int baud) override;
    qint64 write(const QByteArray &bytes) override;
    QByteArray readAll() override;
    qint64 pendingOutput() const override;

  private:
    enum class State { Closed, Connecting, Negotiating, Open };

    void onConnected();
    void onReadable();
    void onFailure(const QString &reason);
    void onTimeout();
    void becomeOpen();
    void sendToServer(const QByteArray &bytes);
    QString socketReason() const;

    QString m_host;
    quint16 m_port;
    bool m_rfc2217;
    int m_baud = 19200;
    State m_state = State::Closed;
    QTcpSocket m_socket;
    QTimer m_timer; // connect time-out, then the wait for the COM-PORT-OPTION answer
    std::optional<TelnetClient> m_telnet;
    QByteArray m_data; // line bytes read and not yet taken (rfc2217: already decoded)
};

} // namespace kr7
