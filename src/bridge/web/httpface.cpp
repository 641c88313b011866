#include "httpface.h"

#include "journal.h"
#include "kr7version.h"
#include "record.h"
#include "state.h"
#include "webtls.h"

#include <QFile>
#include <QHostAddress>
#include <QHttpServerRequest>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>

namespace kr7::bridge {

namespace {

QByteArray reason(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 413:
        return "Payload Too Large";
    case 429:
        return "Too Many Requests";
    case 503:
        return "Service Unavailable";
    default:
        return "Error";
    }
}

QByteArray compact(const QJsonObject &o) {
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

QByteArray resource(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// What the console's stream carries: the state object of a projector, as MQTT has it, and what is wrong with
// it in words.
QByteArray stateEvent(const ProjectorState &p) {
    QJsonObject o = stateObject(p);
    QJsonArray alarms;
    const Alarms a = alarmsOf(p.readings);
    if (!p.available)
        alarms << QStringLiteral("unreachable");
    if (a.temperature)
        alarms << QStringLiteral("temperature warning");
    if (a.lampFailure)
        alarms << QStringLiteral("lamp failure");
    if (a.lampOff)
        alarms << QStringLiteral("a lamp its mode uses is off");
    if (a.powerFail)
        alarms << QStringLiteral("power failure");
    o[QStringLiteral("alarms")] = alarms;
    return "event: projector\ndata: " + compact(o) + "\n\n";
}

} // namespace

// A request as the face needs it after its handler has returned (a password check or a command pending).
struct HttpFace::Asked {
    QHttpServerRequest::Method method;
    QString path;
    QByteArray origin;
    QByteArray host;
    QByteArray token;
    QByteArray body;
    bool close = false;

    static Asked of(const QHttpServerRequest &r) {
        return Asked{r.method(),
                     r.url().path(),
                     r.value("Origin"),
                     r.value("Host"),
                     r.value("X-KR7-Token"),
                     r.body(),
                     r.value("Connection").toLower() == "close"};
    }
};

// Takes each connection before the HTTP server sees it (and, with TLS, only once its handshake is done), so
// that what clients may cost is bounded.
class HttpFace::Gate : public QTcpServer {
  public:
    Gate(HttpFace *face, const std::optional<WebConfig::Tls> &tls) : QTcpServer(face), m_tls(tls) {}

    // False with the reason when the certificate cannot be served.
    // Reads the certificate and key as their files are now. False with the reason when they cannot be served;
    // the files are not read again until they change.
    bool readTls(QString *error) {
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

  protected:
    struct Guard : QObject {
        Guard(QTcpSocket *s, QString a) : QObject(s), socket(s), address(std::move(a)) {}
        QTcpSocket *socket;
        QString address;
        bool served = false;   // has sent a whole request: never evicted for a newcomer
        bool inRequest = true; // a request (or the TLS handshake) under way, its headers not all in
        QByteArray tail;       // the last bytes seen, to find a header's end across reads
        qint64 unanswered = 0; // bytes of requests not yet answered
        QTimer deadline;
        QTimer idle;
    };

    void incomingConnection(qintptr descriptor) override {
        if (m_tls)
            rotate();
        QTcpSocket *socket = m_tls ? new QSslSocket(this) : new QTcpSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            return;
        }
        const QString address = socket->peerAddress().toString();
        const auto fromThere = std::count_if(m_open.begin(), m_open.end(),
                                             [&](const Guard *g) { return g->address == address; });
        if (fromThere >= HttpFace::kMaxPerAddress || !makeRoom()) {
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
        guard->deadline.start(HttpFace::kHeaderDeadlineMs);
        guard->idle.start(HttpFace::kIdleMs);
        connect(socket, &QTcpSocket::bytesWritten, guard, [guard] {
            // An answer going out means the request before it ended (an event stream keeps writing).
            guard->unanswered = 0;
            guard->inRequest = false;
            guard->deadline.stop();
            guard->idle.start();
        });
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

  private:
    void onBytes(QTcpSocket *socket, Guard *guard) const {
        guard->idle.start();
        const qint64 available = socket->bytesAvailable();
        if (!guard->inRequest) {
            guard->inRequest = true;
            guard->deadline.start(HttpFace::kHeaderDeadlineMs);
        }
        guard->unanswered += available;
        if (guard->unanswered > HttpFace::kMaxRequestBytes) {
            socket->readAll(); // the server must not see them
            static const QByteArray body = "requests are limited to 64 KiB\n";
            socket->write(
                "HTTP/1.1 413 Payload Too Large\r\nContent-Type: text/plain\r\nConnection: close\r\n"
                "Content-Length: " +
                QByteArray::number(body.size()) + "\r\n" +
                static_cast<const HttpFace *>(parent())->securityHeaders() + "\r\n" + body);
            socket->disconnectFromHost();
            return;
        }
        if (guard->deadline.isActive()) {
            const QByteArray seen = guard->tail + socket->peek(available);
            if (seen.contains("\r\n\r\n")) {
                guard->deadline.stop();
                guard->served = true;
                guard->tail.clear();
            } else {
                guard->tail = seen.right(3);
            }
        }
    }

    // Every slot taken: the oldest connection that has not sent a whole request makes way. False when all
    // have (kept-alive scrapers, open consoles).
    bool makeRoom() {
        if (m_open.size() < HttpFace::kMaxConnections)
            return true;
        for (Guard *g : m_open)
            if (!g->served) {
                m_open.removeAll(g);
                g->socket->abort();
                return true;
            }
        return false;
    }

    // The certificate and key read again when their files changed (a rotation); a pair that cannot be served
    // is said once and the one in force stays.
    void rotate() {
        if (tlsFilesStamp(*m_tls) == m_stamp)
            return;
        QString error;
        if (readTls(&error))
            journal(QStringLiteral("web: certificate %1 read again").arg(m_tls->certFile.path));
        else
            journal(QStringLiteral("web: the changed certificate is not served, the one before stays: %1")
                        .arg(error));
    }

    std::optional<WebConfig::Tls> m_tls;
    QSslConfiguration m_ssl;
    QString m_stamp;
    QList<Guard *> m_open;
};

HttpFace::HttpFace(const BridgeState &state, std::optional<WebConfig> web, Submit submit, QObject *parent)
    : QAbstractHttpServer(parent), m_state(state), m_web(std::move(web)), m_submit(std::move(submit)) {
    m_clock.start();
    m_tls = m_web && m_web->tls;
    QByteArray secret(32, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(secret.data()), 8);
    m_secret = secret;
    if (m_web && m_web->hasUsers())
        m_passwords = std::make_unique<PasswordCheck>(m_web->users);

    connect(&state, &BridgeState::projectorChanged, this, [this](int index) {
        m_metrics.invalidate(index);
        m_changed = true;
        if (!m_streams.isEmpty()) {
            m_streamDirty.insert(index);
            if (!m_streamFlush.isActive())
                m_streamFlush.start(kEventsCoalesceMs);
        }
    });
    connect(&state, &BridgeState::lineChanged, this, [this] { m_changed = true; });
    connect(&state, &BridgeState::serviceChanged, this, [this] { m_changed = true; });
    connect(&state, &BridgeState::faceSampleChanged, this, [this] { m_changed = true; });
    connect(&state, &BridgeState::reconfigured, this, [this] {
        m_metrics.invalidateAll();
        m_changed = true;
        m_streamReset = true;
        m_streamDirty.clear();
        if (!m_streams.isEmpty())
            m_streamFlush.start(kEventsCoalesceMs);
    });
    m_streamFlush.setSingleShot(true);
    connect(&m_streamFlush, &QTimer::timeout, this, &HttpFace::sendChanges);
    m_keepAlive.setInterval(kKeepAliveMs);
    connect(&m_keepAlive, &QTimer::timeout, this, &HttpFace::keepStreamsAlive);
}

HttpFace::~HttpFace() = default;

bool HttpFace::listenOn(const QString &host, quint16 port, QString *error) {
    m_loopback = QHostAddress(host).isLoopback();
    auto *gate = new Gate(this, m_web ? m_web->tls : std::nullopt);
    if (!gate->readTls(error)) {
        delete gate;
        return false;
    }
    if (!gate->listen(QHostAddress(host), port)) {
        *error = QStringLiteral("cannot listen on %1:%2: %3").arg(host).arg(port).arg(gate->errorString());
        delete gate;
        return false;
    }
    bind(gate);
    return true;
}

QByteArray HttpFace::securityHeaders() const {
    QList<std::pair<QByteArray, QByteArray>> headers{
        {"X-Content-Type-Options", "nosniff"},
        {"X-Frame-Options", "deny"},
        {"Content-Security-Policy",
         "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; img-src 'self'; "
         "base-uri 'none'; form-action 'none'; frame-ancestors 'none'"},
        {"Referrer-Policy", "no-referrer"},
    };
    if (m_web)
        for (const auto &[name, value] : m_web->headers) {
            // A configured header replaces the bridge's own of that name.
            const auto same = [&](const auto &h) { return h.first.compare(name, Qt::CaseInsensitive) == 0; };
            headers.removeIf(same);
            headers.append({name, value});
        }
    QByteArray out;
    for (const auto &[name, value] : headers)
        out += name + ": " + value + "\r\n";
    return out;
}

void HttpFace::send(QTcpSocket *socket, const Asked &asked, int status, const QByteArray &type,
                    const QByteArray &body, const QList<std::pair<QByteArray, QByteArray>> &extra) {
    QByteArray head = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason(status) + "\r\n";
    head += "Content-Type: " + type + "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n";
    head += "Cache-Control: no-store\r\n";
    for (const auto &[name, value] : extra)
        head += name + ": " + value + "\r\n";
    head += securityHeaders();
    if (asked.close)
        head += "Connection: close\r\n";
    socket->write(head + "\r\n" + (asked.method == QHttpServerRequest::Method::Head ? QByteArray() : body));
    if (asked.close)
        socket->disconnectFromHost();
}

bool HttpFace::mayCommand(const QString &user) const {
    if (!m_web)
        return m_loopback;
    return m_web->hasUsers() && m_web->isOperator(user);
}

bool HttpFace::handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) {
    const Asked asked = Asked::of(request);
    const QString address = socket->peerAddress().toString();
    if (!m_passwords) {
        serve(asked, socket, QString());
        return true;
    }
    if (m_logins.blocked(address, m_clock.elapsed())) {
        send(socket, asked, 429, "text/plain", "too many failed logins from this address; wait a minute\n",
             {{"Retry-After", "60"}});
        return true;
    }
    const std::optional<Credentials> credentials = basicCredentials(request.value("Authorization"));
    const auto refuse = [this, asked](QTcpSocket *s) {
        send(s, asked, 401, "text/plain", "a user and password are needed\n",
             {{"WWW-Authenticate", "Basic realm=\"kr7-bridge\", charset=\"UTF-8\""}});
    };
    if (!credentials) {
        refuse(socket); // no credentials: asking for them is no failed attempt
        return true;
    }
    if (m_passwords->remembered(*credentials)) {
        serve(asked, socket, credentials->user);
        return true;
    }
    QPointer<QTcpSocket> alive(socket);
    const bool queued = m_passwords->check(*credentials, [=, this, user = credentials->user](bool ok) {
        if (!ok)
            m_logins.failed(address, m_clock.elapsed());
        if (!alive)
            return;
        if (ok)
            serve(asked, alive, user);
        else
            refuse(alive);
    });
    if (!queued)
        send(socket, asked, 503, "text/plain", "busy checking passwords; try again\n",
             {{"Retry-After", "1"}});
    return true;
}

void HttpFace::serve(const Asked &asked, QTcpSocket *socket, const QString &user) {
    using M = QHttpServerRequest::Method;
    const bool get = asked.method == M::Get || asked.method == M::Head;
    const QString &path = asked.path;
    if (path.startsWith(QLatin1String("/api/projectors/"))) {
        if (asked.method != M::Post)
            return send(socket, asked, 405, "text/plain", "only POST\n", {{"Allow", "POST"}});
        return command(asked, socket, user);
    }
    struct Page {
        const char *path;
        const char *type;
    };
    static const Page pages[] = {{"/metrics", "text/plain; version=0.0.4; charset=utf-8"},
                                 {"/state", "application/json"},
                                 {"/", "text/html; charset=utf-8"},
                                 {"/console.js", "text/javascript; charset=utf-8"},
                                 {"/console.css", "text/css; charset=utf-8"},
                                 {"/icon.svg", "image/svg+xml"},
                                 {"/events", "text/event-stream"}};
    const auto found = std::find_if(std::begin(pages), std::end(pages),
                                    [&](const Page &p) { return path == QLatin1String(p.path); });
    if (found == std::end(pages))
        return send(socket, asked, 404, "text/plain",
                    "not found: / (the console), /metrics, /state and /events are served here\n");
    if (!get)
        return send(socket, asked, 405, "text/plain", "only GET\n", {{"Allow", "GET, HEAD"}});
    QByteArray body;
    if (path == QLatin1String("/metrics")) {
        if (m_changed && (!m_rendered.isValid() || m_rendered.elapsed() >= kRenderEveryMs)) {
            m_exposition = m_metrics.render(m_state.projectors(), m_state.lines(), m_state.service());
            m_rendered.start();
            m_changed = false;
        }
        body = m_exposition;
    } else if (path == QLatin1String("/state")) {
        body = stateDocument(m_state.projectors());
    } else if (path == QLatin1String("/")) {
        body = page(user);
    } else if (path == QLatin1String("/events")) {
        return openStream(asked, socket, user);
    } else {
        body = resource(QStringLiteral(":/console") + path);
    }
    send(socket, asked, 200, found->type, body);
}

QByteArray HttpFace::page(const QString &user) const {
    QByteArray html = resource(QStringLiteral(":/console/index.html"));
    const bool may = mayCommand(user);
    html.replace("{{operator}}", may ? "yes" : "no");
    html.replace("{{token}}", may ? csrfToken(m_secret, user) : QByteArray());
    html.replace("{{version}}", KR7_VERSION);
    return html;
}

void HttpFace::command(const Asked &asked, QTcpSocket *socket, const QString &user) {
    // Only an operator, only from a page of this bridge (its Origin, when the client names one, and the token
    // the page carries): a page of another site cannot make the browser switch a projector.
    if (!mayCommand(user))
        return send(socket, asked, 403, "text/plain", "commands are for operators\n");
    if (!asked.origin.isEmpty() && !sameOrigin(asked.origin, m_tls, asked.host))
        return send(socket, asked, 403, "text/plain", "a command from another site's page is not taken\n");
    if (!sameSecret(asked.token, csrfToken(m_secret, user)))
        return send(socket, asked, 403, "text/plain",
                    "the page's token is missing or wrong; reload the page\n");
    const QString name = asked.path.mid(int(qstrlen("/api/projectors/")));
    const QJsonValue request = requestAsReceived(asked.body);
    const auto refused = [&](int status, const QString &why) {
        CommandOutcome o;
        o.error = why;
        send(socket, asked, status, "application/json", compact(resultObject(request, o)));
    };
    const int index = m_state.indexOf(name);
    if (index < 0)
        return refused(404, QStringLiteral("no projector named '%1' here").arg(name));
    auto parsed = parseSetRequest(asked.body, false);
    if (const QString *why = std::get_if<QString>(&parsed))
        return refused(400, *why);
    const SetRequest &r = std::get<SetRequest>(parsed);
    journal(QStringLiteral("web: %1 sends %2 to %3")
                .arg(user.isEmpty() ? QStringLiteral("a loopback user") : user,
                     QString::fromUtf8(compact(r.request)), name));
    QPointer<QTcpSocket> alive(socket);
    m_submit(index, r, [this, alive, asked, request = QJsonValue(r.request)](const CommandOutcome &o) {
        if (!alive)
            return;
        send(alive, asked, !o.accepted && !o.exchange ? 400 : 200, "application/json",
             compact(resultObject(request, o)));
    });
}

void HttpFace::openStream(const Asked &asked, QTcpSocket *socket, const QString &user) {
    if (m_streams.size() >= kMaxConnections / 2)
        return send(socket, asked, 503, "text/plain", "too many consoles open\n", {{"Retry-After", "10"}});
    QByteArray head = "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-store\r\n" +
                      securityHeaders() + "\r\n";
    // First what the page needs to draw everything, then the changes as they come.
    QJsonObject hello{
        {QStringLiteral("now"), QString::fromLatin1(traffic::timestamp(QDateTime::currentDateTime()))},
        {QStringLiteral("operator"), mayCommand(user)},
        {QStringLiteral("version"), QStringLiteral(KR7_VERSION)}};
    head += "retry: 2000\nevent: hello\ndata: " + compact(hello) + "\n\n";
    for (const ProjectorState &p : m_state.projectors())
        head += stateEvent(p);
    socket->write(head);
    m_streams.append(QPointer<QTcpSocket>(socket));
    if (!m_keepAlive.isActive())
        m_keepAlive.start();
}

void HttpFace::sendChanges() {
    QByteArray events;
    if (std::exchange(m_streamReset, false)) {
        m_streamSent.clear();
        events = "event: reset\ndata: {}\n\n";
        for (const ProjectorState &p : m_state.projectors())
            events += stateEvent(p);
    } else {
        // A new poll round moves last_seen alone: that is no news to a page (as on MQTT).
        for (const int index : std::exchange(m_streamDirty, {})) {
            if (index >= m_state.projectors().size())
                continue;
            const ProjectorState &p = m_state.projectors()[index];
            QByteArray &sent = m_streamSent[p.name];
            const QByteArray now = compact(stateObject(p, false));
            if (now != sent)
                events += stateEvent(p);
            sent = now;
        }
    }
    m_streamDirty.clear();
    if (events.isEmpty())
        return;
    m_streams.removeIf([](const QPointer<QTcpSocket> &s) { return !s; });
    for (const QPointer<QTcpSocket> &s : m_streams) {
        if (s->bytesToWrite() > kMaxUnsentEventBytes) {
            s->abort(); // a reader this far behind: its page reconnects and starts afresh
            continue;
        }
        s->write(events);
    }
}

void HttpFace::keepStreamsAlive() {
    m_streams.removeIf([](const QPointer<QTcpSocket> &s) { return !s; });
    if (m_streams.isEmpty())
        return m_keepAlive.stop();
    for (const QPointer<QTcpSocket> &s : m_streams)
        s->write(": keep-alive\n\n");
}

void HttpFace::missingHandler(const QHttpServerRequest &request, QTcpSocket *socket) {
    send(socket, Asked::of(request), 404, "text/plain", "not found\n");
}

} // namespace kr7::bridge
