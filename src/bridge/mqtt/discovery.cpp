#include "discovery.h"

#include "catalogue.h"
#include "readings.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace kr7::bridge {

namespace {

// The value template of a reading's entity: the value, or (for a list) item i when the list is there and
// long enough; None otherwise, which Home Assistant shows as unknown.
QString valueTemplate(const Reading &r, int i) {
    const QString key = fromView(r.key);
    if (r.items == 0)
        return QStringLiteral("{{ value_json.%1 }}").arg(key);
    if (r.type == JsonType::BooleanList)
        return QStringLiteral("{% if value_json.%1 %}{{ 'ON' if value_json.%1[%2] else 'OFF' }}"
                              "{% else %}None{% endif %}")
            .arg(key)
            .arg(i);
    return QStringLiteral("{% if value_json.%1 and value_json.%1 | length > %2 %}{{ value_json.%1[%2] }}"
                          "{% else %}None{% endif %}")
        .arg(key)
        .arg(i);
}

} // namespace

QList<MqttMessage> discoveryMessages(const QString &name, const MqttConfig &mqtt, const QString &version,
                                     ReadingTable table) {
    QList<MqttMessage> out;
    if (mqtt.discoveryPrefix.isEmpty())
        return out;
    const QString state = mqtt.baseTopic + QLatin1Char('/') + name;
    const QString set = state + QStringLiteral("/set");
    const QString node = QStringLiteral("kr7_") + name;
    const QJsonObject device{{QStringLiteral("identifiers"), QJsonArray{node}},
                             {QStringLiteral("name"), name},
                             {QStringLiteral("model"), QStringLiteral("KR7")},
                             {QStringLiteral("sw_version"), version}};
    const QJsonArray availability{
        QJsonObject{{QStringLiteral("topic"), mqtt.baseTopic + QStringLiteral("/bridge/state")}},
        QJsonObject{{QStringLiteral("topic"), state + QStringLiteral("/availability")}}};

    const auto add = [&](const char *component, const QString &object, const QString &title,
                         const QString &valueTemplate, QJsonObject config) {
        config[QStringLiteral("name")] = title;
        config[QStringLiteral("unique_id")] = node + QLatin1Char('_') + object;
        config[QStringLiteral("object_id")] = node + QLatin1Char('_') + object;
        config[QStringLiteral("device")] = device;
        config[QStringLiteral("availability")] = availability;
        config[QStringLiteral("availability_mode")] = QStringLiteral("all");
        if (!valueTemplate.isEmpty()) {
            config[QStringLiteral("state_topic")] = state;
            config[QStringLiteral("value_template")] = valueTemplate;
        }
        out << MqttMessage{QStringLiteral("%1/%2/%3/%4/config")
                               .arg(mqtt.discoveryPrefix, QLatin1String(component), node, object),
                           QJsonDocument(config).toJson(QJsonDocument::Compact)};
    };

    for (const Reading &r : table) {
        const DiscoveryEntity &e = r.entity;
        if (!e.component)
            continue;
        QJsonObject config = QJsonDocument::fromJson(e.config).object();
        if (e.commanded)
            config[QStringLiteral("command_topic")] = set;
        for (int i = 0; i < std::max(1, r.items); ++i) {
            const auto numbered = [&](const char *text) {
                const QString t = QString::fromUtf8(text);
                return r.items ? t.arg(i + 1) : t;
            };
            add(e.component, numbered(e.object), numbered(e.title), valueTemplate(r, i), config);
        }
    }
    add("button", QStringLiteral("refresh"), QStringLiteral("Refresh"), QString(),
        QJsonObject{{QStringLiteral("command_topic"), set},
                    {QStringLiteral("payload_press"), QStringLiteral("{\"refresh\": true}")}});
    return out;
}

} // namespace kr7::bridge
