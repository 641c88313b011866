#pragma once

#include "config.h"
#include "readings.h"

#include <QByteArray>
#include <QList>
#include <QString>

namespace kr7::bridge {

struct MqttMessage {
    QString topic;
    QByteArray payload;
};

// Home Assistant's MQTT discovery for one projector: a retained config message per entity under
// PREFIX/COMPONENT/kr7_NAME/OBJECT/config, one device per projector. Every entity reads the projector's state
// topic and is available while both the bridge and the projector are; a value without a reading renders
// "None", which Home Assistant shows as unknown, never as 0.
// A reading's entity comes from its row of the table.
QList<MqttMessage> discoveryMessages(const QString &name, const MqttConfig &mqtt, const QString &version,
                                     ReadingTable table = readingTable());

} // namespace kr7::bridge
