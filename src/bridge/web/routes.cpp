#include "routes.h"

#include "admission.h"
#include "catalogue.h"
#include "changefeed.h"
#include "commands.h"
#include "groups.h"
#include "journal.h"
#include "kr7version.h"
#include "lampdesk.h"
#include "layout.h"
#include "record.h"
#include "scheduledesk.h"
#include "state.h"

#include <QFile>
#include <QHostAddress>
#include <QHttpServerRequest>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTcpSocket>
#include <QUrlQuery>

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
    case 421:
        return "Misdirected Request";
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

} // namespace

// Answers after which the connection is closed: a client refused holds no slot.
bool closesAfter(int status) {
    for (const int s : {400, 401, 403, 404, 405, 413, 421, 429})
        if (status == s)
            return true;
    return false;
}

HttpSettings HttpSettings::of(const Settings &settings) {
    return HttpSettings{settings.config.listenHost, settings.config.listenPort, settings.web,
                        settings.config.httpNames, historyPlace(settings.config.history).path};
}

// A request as the routes need it after its handler has returned (a password check or a command pending).
struct HttpRoutes::HeldRequest {
    QHttpServerRequest::Method method;
    QString path;
    QByteArray origin;
    QByteArray host;
    QByteArray token;
    QByteArray body;
    QUrlQuery query;
    bool acceptsCsv = false; // Accept: text/csv
    QString address;         // the client's
    bool close = false;      // the client asked for it
    bool trusted = false;    // for an authenticated user, or where no users are configured

    static HeldRequest of(const QHttpServerRequest &r, const QTcpSocket *socket) {
        return HeldRequest{r.method(),
                           r.url().path(),
                           r.value("Origin"),
                           r.value("Host"),
                           r.value("X-KR7-Token"),
                           r.body(),
                           QUrlQuery(r.url()),
                           r.value("Accept").contains("text/csv"),
                           socket->peerAddress().toString(),
                           r.value("Connection").toLower() == "close",
                           false};
    }
};

