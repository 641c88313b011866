#pragma once

#include "metricstext.h"
#include "passwordcheck.h"
#include "setrequest.h"
#include "webconfig.h"

#include <QAbstractHttpServer>
#include <QElapsedTimer>
#include <QHash>
#include <QPointer>
#include <QSet>
#include <QSslConfiguration>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>

class QTcpSocket;

namespace kr7::bridge {

class BridgeState;

// The HTTP face: GET /metrics and GET /state from the state as the pollers last left it (a request never
// waits for a projector), the venue console (GET /, its script and style, and GET /events, the projectors'
// states as they change), and POST /api/projectors/NAME for an operator's commands. Secured, when a web
// configuration is given, as Prometheus' exporters are: TLS, HTTP Basic users with bcrypt hashes, and roles.
//
// Bounded: at most kMaxConnections at once and kMaxPerAddress from one address; a request's headers (the TLS
// handshake included) must be in within kHeaderDeadlineMs; a request over 64 KiB is answered 413; when every
// slot is taken a new connection evicts the oldest one that has not sent a whole request yet.
class HttpFace : public QAbstractHttpServer {
    Q_OBJECT
  public:
    using Submit = SubmitRequest;

    static constexpr qint64 kMaxRequestBytes = 64 * 1024;
    static constexpr int kMaxConnections = 64;
    static constexpr int kMaxPerAddress = 8;
    static constexpr int kIdleMs = 120000;
    static constexpr int kHeaderDeadlineMs = 10000;
    // However many scrapers ask, the exposition is written again at most this often; a scrape sees the
    // state at most this much older than it is (the projectors themselves are polled every few seconds).
    static constexpr int kRenderEveryMs = 500;
    // The console's stream: changes of a projector within this time go out as one event; a comment keeps
    // quiet streams open through proxies; a reader that falls this far behind is closed (its page
    // reconnects).
    static constexpr int kEventsCoalesceMs = 200;
    static constexpr int kKeepAliveMs = 15000;
    static constexpr qint64 kMaxUnsentEventBytes = 4 << 20;

    // web: the web configuration, if any. Without one, commands are taken only when the face listens on a
    // loopback address (a page that anyone on the network can open never switches a projector).
    HttpFace(const BridgeState &state, std::optional<WebConfig> web, Submit submit,
             QObject *parent = nullptr);
    ~HttpFace() override;

    // Listens on this address only. False with the reason when it cannot.
    bool listenOn(const QString &host, quint16 port, QString *error);

  protected:
    bool handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) override;
    void missingHandler(const QHttpServerRequest &request, QTcpSocket *socket) override;

  private:
    struct Asked;
    class Gate;
    void serve(const Asked &asked, QTcpSocket *socket, const QString &user);
    void command(const Asked &asked, QTcpSocket *socket, const QString &user);
    void openStream(const Asked &asked, QTcpSocket *socket, const QString &user);
    void sendChanges();
    void keepStreamsAlive();
    void send(QTcpSocket *socket, const Asked &asked, int status, const QByteArray &type,
              const QByteArray &body, const QList<std::pair<QByteArray, QByteArray>> &extra = {});
    QByteArray securityHeaders() const;
    QByteArray page(const QString &user) const;
    bool mayCommand(const QString &user) const;

    const BridgeState &m_state;
    std::optional<WebConfig> m_web;
    Submit m_submit;
    bool m_loopback = false;
    bool m_tls = false;
    QByteArray m_secret; // this run's key for the pages' command tokens
    std::unique_ptr<PasswordCheck> m_passwords;
    LoginLimiter m_logins;
    QElapsedTimer m_clock;

    MetricsText m_metrics;
    QByteArray m_exposition;
    QElapsedTimer m_rendered;
    bool m_changed = true;

    QList<QPointer<QTcpSocket>> m_streams;
    QSet<int> m_streamDirty;
    QHash<QString, QByteArray> m_streamSent; // each projector's state as last streamed, without last_seen
    bool m_streamReset = false;
    QTimer m_streamFlush;
    QTimer m_keepAlive;
};

} // namespace kr7::bridge
