#include "discovery.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace kr7::bridge {

namespace {

// value_json.KEY[I] when the list is there and long enough, else None.
QString listItem(const char *key, int i) {
    return QStringLiteral("{% if value_json.%1 and value_json.%1 | length > %2 %}{{ value_json.%1[%2] }}"
                          "{% else %}None{% endif %}")
        .arg(QLatin1String(key))
        .arg(i);
}

} // namespace

QList<MqttMessage> discoveryMessages(const QString &name, const MqttConfig &mqtt, const QString &version) {
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
    const auto sensor = [](std::initializer_list<std::pair<const char *, QJsonValue>> keys) {
        QJsonObject o;
        for (const auto &[k, v] : keys)
            o[QLatin1String(k)] = v;
        return o;
    };

    add("switch", QStringLiteral("power"), QStringLiteral("Power"), QStringLiteral("{{ value_json.power }}"),
        sensor({{"command_topic", set},
                {"payload_on", QStringLiteral("{\"power\": \"ON\"}")},
                {"payload_off", QStringLiteral("{\"power\": \"OFF\"}")},
                {"state_on", QStringLiteral("ON")},
                {"state_off", QStringLiteral("OFF")}}));
    add("select", QStringLiteral("input"), QStringLiteral("Input"), QStringLiteral("{{ value_json.input }}"),
        sensor({{"command_topic", set},
                {"command_template", QStringLiteral("{\"input\": {{ value }}}")},
                {"options", QJsonArray{QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("3"),
                                       QStringLiteral("4")}}}));
    for (int lamp = 1; lamp <= 4; ++lamp)
        add("sensor", QStringLiteral("lamp_hours_%1").arg(lamp), QStringLiteral("Lamp %1 hours").arg(lamp),
            listItem("lamp_hours", lamp - 1),
            sensor({{"unit_of_measurement", QStringLiteral("h")},
                    {"state_class", QStringLiteral("total_increasing")}}));
    for (int sensorNumber = 1; sensorNumber <= 2; ++sensorNumber)
        add("sensor", QStringLiteral("temperature_%1").arg(sensorNumber),
            QStringLiteral("Temperature %1").arg(sensorNumber), listItem("temperature", sensorNumber - 1),
            sensor({{"device_class", QStringLiteral("temperature")},
                    {"unit_of_measurement", QStringLiteral("°C")},
                    {"state_class", QStringLiteral("measurement")}}));
    add("sensor", QStringLiteral("pressure"), QStringLiteral("Pressure"),
        QStringLiteral("{{ value_json.pressure_hpa }}"),
        sensor({{"device_class", QStringLiteral("atmospheric_pressure")},
                {"unit_of_measurement", QStringLiteral("hPa")},
                {"state_class", QStringLiteral("measurement")}}));
    add("sensor", QStringLiteral("power_status"), QStringLiteral("Power status"),
        QStringLiteral("{{ value_json.power_status }}"), {});
    add("sensor", QStringLiteral("signal"), QStringLiteral("Signal"),
        QStringLiteral("{{ value_json.signal }}"), {});
    for (int lamp = 1; lamp <= 4; ++lamp)
        add("binary_sensor", QStringLiteral("lamp_%1").arg(lamp), QStringLiteral("Lamp %1").arg(lamp),
            QStringLiteral("{% if value_json.lamps %}{{ 'ON' if value_json.lamps[%1] else 'OFF' }}"
                           "{% else %}None{% endif %}")
                .arg(lamp - 1),
            sensor({{"device_class", QStringLiteral("light")}}));
    add("button", QStringLiteral("refresh"), QStringLiteral("Refresh"), QString(),
        sensor({{"command_topic", set}, {"payload_press", QStringLiteral("{\"refresh\": true}")}}));
    return out;
}

} // namespace kr7::bridge
