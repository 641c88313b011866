#include "pjlinkface.h"

#include "journal.h"
#include "kr7version.h"

#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <array>
#include <deque>
#include <map>
#include <memory>
#include <numeric>

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

namespace {

// What the face knows of a projector, copied over from the state.
struct Copy {
    QString port;
    QString unit;
    bool available = false;
    Readings readings;
};

struct Sample {
    QString projector;
    const FaceFamily *family;
    double value;
};

} // namespace

// Everything on the face's thread: the listeners, their controllers' connections and the copies they answer
// from. Its members are touched on that thread only; the face reaches it through queued calls.
class PjlinkFace::Listeners : public QObject {
  public:
    using Submit = std::function<void(const QString &projector, const SetRequest &,
                                      std::function<void(const CommandOutcome &)>)>;
    using Record = std::function<void(QList<Sample>)>;

    Listeners(int thread, Submit submit, Record record)
        : m_thread(thread), m_submit(std::move(submit)), m_record(std::move(record)) {}

    void start();
    void stop();
    void reconfigure(const Config &config);
    // Copies of projectors that changed; all: these are all there are.
    void update(std::map<QString, Copy> copies, bool all);
    // Closes everything; the face's thread ends after it.
    void end() {
        stop();
        m_listeners.clear();
    }

  private:
    struct Listener;
    struct Connection;
    void listen(Listener &l);
    void accept(Listener &l);
    void onBytes(Connection *c);
    void answer(Connection *c, const PjlinkRequest &request);
    void flush(Connection *c);
    void drop(Connection *c);
    PjlinkProjector view(const Listener &l) const;
    void record(const Listener &l, const FaceFamily *family, double value);
    void recordNow();

    int m_thread; // serves the projectors threadOf() puts here
    Submit m_submit;
    Record m_record;
    PjlinkConfig m_config;
    std::map<QString, std::unique_ptr<Listener>> m_listeners; // by projector name
    std::map<QString, Copy> m_copies;
    bool m_started = false;
    std::map<QString, std::map<const FaceFamily *, double>> m_unrecorded;
    QTimer *m_recordTimer = nullptr;
};

struct PjlinkFace::Listeners::Connection : QObject {
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

struct PjlinkFace::Listeners::Listener {
    QString name;
    PjlinkListen listen;
    QTcpServer server;
    QTimer rebind;
    bool saidUnbound = false;
    bool frozen = false;
    char power = '?'; // the last power answer
    QList<Connection *> connections;
    double requests = 0, authFailures = 0;
};

void PjlinkFace::Listeners::reconfigure(const Config &config) {
    std::map<QString, PjlinkListen> wanted;
    for (const LineConfig &line : config.lines)
        for (const ProjectorConfig &p : line.projectors)
            if (p.pjlink && threadOf(p.name) == m_thread)
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
        l->rebind.setSingleShot(true);
        Listener *raw = l.get();
        connect(&l->rebind, &QTimer::timeout, this, [this, raw] { listen(*raw); });
        connect(&l->server, &QTcpServer::newConnection, this, [this, raw] { accept(*raw); });
        m_listeners[name] = std::move(l);
        if (m_started)
            listen(*raw);
    }
}

void PjlinkFace::Listeners::start() {
    m_started = true;
    for (auto &[name, l] : m_listeners)
        if (!l->server.isListening())
            listen(*l);
}

void PjlinkFace::Listeners::stop() {
    m_started = false;
    for (auto &[name, l] : m_listeners) {
        for (Connection *c : QList<Connection *>(l->connections))
            drop(c);
        l->rebind.stop();
        l->server.close();
    }
}

