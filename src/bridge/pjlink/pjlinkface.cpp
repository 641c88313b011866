#include "pjlinkface.h"

#include "changefeed.h"
#include "commands.h"
#include "journal.h"
#include "kr7version.h"
#include "limiter.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <array>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
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
struct ProjectorCopy {
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

// Failed digests per address, shared by every thread: five within a minute and that address is refused on
// every projector's listener for a minute.
struct PjlinkFace::AuthLimits {
    std::mutex lock;
    LoginLimiter limiter;
    QElapsedTimer clock;
    AuthLimits() { clock.start(); }
    bool blocked(const QString &address) {
        const std::lock_guard<std::mutex> hold(lock);
        return limiter.blocked(address, clock.elapsed());
    }
    // True when this failure blocks the address.
    bool failed(const QString &address) {
        const std::lock_guard<std::mutex> hold(lock);
        return limiter.failed(address, clock.elapsed());
    }
};

// Everything on the face's thread: the listeners, their controllers' connections and the copies they answer
// from. Its members are touched on that thread only; the face reaches it through queued calls.
class PjlinkFace::FaceThread : public QObject {
  public:
    // A setting for a projector's line, from the controller at address; done follows on this thread.
    using Submit = std::function<void(const QString &projector, const QString &address, const SetRequest &,
                                      std::function<void(const CommandOutcome &)>)>;
    using Record = std::function<void(QList<Sample>)>;
    // An address that has just been refused for a minute: every thread closes its connections.
    using Blocked = std::function<void(const QString &address)>;

    FaceThread(int thread, Submit submit, Record record, std::shared_ptr<AuthLimits> limits, Blocked blocked)
        : m_thread(thread), m_submit(std::move(submit)), m_record(std::move(record)),
          m_limits(std::move(limits)), m_blocked(std::move(blocked)) {}

