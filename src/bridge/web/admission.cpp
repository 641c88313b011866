#include "admission.h"

#include "journal.h"
#include "webtls.h"

#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>

namespace kr7::bridge {

// What the gate keeps of a connection.
struct Admission::Guard : QObject {
    Guard(QTcpSocket *s, QString a) : QObject(s), socket(s), address(std::move(a)) {}
    QTcpSocket *socket;
    QString address;
    bool trusted = false;       // answered for an authenticated user: never evicted for a newcomer
    bool readingHeaders = true; // a request (or the TLS handshake) under way, its headers not all in
    QByteArray tail;            // the last bytes seen, to find a header's end across reads
    qint64 unansweredBytes = 0; // of requests not yet answered
    QTimer deadline;
    QTimer idle;
};

Admission::Admission(const std::optional<WebConfig::Tls> &tls, std::function<QByteArray()> securityHeaders,
                     QObject *parent)
    : QTcpServer(parent), m_tls(tls), m_securityHeaders(std::move(securityHeaders)) {}

bool Admission::readTls(QString *error) {
    if (!m_tls)
        return true;
    m_stamp = tlsFilesStamp(*m_tls);
    auto c = serverTls(*m_tls);
    if (const QString *e = std::get_if<QString>(&c)) {
        *error = *e;
        return false;
    }
    m_ssl = std::get<QSslConfiguration>(c);
    return true;
}

void Admission::incomingConnection(qintptr descriptor) {
    if (m_tls)
        rotate();
    QTcpSocket *socket = m_tls ? new QSslSocket(this) : new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    const QString address = socket->peerAddress().toString();
    const auto fromThere =
        std::count_if(m_open.begin(), m_open.end(), [&](const Guard *g) { return g->address == address; });
    if (fromThere >= kMaxPerAddress || !makeRoom()) {
        socket->abort();
        socket->deleteLater();
        return;
    }
    auto *guard = new Guard(socket, address);
    m_open.append(guard);
    connect(guard, &QObject::destroyed, this, [this, guard] { m_open.removeAll(guard); });
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    guard->deadline.setSingleShot(true);
    guard->idle.setSingleShot(true);
    connect(&guard->deadline, &QTimer::timeout, socket, &QTcpSocket::abort);
    connect(&guard->idle, &QTimer::timeout, socket, &QTcpSocket::abort);
    guard->deadline.start(kHeaderDeadlineMs);
    guard->idle.start(kIdleMs);
    // Connected before the HTTP server's own handler, so it runs first.
    connect(socket, &QTcpSocket::readyRead, guard, [this, socket, guard] { onBytes(socket, guard); });
    auto *ssl = qobject_cast<QSslSocket *>(socket);
    if (!ssl) {
        addPendingConnection(socket);
        return;
    }
    ssl->setSslConfiguration(m_ssl);
    connect(ssl, &QSslSocket::encrypted, this, [this, ssl] { addPendingConnection(ssl); });
    connect(ssl, &QSslSocket::errorOccurred, ssl, [ssl] {
        if (!ssl->isEncrypted())
            ssl->abort(); // a failed handshake: a client certificate missing or not ours
    });
    ssl->startServerEncryption();
}

Admission::Guard *Admission::guardOf(QTcpSocket *socket) const {
    for (Guard *g : m_open)
        if (g->socket == socket)
            return g;
    return nullptr;
}

void Admission::answered(QTcpSocket *socket, bool trusted) {
    Guard *g = guardOf(socket);
    if (!g)
        return;
    g->unansweredBytes = 0;
    g->readingHeaders = false;
    g->deadline.stop();
    g->idle.start(kIdleMs);
    g->trusted = g->trusted || trusted;
}

void Admission::streaming(QTcpSocket *socket) {
    if (Guard *g = guardOf(socket)) {
        g->idle.stop();
        g->deadline.stop();
        g->readingHeaders = false;
    }
}

void Admission::onBytes(QTcpSocket *socket, Guard *guard) const {
    const qint64 available = socket->bytesAvailable();
    if (!guard->readingHeaders) {
        guard->readingHeaders = true;
        guard->deadline.start(kHeaderDeadlineMs);
    }
    guard->unansweredBytes += available;
    if (guard->unansweredBytes > kMaxRequestBytes) {
        socket->readAll(); // the server must not see them
        static const QByteArray body = "requests are limited to 64 KiB\n";
        socket->write("HTTP/1.1 413 Payload Too Large\r\nContent-Type: text/plain\r\nConnection: close\r\n"
                      "Content-Length: " +
                      QByteArray::number(body.size()) + "\r\n" + m_securityHeaders() + "\r\n" + body);
        socket->disconnectFromHost();
        return;
    }
    if (guard->deadline.isActive()) {
        const QByteArray seen = guard->tail + socket->peek(available);
        if (seen.contains("\r\n\r\n")) {
            guard->deadline.stop();
            guard->tail.clear();
        } else {
            guard->tail = seen.right(3);
        }
    }
}

// Every slot taken: the oldest connection that was not yet answered for an authenticated user makes way.
// False when all were (kept-alive scrapers, open consoles).
bool Admission::makeRoom() {
    if (m_open.size() < kMaxConnections)
        return true;
    for (Guard *g : m_open)
        if (!g->trusted) {
            m_open.removeAll(g);
            g->socket->abort();
            return true;
        }
    return false;
}

// The certificate and key read again when their files changed (a rotation); a pair that cannot be served is
// said once and the one in force stays.
void Admission::rotate() {
    if (tlsFilesStamp(*m_tls) == m_stamp)
        return;
    QString error;
    if (readTls(&error))
        journal(QStringLiteral("web: certificate %1 read again").arg(m_tls->certFile.path));
    else
        journal(QStringLiteral("web: the changed certificate is not served, the one before stays: %1")
                    .arg(error));
}

} // namespace kr7::bridge
