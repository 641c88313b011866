#include "httpface.h"

#include "state.h"

#include <QHostAddress>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace kr7::bridge {

namespace {

using Status = QHttpServerResponder::StatusCode;

// Takes each connection before the HTTP server sees it, so that what a client may cost is bounded: at most
// kMaxConnections at once, a request of at most kMaxRequestBytes (more is answered 413 and the connection
// closed, before it is buffered), and a connection idle for kIdleMs is closed.
struct Guard : QObject {
    explicit Guard(QObject *parent) : QObject(parent) {
        idle.setSingleShot(true);
        idle.start(HttpFace::kIdleMs);
    }
    qint64 unanswered = 0; // bytes of requests not yet answered
    QTimer idle;
};

class GuardedServer : public QTcpServer {
  public:
    using QTcpServer::QTcpServer;

  protected:
    void incomingConnection(qintptr descriptor) override {
        auto *socket = new QTcpSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            return;
        }
        if (m_open >= HttpFace::kMaxConnections) {
            socket->abort();
            socket->deleteLater();
            return;
        }
        ++m_open;
        connect(socket, &QObject::destroyed, this, [this] { --m_open; });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        auto *guard = new Guard(socket);
        connect(&guard->idle, &QTimer::timeout, socket, &QTcpSocket::abort);
        // An answer going out means the request before it ended.
        connect(socket, &QTcpSocket::bytesWritten, guard, [guard] { guard->unanswered = 0; });
        // Connected before the HTTP server's own handler, so it runs first.
        connect(socket, &QTcpSocket::readyRead, guard, [socket, guard] {
            guard->idle.start();
            guard->unanswered += socket->bytesAvailable();
            if (guard->unanswered <= HttpFace::kMaxRequestBytes)
                return;
            socket->readAll(); // the server must not see them
            static const QByteArray body = "requests are limited to 64 KiB\n";
            socket->write(
                "HTTP/1.1 413 Payload Too Large\r\nContent-Type: text/plain\r\nConnection: close\r\n"
                "Content-Length: " +
                QByteArray::number(body.size()) + "\r\n\r\n" + body);
            socket->disconnectFromHost();
        });
        addPendingConnection(socket);
    }

  private:
    int m_open = 0;
};

} // namespace

HttpFace::HttpFace(const BridgeState &state, QObject *parent) : QAbstractHttpServer(parent), m_state(state) {
    connect(&state, &BridgeState::projectorChanged, this, [this](int index) {
        m_metrics.invalidate(index);
        m_changed = true;
    });
    connect(&state, &BridgeState::lineChanged, this, [this] { m_changed = true; });
    connect(&state, &BridgeState::serviceChanged, this, [this] { m_changed = true; });
    connect(&state, &BridgeState::faceSampleChanged, this, [this] { m_changed = true; });
    connect(&state, &BridgeState::reconfigured, this, [this] {
        m_metrics.invalidateAll();
        m_changed = true;
    });
}

bool HttpFace::listenOn(const QString &host, quint16 port, QString *error) {
    auto *server = new GuardedServer(this);
    if (!server->listen(QHostAddress(host), port)) {
        *error = QStringLiteral("cannot listen on %1:%2: %3").arg(host).arg(port).arg(server->errorString());
        delete server;
        return false;
    }
    bind(server);
    return true;
}

bool HttpFace::handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) {
    const QString path = request.url().path();
    const bool metrics = path == QLatin1String("/metrics");
    const bool state = path == QLatin1String("/state");
    QHttpServerResponder responder = makeResponder(request, socket);
    if (!metrics && !state) {
        responder.write(QByteArray("not found: /metrics and /state are served here\n"), "text/plain",
                        Status::NotFound);
        return true;
    }
    if (request.method() != QHttpServerRequest::Method::Get) {
        responder.write(QByteArray("only GET\n"), {{"Content-Type", "text/plain"}, {"Allow", "GET"}},
                        Status::MethodNotAllowed);
        return true;
    }
    if (metrics) {
        if (m_changed && (!m_rendered.isValid() || m_rendered.elapsed() >= kRenderEveryMs)) {
            m_exposition = m_metrics.render(m_state.projectors(), m_state.lines(), m_state.service());
            m_rendered.start();
            m_changed = false;
        }
        responder.write(m_exposition, "text/plain; version=0.0.4; charset=utf-8");
    } else
        responder.write(stateDocument(m_state.projectors()), "application/json");
    return true;
}

void HttpFace::missingHandler(const QHttpServerRequest &request, QTcpSocket *socket) {
    makeResponder(request, socket).write(Status::NotFound);
}

} // namespace kr7::bridge
