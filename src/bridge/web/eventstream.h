#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTimer>

class QTcpSocket;

namespace kr7::bridge {

class BridgeState;
class ChangeFeed;
struct StateChanges;

// The console's live stream (GET /events, Server-Sent Events): a hello, every projector's state object, then
// each change the feed passes on, and a comment now and then that keeps a quiet stream open through proxies.
// A reader that falls kMaxUnsentBytes behind is closed (its page reconnects and starts afresh).
class EventStream : public QObject {
    Q_OBJECT
  public:
    static constexpr int kMaxStreams = 32;
    static constexpr int kKeepAliveMs = 15000;
    static constexpr qint64 kMaxUnsentBytes = 4 << 20;

    EventStream(const BridgeState &state, ChangeFeed &feed, QObject *parent = nullptr);

    // Whether another stream may open: only open ones count, a closed one's place is free at once.
    bool hasRoom() const;
    // Makes the socket a stream: head (status line and headers) and the hello, then every projector.
    void open(QTcpSocket *socket, const QByteArray &head, const QJsonObject &hello);
    qsizetype count() const { return m_streams.size(); }
    bool isStream(const QTcpSocket *socket) const;

  private:
    void onChanges(const StateChanges &changes);
    void keepAlive();
    void toEvery(const QByteArray &events);

    const BridgeState &m_state;
    QList<QPointer<QTcpSocket>> m_streams;
    QTimer m_keepAlive;
};

// A projector's event: its state object (with its alarms in words).
QByteArray projectorEvent(const QJsonObject &stateObject);

} // namespace kr7::bridge
