#pragma once

#include <QAbstractHttpServer>
#include <QString>

class QTcpServer;

namespace kr7::bridge {

class BridgeState;

// The HTTP face: GET /metrics and GET /state, served from the state as the pollers last left it; a request
// never waits for a projector. Any other path is 404, any other method 405, a request over 64 KiB 413.
class HttpFace : public QAbstractHttpServer {
    Q_OBJECT
  public:
    static constexpr qint64 kMaxRequestBytes = 64 * 1024;
    static constexpr int kMaxConnections = 64;
    static constexpr int kIdleMs = 120000;

    explicit HttpFace(const BridgeState &state, QObject *parent = nullptr);

    // Listens on this address only. False with the reason when it cannot.
    bool listenOn(const QString &host, quint16 port, QString *error);

  protected:
    bool handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) override;
    void missingHandler(const QHttpServerRequest &request, QTcpSocket *socket) override;

  private:
    const BridgeState &m_state;
};

} // namespace kr7::bridge
