#pragma once

#include "settings.h"

#include <QList>
#include <QSslConfiguration>
#include <QTcpServer>

#include <functional>
#include <optional>

class QTcpSocket;

namespace kr7::bridge {

// Takes each connection before the HTTP server sees it (and, with TLS, only once its handshake is done), so
// that what clients may cost is bounded: at most kMaxConnections at once and kMaxPerAddress from one address;
// a request's headers (the TLS handshake included) must be in within kHeaderDeadlineMs; a request over 64 KiB
// is answered 413; when every slot is taken, a newcomer evicts the oldest connection that has not sent a
// whole request yet. With TLS, the certificate and key are read again when their files change.
class Admission : public QTcpServer {
    Q_OBJECT
  public:
    static constexpr qint64 kMaxRequestBytes = 64 * 1024;
    static constexpr int kMaxConnections = 64;
    static constexpr int kMaxPerAddress = 8;
    static constexpr int kIdleMs = 120000;
    static constexpr int kHeaderDeadlineMs = 10000;

    // securityHeaders: the header lines every answer carries, the 413 written here included.
    Admission(const std::optional<WebConfig::Tls> &tls, std::function<QByteArray()> securityHeaders,
              QObject *parent = nullptr);

    // Reads the certificate and key as their files are now. False with the reason when they cannot be served;
    // the files are not read again until they change.
    bool readTls(QString *error);

    // A request of this connection was answered; trusted: for an authenticated user, or any one where no
    // users are configured. Its idle deadline runs from now.
    void answered(QTcpSocket *socket, bool trusted);
    // The connection is an event stream now: no idle deadline (its keep-alives keep it honest).
    void streaming(QTcpSocket *socket);

  protected:
    void incomingConnection(qintptr descriptor) override;

  private:
    struct Guard;
    Guard *guardOf(QTcpSocket *socket) const;
    void onBytes(QTcpSocket *socket, Guard *guard) const;
    bool makeRoom();
    void rotate();

    std::optional<WebConfig::Tls> m_tls;
    std::function<QByteArray()> m_securityHeaders;
    QSslConfiguration m_ssl;
    QString m_stamp;
    QList<Guard *> m_open;
};

} // namespace kr7::bridge