    void start();
    void stop();
    void reconfigure(const std::map<QString, PjlinkListen> &listens, const PjlinkConfig &shared);
    // Copies of the projectors that changed.
    void updateCopies(std::map<QString, ProjectorCopy> copies);
    // These are all the copies there are now (after a reload): the others are forgotten.
    void replaceCopies(std::map<QString, ProjectorCopy> copies);
    // Closes every connection from the address.
    void dropFrom(const QString &address);

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
    std::shared_ptr<AuthLimits> m_limits;
    Blocked m_blocked;
    PjlinkConfig m_config;
    std::map<QString, std::unique_ptr<Listener>> m_listeners; // by projector name
    std::map<QString, ProjectorCopy> m_copies;
    bool m_started = false;
    std::map<QString, std::map<const FaceFamily *, double>> m_unrecorded;
    QTimer *m_recordTimer = nullptr;
};

struct PjlinkFace::FaceThread::Connection : QObject {
    // The requests of this connection in the order they came; a setting waits for its line, and what comes
    // after it waits with it, so that replies keep the requests' order.
    struct Pending {
        PjlinkRequest request;
        std::optional<QByteArray> value;
        bool started = false; // its setting was handed to the line
    };
    Connection(QTcpSocket *s, Listener *l, PjlinkSession session)
        : socket(s), listener(l), session(std::move(session)), address(s->peerAddress().toString()) {}
    QTcpSocket *socket;
    Listener *listener;
    PjlinkSession session;
    QString address;
    QTimer idle;
    std::deque<std::shared_ptr<Pending>> pending;
    bool closing = false;
};

struct PjlinkFace::FaceThread::Listener {
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

void PjlinkFace::FaceThread::reconfigure(const std::map<QString, PjlinkListen> &listens,
                                         const PjlinkConfig &shared) {
    std::map<QString, PjlinkListen> wanted;
    for (const auto &[name, where] : listens)
        if (threadOf(name) == m_thread)
            wanted[name] = where;
    const bool sharedChanged = !(shared == m_config);
    m_config = shared;
    for (auto it = m_listeners.begin(); it != m_listeners.end();) {
        const auto w = wanted.find(it->first);
        if (w == wanted.end() || !(w->second == it->second->listen) || sharedChanged) {
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

void PjlinkFace::FaceThread::start() {
    m_started = true;
    for (auto &[name, l] : m_listeners)
        if (!l->server.isListening())
            listen(*l);
}

void PjlinkFace::FaceThread::stop() {
    m_started = false;
    for (auto &[name, l] : m_listeners) {
        for (Connection *c : QList<Connection *>(l->connections))
            drop(c);
        l->rebind.stop();
        l->server.close();
    }
}

void PjlinkFace::FaceThread::record(const Listener &l, const FaceFamily *family, double value) {
    // Into the state at most once a second per projector: a controller polling five queries in a row then
    // costs one change, not five.
    m_unrecorded[l.name][family] = value;
    if (!m_recordTimer) {
        m_recordTimer = new QTimer(this);
        m_recordTimer->setSingleShot(true);
        m_recordTimer->setInterval(kRecordEveryMs);
        connect(m_recordTimer, &QTimer::timeout, this, &FaceThread::recordNow);
    }
    if (!m_recordTimer->isActive())
        m_recordTimer->start();
}

void PjlinkFace::FaceThread::recordNow() {
    QList<Sample> samples;
    for (const auto &[name, values] : std::exchange(m_unrecorded, {}))
        for (const auto &[family, value] : values)
            samples.append(Sample{name, family, value});
    m_record(std::move(samples));
}

void PjlinkFace::FaceThread::listen(Listener &l) {
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

void PjlinkFace::FaceThread::accept(Listener &l) {
    while (QTcpSocket *socket = l.server.nextPendingConnection()) {
        if (l.connections.size() >= kMaxConnections || m_limits->blocked(socket->peerAddress().toString())) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        // What the socket keeps of a controller's bytes not yet taken: beyond it, the rest waits in TCP's
        // buffers (the controller's own, in the end).
        socket->setReadBufferSize(kReadBufferBytes);
        const QByteArray random =
            QByteArray::number(QRandomGenerator::system()->generate(), 16).rightJustified(8, '0');
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

void PjlinkFace::FaceThread::drop(Connection *c) {
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

PjlinkProjector PjlinkFace::FaceThread::view(const Listener &l) const {
    PjlinkProjector v;
    v.name = l.name;
    v.inputs = l.listen.inputs;
    v.frozen = l.frozen;
    v.version = QStringLiteral(KR7_VERSION);
    v.info = m_config.info;
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
void PjlinkFace::FaceThread::updateCopies(std::map<QString, ProjectorCopy> copies) {
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

void PjlinkFace::FaceThread::replaceCopies(std::map<QString, ProjectorCopy> copies) {
    m_copies.clear();
    updateCopies(std::move(copies));
}

// Lines are taken one at a time while fewer than kMaxWaitingRequests wait for their answer (a setting waits
// for its line, and what came after it with it); the rest stays in the socket's bounded buffer and in TCP's,
// so a controller that writes faster than it is answered is slowed down, never held in memory.
void PjlinkFace::FaceThread::onBytes(Connection *c) {
    if (c->closing)
        return;
    c->idle.start(kIdleMs);
    while (!c->closing && c->pending.size() < kMaxWaitingRequests) {
        // More than the buffer holds: the socket also looks for bytes beyond it, and reads again once room is
        // made.
        const QByteArray chunk = c->socket->peek(kReadBufferBytes + 1);
        if (chunk.isEmpty())
            return;
        qsizetype taken = 0;
        while (taken < chunk.size() && !c->closing && c->pending.size() < kMaxWaitingRequests) {
            const qsizetype cr = chunk.indexOf('\r', taken);
            const qsizetype end = cr < 0 ? chunk.size() : cr + 1;
            const QList<PjlinkSession::Event> events =
                c->session.feed(QByteArrayView(chunk).sliced(taken, end - taken));
            taken = end;
            for (const PjlinkSession::Event &e : events) {
                switch (e.kind) {
                case PjlinkSession::Event::Kind::AuthFailed:
                    c->socket->skip(taken);
                    c->listener->authFailures += 1;
                    record(*c->listener, &kAuthFailures, c->listener->authFailures);
                    if (m_limits->failed(c->address)) // before the answer: the address's next try is refused
                        m_blocked(c->address);
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
        if (!c->closing)
            c->socket->skip(taken);
    }
}

void PjlinkFace::FaceThread::dropFrom(const QString &address) {
    for (auto &[name, l] : m_listeners)
        for (Connection *c : QList<Connection *>(l->connections))
            if (c->address == address)
                drop(c);
}

void PjlinkFace::FaceThread::answer(Connection *c, const PjlinkRequest &request) {
    Listener &l = *c->listener;
    l.requests += 1;
    record(l, &kRequests, l.requests);
    c->pending.push_back(
        std::make_shared<Connection::Pending>(Connection::Pending{request, std::nullopt, false}));
    flush(c);
}

// Works through the connection's requests in order: each is taken up only when those before it are answered
// (a query behind a setting then reads the state the setting left), and each reply goes out in one write.
void PjlinkFace::FaceThread::flush(Connection *c) {
    Listener &l = *c->listener;
    while (!c->pending.empty()) {
        const std::shared_ptr<Connection::Pending> p = c->pending.front();
        if (p->value) {
            if (!c->closing)
                c->socket->write(pjlinkReply(p->request, *p->value)), c->socket->flush();
            c->pending.pop_front();
            // A controller that does not read what it asked for: closed before its replies pile up here.
            if (!c->closing && c->socket->bytesToWrite() > kMaxUnreadReplyBytes)
                return drop(c);
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
        r.followQuery = QString::fromLatin1(a.follow.data(), qsizetype(a.follow.size()));
        QPointer<Connection> alive(c);
        m_submit(l.name, c->socket->peerAddress().toString(), r,
                 [this, alive, p, name = l.name, a](const CommandOutcome &o) {
                     if (!o.exchange)
                         p->value =
                             QByteArray("ERR3"); // not sent: the queue is full, the line paused or closed
                     else if (!o.exchange->replied)
                         p->value = QByteArray("ERR4");
                     else {
                         p->value = a.value;
                         if (const auto it = m_listeners.find(name); a.freeze && it != m_listeners.end())
                             it->second->frozen = *a.freeze;
                     }
                     if (!alive)
                         return;
                     flush(alive);
                     onBytes(alive); // what waited behind the setting
                 });
        break;
    }
}

namespace {

ProjectorCopy copyOf(const ProjectorState &p) {
    return ProjectorCopy{p.port, p.unit, p.available, p.readings};
}

} // namespace

struct PjlinkFace::Part {
    std::map<QString, PjlinkListen> listens;
    PjlinkConfig shared;
    bool operator==(const Part &o) const { return listens == o.listens && shared == o.shared; }
};

PjlinkFace::Part PjlinkFace::partOf(const Config &config) {
    Part part;
    part.shared = config.pjlink;
    for (const LineConfig &line : config.lines)
        for (const ProjectorConfig &p : line.projectors)
            if (p.pjlink)
                part.listens[p.name] = *p.pjlink;
    return part;
}

PjlinkFace::PjlinkFace(FaceServices services, const Settings &settings, QObject *parent)
    : Face(parent), m_services(services), m_limits(std::make_shared<AuthLimits>()) {
    auto toState = [this](QList<Sample> samples) {
        QMetaObject::invokeMethod(this, [this, samples = std::move(samples)] {
            for (const Sample &s : samples)
                if (const auto it = m_indexOf.constFind(s.projector); it != m_indexOf.constEnd())
                    m_services.state.changeFaceSample(*it, s.family, s.value);
        });
    };
    for (int t = 0; t < kThreads; ++t) {
        auto toLine = [this, t](const QString &projector, const QString &address, const SetRequest &request,
                                std::function<void(const CommandOutcome &)> done) {
            // Over to this thread; a face gone meanwhile drops it.
            QMetaObject::invokeMethod(this, [=, this, done = std::move(done)]() mutable {
                submitFrom(t, projector, address, request, std::move(done));
            });
        };
        m_faceThreads[t] = new FaceThread(t, toLine, toState, m_limits, [this](const QString &address) {
            QMetaObject::invokeMethod(this, [this, address] {
                journal(
                    QStringLiteral("pjlink: %1 failed to authenticate %2 times within a minute; refused on "
                                   "every projector for a minute")
                        .arg(address)
                        .arg(LoginLimiter::kMaxFailures));
                onEachThread([address](FaceThread &f) { f.dropFrom(address); });
            });
        });
        m_faceThreads[t]->moveToThread(&m_threads[t]);
        m_threads[t].setObjectName(QStringLiteral("pjlink-%1").arg(t + 1));
        m_threads[t].start();
    }
    take(settings.config);
    connect(&m_services.feed, &ChangeFeed::changed, this, &PjlinkFace::onChanges);
}

// The process is ending: each thread closes what it has and ends; their end is waited for, boundedly.
PjlinkFace::~PjlinkFace() {
    for (int t = 0; t < kThreads; ++t) {
        if (FaceThread *f = m_faceThreads[t])
            QMetaObject::invokeMethod(f, [f] { delete f; });
        m_threads[t].quit();
    }
    QDeadlineTimer deadline(kEndWaitMs);
    for (int t = 0; t < kThreads; ++t)
        if (!m_threads[t].wait(deadline))
            journal(QStringLiteral("pjlink: thread %1 did not end in time").arg(t + 1));
}

int PjlinkFace::threadOf(const QString &projector) {
    return int(qHash(projector, 0) % kThreads);
}

void PjlinkFace::onEachThread(std::function<void(FaceThread &)> work) {
    for (int t = 0; t < kThreads; ++t)
        if (FaceThread *f = m_faceThreads[t])
            QMetaObject::invokeMethod(f, [work, f] { work(*f); });
}

bool PjlinkFace::start(QString *) {
    onEachThread([](FaceThread &f) { f.start(); });
    return true;
}

void PjlinkFace::stop() {
    onEachThread([](FaceThread &f) { f.stop(); });
}

void PjlinkFace::submitFrom(int thread, const QString &projector, const QString &address,
                            const SetRequest &request, std::function<void(const CommandOutcome &)> done) {
    // The outcome goes back to the connection's thread; before it, the copy of the projector, so that a query
    // behind the setting reads what the setting's follow-up query read.
    auto back = [this, thread, done](const CommandOutcome &outcome) {
        if (FaceThread *f = m_faceThreads[thread])
            QMetaObject::invokeMethod(f, [done, outcome] { done(outcome); });
    };
    const int index = m_services.state.indexOf(projector);
    if (index < 0 || !m_indexOf.contains(projector))
        return back(CommandOutcome{{}, {}, QStringLiteral("the projector has no PJLink face any more")});
    m_services.commands.submit(index, request, Origin{QStringLiteral("pjlink"), {}, address, {}, {}, {}},
                               this, [this, index, name = projector, back](const CommandOutcome &outcome) {
                                   if (m_services.state.indexOf(name) == index)
                                       copyOver({index});
                                   back(outcome);
                               });
}

FaceReload PjlinkFace::reconfigure(const Settings &next) {
    const bool same = partOf(next.config) == Part{m_listens, m_shared};
    take(next.config);
    return same ? FaceReload::kept() : FaceReload::restarted();
}

void PjlinkFace::take(const Config &config) {
    const Part part = partOf(config);
    m_listens = part.listens;
    m_shared = part.shared;
    m_indexOf.clear();
    for (const auto &[name, where] : m_listens)
        m_indexOf.insert(name, m_services.state.indexOf(name));
    // The face's series leave with it: a projector without a listener has none.
    for (qsizetype i = 0; i < m_services.state.projectors().size(); ++i) {
        const ProjectorState &p = m_services.state.projectors()[i];
        if (m_indexOf.contains(p.name))
            continue;
        for (const FaceFamily *f : {&kListening, &kConnections, &kRequests, &kAuthFailures})
            if (std::any_of(p.faceSamples.begin(), p.faceSamples.end(),
                            [f](const FaceSample &s) { return s.family == f; }))
                m_services.state.changeFaceSample(int(i), f, std::nullopt);
    }
    onEachThread([listens = m_listens, shared = m_shared](FaceThread &f) { f.reconfigure(listens, shared); });
    copyAll();
}

void PjlinkFace::onChanges(const StateChanges &changes) {
    if (changes.reset)
        return; // take() follows with the new numbering
    copyOver(changes.projectors);
}

// The copies of these projectors (those with a PJLink face), each to its thread.
void PjlinkFace::copyOver(const QList<int> &indexes) {
    std::array<std::map<QString, ProjectorCopy>, kThreads> copies;
    for (const int index : indexes)
        if (index < m_services.state.projectors().size() &&
            m_indexOf.contains(m_services.state.projectors()[index].name)) {
            const ProjectorState &p = m_services.state.projectors()[index];
            copies[threadOf(p.name)].emplace(p.name, copyOf(p));
        }
    for (int t = 0; t < kThreads; ++t)
        if (!copies[t].empty())
            if (FaceThread *f = m_faceThreads[t])
                QMetaObject::invokeMethod(
                    f, [f, c = std::move(copies[t])]() mutable { f->updateCopies(std::move(c)); });
}

// Every thread is sent what it has now, if nothing, so that a projector gone in a reload is forgotten.
void PjlinkFace::copyAll() {
    std::array<std::map<QString, ProjectorCopy>, kThreads> copies;
    for (const ProjectorState &p : m_services.state.projectors())
        if (m_indexOf.contains(p.name))
            copies[threadOf(p.name)].emplace(p.name, copyOf(p));
    for (int t = 0; t < kThreads; ++t)
        if (FaceThread *f = m_faceThreads[t])
            QMetaObject::invokeMethod(
                f, [f, c = std::move(copies[t])]() mutable { f->replaceCopies(std::move(c)); });
}

} // namespace kr7::bridge
