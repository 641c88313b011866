#pragma once

#include "metricstext.h"

#include <QAbstractHttpServer>
#include <QElapsedTimer>
#include <QString>

class QTcpServer;

namespace kr7::bridge {

// The HTTP face: GET /metrics and GET /state, served from the state as the pollers last left it; a request
// never waits for a projector. Any other path is 404, any other method 405, a request over 64 KiB 413.
class HttpFace : public QAbstractHttpServer {
    Q_OBJECT
  public:
    static constexpr qint64 kMaxRequestBytes = 64 * 1024;
    static constexpr int kMaxConnections = 64;
    static constexpr int kIdleMs = 120000;
    // However many scrapers ask, the exposition is written again at most this often; a scrape sees the
    // state at most this much older than it is (the projectors themselves are polled every few seconds).
    static constexpr int kRenderEveryMs = 500;

    explicit HttpFace(const BridgeState &state, QObject *parent = nullptr);

    // Listens on this address only. False with the reason when it cannot.
    bool listenOn(const QString &host, quint16 port, QString *error);

  protected:
    bool handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) override;
    void missingHandler(const QHttpServerRequest &request, QTcpSocket *socket) override;

  private:
    const BridgeState &m_state;
    MetricsText m_metrics;
    QByteArray m_exposition;
    QElapsedTimer m_rendered;
    bool m_changed = true;
};

} // namespace kr7::bridge