void PjlinkFace::Listeners::record(const Listener &l, const FaceFamily *family, double value) {
    // Into the state at most once a second per projector: a controller polling five queries in a row then
    // costs one change, not five.
    m_unrecorded[l.name][family] = value;
    if (!m_recordTimer) {
        m_recordTimer = new QTimer(this);
        m_recordTimer->setSingleShot(true);
        m_recordTimer->setInterval(kRecordEveryMs);
        connect(m_recordTimer, &QTimer::timeout, this, &Listeners::recordNow);
    }
    if (!m_recordTimer->isActive())
        m_recordTimer->start();
}

void PjlinkFace::Listeners::recordNow() {
    QList<Sample> samples;
    for (const auto &[name, values] : std::exchange(m_unrecorded, {}))
        for (const auto &[family, value] : values)
            samples.append(Sample{name, family, value});
    m_record(std::move(samples));
}

void PjlinkFace::Listeners::listen(Listener &l) {
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

void PjlinkFace::Listeners::accept(Listener &l) {
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

void PjlinkFace::Listeners::drop(Connection *c) {
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

PjlinkProjector PjlinkFace::Listeners::view(const Listener &l) const {
    PjlinkProjector v;
    v.name = l.name;
    v.inputs = l.listen.inputs;
    v.frozen = l.frozen;
    v.version = QStringLiteral(KR7_VERSION);
    if (const auto it = m_copies.find(l.name); it != m_copies.end()) {
        v.port = it->second.port;
        v.unit = it->second.unit;
        v.available = it->second.available;
        v.readings = &it->second.readings;
    }
    return v;
}

// The copies of the projectors that changed. The freeze that was sent holds while the projector stays on: it
// ends when the power answer leaves 1.
void PjlinkFace::Listeners::update(std::map<QString, Copy> copies, bool all) {
    if (all)
        m_copies.clear();
    for (auto &[name, copy] : copies) {
        if (const auto it = m_listeners.find(name); it != m_listeners.end()) {
            Listener &l = *it->second;
            const char power = pjlinkPower(copy.readings.value("power_code").toString()).value_or('?');
            if (l.power == '1' && power != '1')
                l.frozen = false;
            l.power = power;
        }
        m_copies[name] = std::move(copy);
    }
}

void PjlinkFace::Listeners::onBytes(Connection *c) {
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

void PjlinkFace::Listeners::answer(Connection *c, const PjlinkRequest &request) {
    Listener &l = *c->listener;
    l.requests += 1;
    record(l, &kRequests, l.requests);
    c->pending.push_back(
        std::make_shared<Connection::Pending>(Connection::Pending{request, std::nullopt, false}));
    flush(c);
}

// Works through the connection's requests in order: each is taken up only when those before it are answered
// (a query behind a setting then reads the state the setting left), and each reply goes out in one write.
void PjlinkFace::Listeners::flush(Connection *c) {
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
        if (a.code.isEmpty() || !setting) {
            p->value = a.code.isEmpty() ? a.value : QByteArray("ERR4");
            continue;
        }
        SetRequest r = *setting;
        r.followQuery = a.follow;
        QPointer<Connection> alive(c);
        m_submit(l.name, r, [this, alive, p, name = l.name, a](const CommandOutcome &o) {
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

namespace {

Copy copyOf(const ProjectorState &p) {
    return Copy{p.port, p.unit, p.available, p.readings};
}

} // namespace

PjlinkFace::PjlinkFace(const BridgeState &state, const Config &config, Submit submit, Record record,
                       QObject *parent)
    : QObject(parent), m_state(state), m_submit(std::move(submit)), m_record(std::move(record)) {
    auto toState = [this](QList<Sample> samples) {
        QMetaObject::invokeMethod(this, [this, samples = std::move(samples)] {
            for (const Sample &s : samples)
                if (const auto it = m_indexOf.constFind(s.projector); it != m_indexOf.constEnd())
                    m_record(*it, s.family, s.value);
        });
    };
    for (int t = 0; t < kThreads; ++t) {
        // A setting comes over to this thread and its outcome goes back; a face gone meanwhile drops it.
        auto toLine = [this, t](const QString &projector, const SetRequest &request,
                                std::function<void(const CommandOutcome &)> done) {
            QMetaObject::invokeMethod(this, [this, t, projector, request, done = std::move(done)] {
                // The copies go over first: a query behind the setting then reads what the setting's
                // follow-up query read.
                auto back = [face = QPointer<PjlinkFace>(this), listeners = m_listeners[t],
                             done](const CommandOutcome &outcome) {
                    if (face)
                        face->copyChanged();
                    if (listeners)
                        QMetaObject::invokeMethod(listeners, [done, outcome] { done(outcome); });
                };
                if (const int index = m_state.indexOf(projector); index >= 0)
                    m_submit(index, request, back);
                else
                    back(CommandOutcome{}); // gone in a reload: not sent
            });
        };
        m_listeners[t] = new Listeners(t, toLine, toState);
        m_listeners[t]->moveToThread(&m_threads[t]);
        m_threads[t].setObjectName(QStringLiteral("pjlink-%1").arg(t + 1));
        m_threads[t].start();
    }
    reconfigure(config);
    connect(&m_state, &BridgeState::projectorChanged, this, [this](int index) {
        // Copied over once per turn of the loop however many readings changed in it.
        if (m_changed.isEmpty())
            QMetaObject::invokeMethod(this, &PjlinkFace::copyChanged, Qt::QueuedConnection);
        m_changed.insert(index);
    });
}

PjlinkFace::~PjlinkFace() {
    onEachThread([](Listeners &l) { l.end(); });
    for (int t = 0; t < kThreads; ++t) {
        m_threads[t].quit();
        m_threads[t].wait();
        delete m_listeners[t].data();
    }
}

int PjlinkFace::threadOf(const QString &projector) {
    return int(qHash(projector, 0) % kThreads);
}

void PjlinkFace::onEachThread(const std::function<void(Listeners &)> &work) {
    for (int t = 0; t < kThreads; ++t)
        QMetaObject::invokeMethod(
            m_listeners[t], [&work, l = m_listeners[t].data()] { work(*l); }, Qt::BlockingQueuedConnection);
}

void PjlinkFace::start() {
    onEachThread([](Listeners &l) { l.start(); });
}

void PjlinkFace::stop() {
    onEachThread([](Listeners &l) { l.stop(); });
}

void PjlinkFace::reconfigure(const Config &config) {
    m_indexOf.clear();
    for (const LineConfig &line : config.lines)
        for (const ProjectorConfig &p : line.projectors)
            if (p.pjlink)
                m_indexOf.insert(p.name, m_state.indexOf(p.name));
    m_changed.clear();
    onEachThread([&config](Listeners &l) { l.reconfigure(config); });
    QList<int> all(m_state.projectors().size());
    std::iota(all.begin(), all.end(), 0);
    copyOver(all, true);
}

void PjlinkFace::copyChanged() {
    const QSet<int> changed = std::exchange(m_changed, {});
    copyOver(QList<int>(changed.begin(), changed.end()), false);
}

// The copies of these projectors (those with a PJLink face), each to its thread; all: every thread is sent
// what it has now, if nothing, so that a projector gone in a reload is forgotten.
void PjlinkFace::copyOver(const QList<int> &indexes, bool all) {
    std::array<std::map<QString, Copy>, kThreads> copies;
    for (const int index : indexes)
        if (index < m_state.projectors().size() && m_indexOf.contains(m_state.projectors()[index].name)) {
            const ProjectorState &p = m_state.projectors()[index];
            copies[threadOf(p.name)].emplace(p.name, copyOf(p));
        }
    for (int t = 0; t < kThreads; ++t)
        if (all || !copies[t].empty())
            QMetaObject::invokeMethod(m_listeners[t], [l = m_listeners[t].data(), c = std::move(copies[t]),
                                                       all]() mutable { l->update(std::move(c), all); });
}

} // namespace kr7::bridge
