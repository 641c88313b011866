#pragma once

#include "config.h"
#include "mqttclient.h"
#include "setrequest.h"

#include <QElapsedTimer>
#include <QObject>
#include <QSet>
#include <QTimer>

#include <functional>

namespace kr7::bridge {

class BridgeState;

// The MQTT face: the bridge's own state (BASE/bridge/state, with the will), each projector's state object and
// availability (retained, published when they change and after every connection), Home Assistant discovery,
// and commands in on BASE/NAME/set, answered on BASE/NAME/result.
class MqttFace : public QObject {
    Q_OBJECT
  public:
    using Submit = SubmitRequest;

    MqttFace(const BridgeState &state, MqttConfig config, Submit submit, QObject *parent = nullptr);
    ~MqttFace() override;

    // False with the reason when the face cannot work as configured (its TLS files cannot be set).
    bool start(QString *error);
    // Publishes "offline" and disconnects.
    void stop();
    // Changes of one projector within this time go out as one message (a poll round changes its readings one
    // reply at a time).
    static constexpr int kCoalesceMs = 250;

  private:
    void onConnected();
    void onReconfigured(const QStringList &removed);
    void publishAll();
    void onProblem(const QString &reason);
    void publishProjector(int index);
    void flush();
    void onMessage(const QString &topic, const QByteArray &payload, bool retained);
    void answer(const QString &topic, const QJsonValue &request, const CommandOutcome &outcome);
    void refuse(const QString &topic, const QString &setTopic, const QJsonValue &request, const QString &why);
    QString topic(const QString &name, const char *suffix = nullptr) const;

    const BridgeState &m_state;
    MqttConfig m_config;
    Submit m_submit;
    MqttClient m_client;
    QList<QByteArray> m_lastState; // what was published, without last_seen; empty: nothing since connecting
    QList<int> m_lastAvailable;    // -1: nothing since connecting
    QSet<int> m_dirty;
    QTimer m_flush;
    QTimer m_resubscribe;
    int m_resubscribeMs = 1000;
    static constexpr int kMaxResubscribeMs = 300000;
    QString m_lastProblem;
    // Refusals said on stderr: at most kMaxSaid a minute, the rest counted.
    static constexpr int kMaxSaid = 20;
    QElapsedTimer m_saidWindow;
    int m_said = 0;
    int m_unsaid = 0;
};

} // namespace kr7::bridge
