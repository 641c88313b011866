#pragma once

#include "config.h"
#include "face.h"
#include "mqttclient.h"
#include "setrequest.h"

#include <QElapsedTimer>
#include <QTimer>

#include <deque>
#include <memory>
#include <optional>

namespace kr7::bridge {

struct StateChanges;

// The MQTT face: the bridge's own state (BASE/bridge/state, with the will), each projector's state object and
// availability (retained, published when the change feed says they changed and after every connection), Home
// Assistant discovery, and commands in on BASE/NAME/set, answered on BASE/NAME/result; a group's on
// BASE/group/GROUP/set (answered on .../result once every member has its outcome) and a schedule entry's
// overrides on BASE/schedule/ENTRY/set; the history's events on BASE/NAME/event. Without an mqtt section it
// does nothing.
class MqttFace : public Face {
    Q_OBJECT
  public:
    MqttFace(FaceServices services, const Settings &settings, QObject *parent = nullptr);
    ~MqttFace() override;

    QString name() const override { return QStringLiteral("mqtt"); }
    // False with the reason when the face cannot work as configured (its TLS files cannot be set).
    bool start(QString *error) override;
    // A changed mqtt section: "offline" on the old session, then the new one; the same section: the session
    // goes on.
    FaceReload reconfigure(const Settings &next) override;
    // Publishes "offline" and disconnects.
    void stop() override;

  private:
    void connectClient();
    void subscribe();
    void onConnected();
    void onChanges(const StateChanges &changes);
    void publishAll();
    void onProblem(const QString &reason);
    void publishProjector(int index);
    void onMessage(const QString &topic, const QByteArray &payload, bool retained);
    void answer(const QString &topic, const QJsonValue &request, const CommandOutcome &outcome);
    void deliver(const QString &topic, const QByteArray &payload);
    void refuse(const QString &topic, const QString &setTopic, const QJsonValue &request, const QString &why);
    QString topic(const QString &name, const char *suffix = nullptr) const;
    void goOffline();

    FaceServices m_services;
    std::optional<MqttConfig> m_config;
    std::unique_ptr<MqttClient> m_client;
    QList<QByteArray> m_lastState; // what was published, without last_seen; empty: nothing since connecting
    QList<int> m_lastAvailable;    // -1: nothing since connecting
    QTimer m_resubscribe;
    int m_resubscribeMs = 1000;
    static constexpr int kMaxResubscribeMs = 300000;
    QString m_lastProblem;
    static constexpr qsizetype kMaxHeldResults = 64;
    std::deque<std::pair<QString, QByteArray>> m_heldResults; // topic, payload: for the next connection
    // Refusals said on stderr: at most kMaxSaid a minute, the rest counted.
    static constexpr int kMaxSaid = 20;
    QElapsedTimer m_saidWindow;
    int m_said = 0;
    int m_unsaid = 0;
};

} // namespace kr7::bridge
