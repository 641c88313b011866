#include "pjlinkface.h"

#include "journal.h"
#include "kr7version.h"

#include <QPointer>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>

#include <deque>

namespace kr7::bridge {

const FaceFamily PjlinkFace::kListening{"kr7_pjlink_listening", "gauge",
                                        "1 while the projector's PJLink listener is bound."};
const FaceFamily PjlinkFace::kConnections{"kr7_pjlink_connections", "gauge",
                                          "PJLink controllers connected to the projector now."};
const FaceFamily PjlinkFace::kRequests{"kr7_pjlink_requests_total", "counter",
                                       "PJLink requests the projector's face answered."};
const FaceFamily PjlinkFace::kAuthFailures{
    "kr7_pjlink_auth_failures_total", "counter",
    "PJLink connections closed for a wrong or missing password digest."};

struct PjlinkFace::Connection : QObject {
    // The requests of this connection in the order they came; a setting waits for its line, and what comes
    // after it waits with it, so that replies keep the requests' order.
    struct Pending {
        PjlinkRequest request;
        std::optional<QByteArray> value;
        bool started = false; // its setting was handed to the line
    };
    Connection(QTcpSocket *s, Listener *l, PjlinkSession session)
        : socket(s), listener(l), session(std::move(session)) {}
    QTcpSocket *socket;
    Listener *listener;
    PjlinkSession session;
    QTimer idle;
    std::deque<std::shared_ptr<Pending>> pending;
    bool closing = false;
};

struct PjlinkFace::Listener {
    QString name;
    PjlinkListen listen;
    QTcpServer server;
    QTimer rebind;
    bool saidUnbound = false;
    bool frozen = false;
    char power = '?'; // the last power answer
    int index = -1;   // in the state
    QList<Connection *> connections;
    double requests = 0, authFailures = 0;
};

PjlinkFace::PjlinkFace(const BridgeState &state, const Config &config, Submit submit, Record record,
                       QObject *parent)
    : QObject(parent), m_state(state), m_config(config.pjlink), m_submit(std::move(submit)),
      m_record(std::move(record)) {
    m_recordTimer.setSingleShot(true);
    m_recordTimer.setInterval(kRecordEveryMs);
    connect(&m_recordTimer, &QTimer::timeout, this, &PjlinkFace::recordNow);
    reconfigure(config);
    // The freeze that was sent holds while the projector stays on: it ends when the power answer leaves 1.
    connect(&m_state, &BridgeState::projectorChanged, this, [this](int index) {
        for (auto &[name, l] : m_listeners)
            if (l->index == index) {
                const QJsonValue code = m_state.projectors()[index].readings.value("power_code");
                const char power = pjlinkPower(code.toString()).value_or('?');
                if (l->power == '1' && power != '1')
                    l->frozen = false;
                l->power = power;
            }
    });
    connect(&m_state, &BridgeState::reconfigured, this, [this] {
        for (auto &[name, l] : m_listeners)
            l->index = m_state.indexOf(name);
    });
}

PjlinkFace::~PjlinkFace() {
    stop();
}

void PjlinkFace::reconfigure(const Config &config) {
    std::map<QString, PjlinkListen> wanted;
    for (const LineConfig &line : config.lines)
        for (const ProjectorConfig &p : line.projectors)
            if (p.pjlink)
                wanted[p.name] = *p.pjlink;
    const bool passwordChanged = config.pjlink != m_config;
    m_config = config.pjlink;
    for (auto it = m_listeners.begin(); it != m_listeners.end();) {
        const auto w = wanted.find(it->first);
        if (w == wanted.end() || !(w->second == it->second->listen) || passwordChanged) {
            for (Connection *c : QList<Connection *>(it->second->connections))
                drop(c);
            it = m_listeners.erase(it);
        } else {
            wanted.erase(w);
            ++it;
        }
    }
    for (auto &[name, where] : wanted) {
        auto l = std::make_unique<Listener>();
        l->name = name;
        l->listen = where;
        l->index = m_state.indexOf(name);
        l->rebind.setSingleShot(true);
        Listener *raw = l.get();
        connect(&l->rebind, &QTimer::timeout, this, [this, raw] { listen(*raw); });
        connect(&l->server, &QTcpServer::newConnection, this, [this, raw] { accept(*raw); });
        m_listeners[name] = std::move(l);
        if (m_started)
            listen(*raw);
    }
}

void PjlinkFace::start() {
    m_started = true;
    for (auto &[name, l] : m_listeners)
        if (!l->server.isListening())
            listen(*l);
}

void PjlinkFace::stop() {
    m_started = false;
    for (auto &[name, l] : m_listeners) {
        for (Connection *c : QList<Connection *>(l->connections))
            drop(c);
        l->rebind.stop();
        l->server.close();
    }
}

void PjlinkFace::record(const Listener &l, const FaceFamily *family, double value) {
    if (l.index < 0)
        return;
    // Into the state at most once a second per projector: a controller polling five queries in a row then
    // costs one change, not five.
    m_unrecorded[l.name][family] = value;
    if (!m_recordTimer.isActive())
        m_recordTimer.start();
}

void PjlinkFace::recordNow() {
    for (const auto &[name, samples] : std::exchange(m_unrecorded, {})) {
        const auto it = m_listeners.find(name);
        if (it == m_listeners.end() || it->second->index < 0)
            continue;
        for (const auto &[family, value] : samples)
            m_record(it->second->index, family, value);
    }
}

void PjlinkFace::listen(Listener &l) {
    const QString where = QStringLiteral("%1:%2").arg(l.listen.host).arg(l.listen.port);
    if (l.server.listen(QHostAddress(l.listen.host), l.listen.port)) {
        l.server.setMaxPendingConnections(kMaxConnections + 1);
        if (l.saidUnbound)
            journal(QStringLiteral("pjlink: projector %1 listens on %2 now").arg(l.name, where));
        l.saidUnbound = false;
        record(l, &kListening, 1);
        return;
    }
    // The address may not be on an interface yet (a network that comes up late): said once, tried again.
    if (!l.saidUnbound)
        journal(QStringLiteral("pjlink: projector %1 cannot listen on %2 (%3); trying again every %4 s")
                    .arg(l.name, where, l.server.errorString())
                    .arg(kRebindMs / 1000));
    l.saidUnbound = true;
    record(l, &kListening, 0);
    l.rebind.start(kRebindMs);
}

void PjlinkFace::accept(Listener &l) {
    while (QTcpSocket *socket = l.server.nextPendingConnection()) {
        if (l.connections.size() >= kMaxConnections) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        const QByteArray random =
            QByteArray::number(QRandomGenerator::global()->generate(), 16).rightJustified(8, '0');
        auto *c = new Connection(socket, &l, PjlinkSession(m_config.password, random));
        c->setParent(this);
        socket->setParent(c);
        l.connections << c;
        record(l, &kConnections, double(l.connections.size()));
        c->idle.setSingleShot(true);
        connect(&c->idle, &QTimer::timeout, c, [this, c] { drop(c); });
        connect(socket, &QTcpSocket::readyRead, c, [this, c] { onBytes(c); });
        connect(socket, &QTcpSocket::disconnected, c, [this, c] { drop(c); });
        socket->write(c->session.greeting());
        socket->flush(); // now, not on a later turn of the loop: every turn polls every socket
        c->idle.start(kIdleMs);
    }
}

void PjlinkFace::drop(Connection *c) {
    if (c->closing)
        return;
    c->closing = true;
    Listener &l = *c->listener;
    l.connections.removeAll(c);
    record(l, &kConnections, double(l.connections.size()));
    c->idle.stop();
    c->socket->disconnect(c);
    c->socket->abort();
    c->deleteLater();
}

PjlinkProjector PjlinkFace::view(const Listener &l) const {
    PjlinkProjector v;
    v.inputs = l.listen.inputs;
    v.frozen = l.frozen;
    v.version = QStringLiteral(KR7_VERSION);
    if (l.index < 0)
        return v;
    const ProjectorState &p = m_state.projectors()[l.index];
    v.name = p.name;
    v.port = p.port;
    v.unit = p.unit;
    v.available = p.available;
    v.readings = &p.readings;
    return v;
}

void PjlinkFace::onBytes(Connection *c) {
    const QByteArray bytes = c->socket->readAll();
    c->idle.start(kIdleMs);
    for (const PjlinkSession::Event &e : c->session.feed(bytes)) {
        switch (e.kind) {
        case PjlinkSession::Event::Kind::AuthFailed:
            c->listener->authFailures += 1;
            record(*c->listener, &kAuthFailures, c->listener->authFailures);
            c->socket->write("PJLINK ERRA\r");
            c->socket->disconnectFromHost(); // after the answer; disconnected() then drops it
            return;
        case PjlinkSession::Event::Kind::Overlong:
            return drop(c);
        case PjlinkSession::Event::Kind::Request:
            answer(c, e.request);
            break;
        }
    }
}

void PjlinkFace::answer(Connection *c, const PjlinkRequest &request) {
    Listener &l = *c->listener;
    l.requests += 1;
    record(l, &kRequests, l.requests);
    c->pending.push_back(
        std::make_shared<Connection::Pending>(Connection::Pending{request, std::nullopt, false}));
    flush(c);
}

// Works through the connection's requests in order: each is taken up only when those before it are answered
// (a query behind a setting then reads the state the setting left), and each reply goes out in one write.
void PjlinkFace::flush(Connection *c) {
    Listener &l = *c->listener;
    while (!c->pending.empty()) {
        const std::shared_ptr<Connection::Pending> p = c->pending.front();
        if (p->value) {
            if (!c->closing)
                c->socket->write(pjlinkReply(p->request, *p->value)), c->socket->flush();
            c->pending.pop_front();
            continue;
        }
        if (p->started)
            break; // its line is on the way
        p->started = true;
        const PjlinkAnswer a = pjlinkAnswer(p->request, view(l));
        const std::optional<SetRequest> setting = a.code.isEmpty() ? std::nullopt : catalogueRequest(a.code);
        if (a.code.isEmpty() || !setting || l.index < 0) {
            p->value = a.code.isEmpty() ? a.value : QByteArray("ERR4");
            continue;
        }
        SetRequest r = *setting;
        r.followQuery = a.follow;
        QPointer<Connection> alive(c);
        m_submit(l.index, r, [this, alive, p, name = l.name, a](const CommandOutcome &o) {
            if (!o.exchange)
                p->value = QByteArray("ERR3"); // not sent: the queue is full, the line paused or closed
            else if (!o.exchange->replied)
                p->value = QByteArray("ERR4");
            else {
                p->value = a.value;
                if (const auto it = m_listeners.find(name); a.freeze && it != m_listeners.end())
                    it->second->frozen = *a.freeze;
            }
            if (alive)
                flush(alive);
        });
        break;
    }
    if (!c->closing)
        c->idle.start(kIdleMs);
}

} // namespace kr7::bridge
