#include "eventstream.h"

#include "changefeed.h"
#include "state.h"

#include <QJsonDocument>
#include <QTcpSocket>

namespace kr7::bridge {

namespace {

QByteArray compact(const QJsonObject &o) {
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

} // namespace

QByteArray projectorEvent(const QJsonObject &stateObject) {
    return "event: projector\ndata: " + compact(stateObject) + "\n\n";
}

EventStream::EventStream(const BridgeState &state, ChangeFeed &feed, QObject *parent)
    : QObject(parent), m_state(state) {
    connect(&feed, &ChangeFeed::changed, this, &EventStream::onChanges);
    m_keepAlive.setInterval(kKeepAliveMs);
    connect(&m_keepAlive, &QTimer::timeout, this, &EventStream::keepAlive);
}

bool EventStream::isStream(const QTcpSocket *socket) const {
    return std::any_of(m_streams.begin(), m_streams.end(),
                       [socket](const QPointer<QTcpSocket> &s) { return s == socket; });
}

bool EventStream::hasRoom() const {
    return m_streams.size() < kMaxStreams;
}

void EventStream::open(QTcpSocket *socket, const QByteArray &head, const QJsonObject &hello) {
    QByteArray out = head + "retry: 2000\nevent: hello\ndata: " + compact(hello) + "\n\n";
    for (const ProjectorState &p : m_state.projectors())
        out += projectorEvent(stateObject(p));
    socket->write(out);
    m_streams.append(QPointer<QTcpSocket>(socket));
    // Its place is free the moment it closes, not when the socket is deleted later.
    const auto gone = [this, socket] {
        m_streams.removeIf([socket](const QPointer<QTcpSocket> &s) { return !s || s == socket; });
    };
    connect(socket, &QTcpSocket::disconnected, this, gone);
    connect(socket, &QObject::destroyed, this, gone);
    if (!m_keepAlive.isActive())
        m_keepAlive.start();
}

void EventStream::onChanges(const StateChanges &changes) {
    if (m_streams.isEmpty())
        return;
    QByteArray events;
    if (changes.reset) {
        events = "event: reset\ndata: {}\n\n";
        for (const ProjectorState &p : m_state.projectors())
            events += projectorEvent(stateObject(p));
    } else {
        for (const int index : changes.projectors)
            events += projectorEvent(stateObject(m_state.projectors()[index]));
    }
    if (!events.isEmpty())
        toEvery(events);
}

void EventStream::toEvery(const QByteArray &events) {
    for (const QPointer<QTcpSocket> &s : QList<QPointer<QTcpSocket>>(m_streams)) {
        if (!s)
            continue;
        if (s->bytesToWrite() > kMaxUnsentBytes) {
            s->abort(); // a reader this far behind: its page reconnects and starts afresh
            continue;
        }
        s->write(events);
    }
}

void EventStream::keepAlive() {
    if (m_streams.isEmpty())
        return m_keepAlive.stop();
    toEvery(": keep-alive\n\n");
}

} // namespace kr7::bridge
