#pragma once

// MQTT clients for the tests, with Debian's mosquitto_sub and mosquitto_pub.

#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QString>

#include <functional>
#include <optional>

namespace kr7::peers {

struct Message {
    bool retained = false;
    QString topic;
    QByteArray payload;
    QJsonObject json() const { return QJsonDocument::fromJson(payload).object(); }
};

// Debian's mosquitto_sub, printing RETAINED<TAB>TOPIC<TAB>PAYLOAD per message; subscribed once its
// constructor returns.
struct Subscriber {
    QProcess process;
    QList<Message> messages;
    QByteArray pending;

    Subscriber(quint16 port, const QStringList &topics);
    ~Subscriber();
    bool heard() const;
    void take();
    QList<Message> on(const QString &topic) const;
    // The newest message on topic once one came that pred accepts.
    std::optional<Message> waitFor(const QString &topic, const std::function<bool(const Message &)> &pred,
                                   int ms = 15000);
};

// One message, QoS 1, by Debian's mosquitto_pub.
void mqttPublish(quint16 port, const QString &topic, const QByteArray &payload, bool retain = false);

} // namespace kr7::peers