HttpRoutes::HttpRoutes(FaceServices services, HttpSettings settings, QByteArray secret,
                       const QStringList &machine, QObject *parent)
    : QAbstractHttpServer(parent), m_services(services), m_settings(std::move(settings)),
      m_hosts(m_settings.names, machine),
      m_auth(m_settings.web, std::move(secret), QHostAddress(m_settings.host).isLoopback()),
      m_events(services.state, services.feed) {
    if (!m_settings.historyPath.isEmpty())
        m_history = std::make_unique<HistoryReader>(m_settings.historyPath);
    const BridgeState &state = m_services.state;
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

HttpRoutes::~HttpRoutes() = default;

bool HttpRoutes::listen(QString *error) {
    auto *admission = new Admission(
        m_settings.web ? m_settings.web->tls : std::nullopt, [this] { return securityHeaders(); }, this);
    if (!admission->readTls(error)) {
        delete admission;
        return false;
    }
    if (!admission->listen(QHostAddress(m_settings.host), m_settings.port)) {
        *error = QStringLiteral("cannot listen on %1:%2: %3")
                     .arg(m_settings.host)
                     .arg(m_settings.port)
                     .arg(admission->errorString());
        delete admission;
        return false;
    }
    bind(admission);
    m_admission = admission;
    return true;
}

QByteArray HttpRoutes::securityHeaders() const {
    QList<std::pair<QByteArray, QByteArray>> headers{
        {"X-Content-Type-Options", "nosniff"},
        {"X-Frame-Options", "deny"},
        {"Content-Security-Policy",
         "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; img-src 'self'; "
         "base-uri 'none'; form-action 'none'; frame-ancestors 'none'"},
        {"Referrer-Policy", "no-referrer"},
    };
    if (m_settings.web)
        for (const auto &[name, value] : m_settings.web->headers) {
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

void HttpRoutes::send(QTcpSocket *socket, const HeldRequest &request, int status, const QByteArray &type,
                      const QByteArray &body, const QList<std::pair<QByteArray, QByteArray>> &extra) {
    QByteArray head = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason(status) + "\r\n";
    head += "Content-Type: " + type + "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n";
    head += "Cache-Control: no-store\r\n";
    for (const auto &[name, value] : extra)
        head += name + ": " + value + "\r\n";
    head += securityHeaders();
    const bool close = request.close || closesAfter(status);
    if (close)
        head += "Connection: close\r\n";
    socket->write(head + "\r\n" + (request.method == QHttpServerRequest::Method::Head ? QByteArray() : body));
    if (m_admission)
        m_admission->answered(socket, status < 300 && request.trusted);
    if (close)
        socket->disconnectFromHost();
}

bool HttpRoutes::handleRequest(const QHttpServerRequest &r, QTcpSocket *socket) {
    if (m_events.isStream(socket)) {
        socket->abort(); // a stream takes no further request
        return true;
    }
    HeldRequest request = HeldRequest::of(r, socket);
    // A name this bridge does not serve is a page of another site that pointed its name here: nothing of it.
    if (!m_hosts.serves(request.host))
        return send(socket, request, 421, "text/plain", "this bridge does not serve that name\n"), true;
    QPointer<QTcpSocket> alive(socket);
    m_auth.check(r.value("Authorization"), request.address, socket,
                 [this, request, alive](const Authentication::Verdict &verdict) mutable {
                     if (!alive)
                         return;
                     using K = Authentication::Verdict::Kind;
                     switch (verdict.kind) {
                     case K::Allowed:
                         request.trusted = !verdict.user.isEmpty() || !m_auth.usersConfigured();
                         return serve(request, alive, verdict.user);
                     case K::NeedsLogin:
                         return send(alive, request, 401, "text/plain", "a user and password are needed\n",
                                     {{"WWW-Authenticate", "Basic realm=\"kr7-bridge\", charset=\"UTF-8\""}});
                     case K::TooManyFailures:
                         return send(alive, request, 429, "text/plain",
                                     "too many failed logins from this address; wait a minute\n",
                                     {{"Retry-After", "60"}});
                     case K::Busy:
                         return send(alive, request, 503, "text/plain",
                                     "busy checking passwords; try again\n", {{"Retry-After", "1"}});
                     }
                 });
    return true;
}

void HttpRoutes::serve(const HeldRequest &request, QTcpSocket *socket, const QString &user) {
    using M = QHttpServerRequest::Method;
    const bool get = request.method == M::Get || request.method == M::Head;
    const QString &path = request.path;
    if (path == QLatin1String("/api/groups") || path == QLatin1String("/api/commands") ||
        path == QLatin1String("/api/lamps")) {
        if (!get)
            return send(socket, request, 405, "text/plain", "only GET\n", {{"Allow", "GET, HEAD"}});
        const QJsonArray list = path == QLatin1String("/api/groups")     ? groupsList()
                                : path == QLatin1String("/api/commands") ? commandList()
                                                                         : m_services.lamps.list();
        return send(socket, request, 200, "application/json",
                    QJsonDocument(list).toJson(QJsonDocument::Compact));
    }
    if (path.startsWith(QLatin1String("/api/projectors/")) ||
        path.startsWith(QLatin1String("/api/groups/"))) {
        if (request.method != M::Post)
            return send(socket, request, 405, "text/plain", "only POST\n", {{"Allow", "POST"}});
        if (path.startsWith(QLatin1String("/api/groups/")))
            return group(request, socket, user);
        // A projector's own resources (its lamps) are below its name.
        return path.indexOf(QLatin1Char('/'), qsizetype(qstrlen("/api/projectors/"))) >= 0
                   ? lamp(request, socket, user)
                   : command(request, socket, user);
    }
    if (path == QLatin1String("/api/schedules") || path.startsWith(QLatin1String("/api/schedules/")))
        return schedules(request, socket, user);
    if (path == QLatin1String("/api/history") || path == QLatin1String("/api/samples")) {
        if (!get)
            return send(socket, request, 405, "text/plain", "only GET\n", {{"Allow", "GET, HEAD"}});
        return path.endsWith(QLatin1String("history")) ? history(request, socket) : samples(request, socket);
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
        return send(socket, request, 404, "text/plain",
                    "not found: / (the console), /metrics, /state and /events are served here\n");
    if (!get)
        return send(socket, request, 405, "text/plain", "only GET\n", {{"Allow", "GET, HEAD"}});
    QByteArray body;
    if (path == QLatin1String("/metrics"))
        body = metrics();
    else if (path == QLatin1String("/state"))
        body = stateDocument(m_services.state.projectors());
    else if (path == QLatin1String("/"))
        body = page(user);
    else if (path == QLatin1String("/events"))
        return openStream(request, socket, user);
    else
        body = resource(QStringLiteral(":/console") + path);
    send(socket, request, 200, found->type, body);
}

QByteArray HttpRoutes::metrics() {
    if (m_changed && (!m_rendered.isValid() || m_rendered.elapsed() >= kRenderEveryMs)) {
        const BridgeState &s = m_services.state;
        m_exposition = m_metrics.render(s.projectors(), s.lines(), s.service());
        m_rendered.start();
        m_changed = false;
    }
    return m_exposition;
}

QByteArray HttpRoutes::page(const QString &user) const {
    QByteArray html = resource(QStringLiteral(":/console/index.html"));
    const bool may = m_auth.mayCommand(user);
    html.replace("{{operator}}", may ? "yes" : "no");
    html.replace("{{token}}", may ? m_auth.token(user) : QByteArray());
    html.replace("{{version}}", KR7_VERSION);
    return html;
}

bool HttpRoutes::mayAct(const HeldRequest &request, QTcpSocket *socket, const QString &user) {
    // Only an operator, only from a page of this bridge (its Origin, when the client names one, and the token
    // the page carries): a page of another site cannot make the browser switch a projector.
    if (!m_auth.mayCommand(user))
        return send(socket, request, 403, "text/plain", "commands are for operators\n"), false;
    const bool tls = m_settings.web && m_settings.web->tls;
    if (!request.origin.isEmpty() && !sameOrigin(request.origin, tls, request.host))
        return send(socket, request, 403, "text/plain", "a command from another site's page is not taken\n"),
               false;
    if (!sameSecret(request.token, m_auth.token(user)))
        return send(socket, request, 403, "text/plain",
                    "the page's token is missing or wrong; reload the page\n"),
               false;
    return true;
}

Origin HttpRoutes::originOf(const HeldRequest &request, const QString &user) {
    Origin origin;
    origin.face = QStringLiteral("console");
    origin.user = user.isEmpty() ? QStringLiteral("anonymous") : user;
    origin.address = request.address;
    return origin;
}

void HttpRoutes::command(const HeldRequest &request, QTcpSocket *socket, const QString &user) {
    if (!mayAct(request, socket, user))
        return;
    const QString name = request.path.mid(int(qstrlen("/api/projectors/")));
    const QJsonValue asked = requestAsReceived(request.body);
    const auto refused = [&](int status, const QString &why) {
        CommandOutcome o;
        o.error = why;
        send(socket, request, status, "application/json", compact(resultObject(asked, o)));
    };
    const int index = m_services.state.indexOf(name);
    if (index < 0)
        return refused(404, QStringLiteral("no projector named '%1' here").arg(name));
    auto parsed = parseSetRequest(request.body, false);
    if (const QString *why = std::get_if<QString>(&parsed))
        return refused(400, *why);
    const SetRequest &r = std::get<SetRequest>(parsed);
    const Origin origin = originOf(request, user);
    journal(QStringLiteral("web: %1 sends %2 to %3")
                .arg(origin.text(), QString::fromUtf8(compact(r.request)), name));
    QPointer<QTcpSocket> alive(socket);
    m_services.commands.submit(
        index, r, origin, socket,
        [this, alive, request, asked = QJsonValue(r.request)](const CommandOutcome &o) {
            if (alive)
                send(alive, request, !o.accepted && !o.exchange ? 400 : 200, "application/json",
                     compact(resultObject(asked, o)));
        });
}

void HttpRoutes::group(const HeldRequest &request, QTcpSocket *socket, const QString &user) {
    if (!mayAct(request, socket, user))
        return;
    const QString name = request.path.mid(int(qstrlen("/api/groups/")));
    const QJsonValue asked = requestAsReceived(request.body);
    const auto refused = [&](int status, const QString &why) {
        CommandOutcome o;
        o.error = why;
        send(socket, request, status, "application/json", compact(resultObject(asked, o)));
    };
    auto parsed = parseSetRequest(request.body, false);
    if (const QString *why = std::get_if<QString>(&parsed))
        return refused(400, *why);
    const SetRequest &r = std::get<SetRequest>(parsed);
    Origin origin = originOf(request, user);
    origin.group = name;
    QPointer<QTcpSocket> alive(socket);
    const bool known = m_services.commands.submitGroup(
        name, r, origin, socket,
        [this, alive, request,
         asked = QJsonValue(r.request)](const QList<std::pair<QString, CommandOutcome>> &all) {
            if (alive)
                send(alive, request, 200, "application/json", compact(groupResultObject(asked, all)));
        });
    if (!known)
        return refused(404, QStringLiteral("no group named '%1' here").arg(name));
    journal(QStringLiteral("web: %1 sends %2 to the group %3")
                .arg(origin.text(), QString::fromUtf8(compact(r.request)), name));
}

// GET /api/groups: each group of the configuration with its projectors, in the order they are switched.
QJsonArray HttpRoutes::groupsList() const {
    const Config &config = m_services.commands.config();
    QJsonArray out;
    for (const GroupConfig &g : config.groups) {
        QJsonArray members;
        for (const GroupMember &m : membersOf(config, g.name).value_or(QList<GroupMember>()))
            members << m.projector;
        out << QJsonObject{{QStringLiteral("name"), g.name}, {QStringLiteral("projectors"), members}};
    }
    return out;
}

// GET /api/commands: the one-shots a projector's set takes, each with its caption on the panel and its group:
// the panel's frame (POWER, INPUT MODE SET, NO SHOW, ...), or by its code where the panel has no frame
// caption for it (picture mode, lamp mode, input signal, status queries; the rest of the menu's keys).
QJsonArray HttpRoutes::commandList() {
    static const QJsonArray list = [] {
        static const std::pair<const char *, const char *> byCode[] = {{"CF IMAGE ", "PICTURE MODE"},
                                                                       {"CF LAMPMODE ", "LAMP MODE"},
                                                                       {"CF INPUT", "INPUT SIGNAL"},
                                                                       {"CR", "STATUS"}};
        QJsonArray out;
        for (const kr7::OneShot &b : kr7::kOneShots) {
            const QString code = fromView(b.code);
            const panel::Control *button = panel::findControl(b.name);
            const panel::Control *frame = button ? panel::findControl(button->container) : nullptr;
            QString group;
            for (const auto &[prefix, name] : byCode)
                if (group.isEmpty() && code.startsWith(QLatin1String(prefix)))
                    group = QLatin1String(name);
            // Else the frame's caption, its first label.
            for (const panel::Control &c : panel::kControls)
                if (frame && group.isEmpty() && c.kind == panel::Kind::Label && c.container == frame->name)
                    group = fromView(c.caption);
            if (group.isEmpty())
                group = QStringLiteral("MENU");
            const QString caption = group == QLatin1String("INPUT SIGNAL") || !button
                                        ? fromView(b.what)
                                        : fromView(button->caption);
            out << QJsonObject{{QStringLiteral("code"), code},
                               {QStringLiteral("what"), fromView(b.what)},
                               {QStringLiteral("caption"), caption},
                               {QStringLiteral("group"), group}};
        }
        return out;
    }();
    return list;
}

// POST /api/projectors/NAME/lamps/N: an operator records a lamp's replacement.
void HttpRoutes::lamp(const HeldRequest &request, QTcpSocket *socket, const QString &user) {
    if (!mayAct(request, socket, user))
        return;
    const QStringList parts = request.path.mid(int(qstrlen("/api/projectors/"))).split(QLatin1Char('/'));
    if (parts.size() != 3 || parts[1] != QLatin1String("lamps"))
        return send(socket, request, 404, "application/json",
                    compact(QJsonObject{
                        {QStringLiteral("error"), QStringLiteral("/api/projectors/NAME/lamps/1-4")}}));
    const LampDesk::Answer a =
        m_services.lamps.record(parts[0], parts[2], request.body, originOf(request, user));
    send(socket, request, a.status, "application/json", compact(a.body));
}

void HttpRoutes::schedules(const HeldRequest &request, QTcpSocket *socket, const QString &user) {
    using M = QHttpServerRequest::Method;
    if (request.path == QLatin1String("/api/schedules")) {
        if (request.method != M::Get && request.method != M::Head)
            return send(socket, request, 405, "text/plain", "only GET\n", {{"Allow", "GET, HEAD"}});
        return send(socket, request, 200, "application/json",
                    QJsonDocument(m_services.schedules.list()).toJson(QJsonDocument::Compact));
    }
    if (request.method != M::Post)
        return send(socket, request, 405, "text/plain", "only POST\n", {{"Allow", "POST"}});
    if (!mayAct(request, socket, user))
        return;
    const QString name = request.path.mid(int(qstrlen("/api/schedules/")));
    const ScheduleDesk::Answer a = m_services.schedules.steer(name, request.body, originOf(request, user));
    send(socket, request, a.status, "application/json", compact(a.body));
}

void HttpRoutes::openStream(const HeldRequest &request, QTcpSocket *socket, const QString &user) {
    if (!m_events.hasRoom())
        return send(socket, request, 503, "text/plain", "too many consoles open\n", {{"Retry-After", "10"}});
    const QByteArray head =
        "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-store\r\n" +
        securityHeaders() + "\r\n";
    // First what the page needs to draw everything, then the changes as they come.
    const QJsonObject hello{
        {QStringLiteral("now"), QString::fromLatin1(traffic::timestamp(QDateTime::currentDateTime()))},
        {QStringLiteral("operator"), m_auth.mayCommand(user)},
        {QStringLiteral("version"), QStringLiteral(KR7_VERSION)}};
    m_events.open(socket, head, hello);
    if (m_admission)
        m_admission->streaming(socket);
}

namespace {

QueryItems itemsOf(const QUrlQuery &query) {
    QueryItems items;
    for (const auto &[k, v] : query.queryItems(QUrl::FullyDecoded))
        items.append({k, v});
    return items;
}

QByteArray errorBody(const QString &why) {
    return compact(QJsonObject{{QStringLiteral("error"), why}});
}

QString csvTime(qint64 ms) {
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODateWithMs);
}

QString orEmpty(const std::optional<qint64> &v) {
    return v ? QString::number(*v) : QString();
}

} // namespace

void HttpRoutes::history(const HeldRequest &request, QTcpSocket *socket) {
    if (!m_history)
        return send(socket, request, 404, "application/json",
                    errorBody(QStringLiteral("the history is off")));
    auto parsed = parseHistoryQuery(itemsOf(request.query), request.acceptsCsv, QTimeZone::systemTimeZone());
    if (const QString *why = std::get_if<QString>(&parsed))
        return send(socket, request, 400, "application/json", errorBody(*why));
    HistoryQuery q = std::get<HistoryQuery>(parsed);
    QPointer<QTcpSocket> alive(socket);
    const bool queued = m_history->read<EventsPage>(
        [q](HistoryDb &db) { return db.events(q); }, socket,
        [this, alive, request, csv = q.csv](const std::optional<EventsPage> &page, const QString &error) {
            if (!alive)
                return;
            if (!page)
                return send(alive, request, 503, "application/json",
                            errorBody(QStringLiteral("the history cannot be read: %1").arg(error)));
            if (csv) {
                QByteArray body =
                    csvRecord({QStringLiteral("id"), QStringLiteral("at"), QStringLiteral("projector"),
                               QStringLiteral("line"), QStringLiteral("kind"), QStringLiteral("origin"),
                               QStringLiteral("details")});
                for (const auto &[id, e] : page->events)
                    body += csvRecord(
                        {QString::number(id), csvTime(e.atMs), e.projector, e.line, e.kind, e.origin,
                         QString::fromUtf8(QJsonDocument(e.details).toJson(QJsonDocument::Compact))});
                QList<std::pair<QByteArray, QByteArray>> extra{
                    {"Content-Disposition", "attachment; filename=\"kr7-history.csv\""}};
                if (page->next)
                    extra.append({"X-KR7-Next", QByteArray::number(*page->next)});
                return send(alive, request, 200, "text/csv; charset=utf-8", body, extra);
            }
            QJsonArray events;
            for (const auto &[id, e] : page->events)
                events << e.toJson(id);
            send(alive, request, 200, "application/json",
                 compact({{QStringLiteral("events"), events},
                          {QStringLiteral("next"),
                           page->next ? QJsonValue(double(*page->next)) : QJsonValue(QJsonValue::Null)}}));
        });
    if (!queued)
        send(socket, request, 503, "application/json",
             errorBody(QStringLiteral("busy reading the history; try again")), {{"Retry-After", "1"}});
}

void HttpRoutes::samples(const HeldRequest &request, QTcpSocket *socket) {
    if (!m_history)
        return send(socket, request, 404, "application/json",
                    errorBody(QStringLiteral("the history is off")));
    auto parsed = parseSamplesQuery(itemsOf(request.query), request.acceptsCsv, QTimeZone::systemTimeZone(),
                                    QDateTime::currentMSecsSinceEpoch());
    if (const QString *why = std::get_if<QString>(&parsed))
        return send(socket, request, 400, "application/json", errorBody(*why));
    const SamplesQuery q = std::get<SamplesQuery>(parsed);
    if (m_services.state.indexOf(q.projector) < 0)
        return send(socket, request, 404, "application/json",
                    errorBody(QStringLiteral("no projector named '%1' here").arg(q.projector)));
    QPointer<QTcpSocket> alive(socket);
    const bool queued = m_history->read<QList<Sample>>(
        [q](HistoryDb &db) { return db.samples(q); }, socket,
        [this, alive, request, q](const std::optional<QList<Sample>> &rows, const QString &error) {
            if (!alive)
                return;
            if (!rows)
                return send(alive, request, 503, "application/json",
                            errorBody(QStringLiteral("the history cannot be read: %1").arg(error)));
            if (q.csv) {
                QByteArray body = csvRecord({QStringLiteral("at"), QStringLiteral("projector"),
                                             QStringLiteral("power_code"), QStringLiteral("lamp1_hours"),
                                             QStringLiteral("lamp2_hours"), QStringLiteral("lamp3_hours"),
                                             QStringLiteral("lamp4_hours"), QStringLiteral("temperature1"),
                                             QStringLiteral("temperature2"), QStringLiteral("pressure_hpa")});
                for (const Sample &s : *rows) {
                    QStringList f{csvTime(s.atMs), s.projector, s.powerCode};
                    for (const auto &h : s.lampHours)
                        f << orEmpty(h);
                    for (const auto &t : s.temperatures)
                        f << (t ? QString::number(*t) : QString());
                    f << orEmpty(s.pressureHpa);
                    body += csvRecord(f);
                }
                return send(alive, request, 200, "text/csv; charset=utf-8", body,
                            {{"Content-Disposition", "attachment; filename=\"kr7-samples.csv\""}});
            }
            QJsonArray out;
            for (const Sample &s : *rows) {
                QJsonObject o = s.toJson();
                o.remove(QStringLiteral("projector"));
                out << o;
            }
            send(alive, request, 200, "application/json",
                 compact({{QStringLiteral("projector"), q.projector}, {QStringLiteral("samples"), out}}));
        });
    if (!queued)
        send(socket, request, 503, "application/json",
             errorBody(QStringLiteral("busy reading the history; try again")), {{"Retry-After", "1"}});
}

void HttpRoutes::missingHandler(const QHttpServerRequest &request, QTcpSocket *socket) {
    send(socket, HeldRequest::of(request, socket), 404, "text/plain", "not found\n");
}

} // namespace kr7::bridge
