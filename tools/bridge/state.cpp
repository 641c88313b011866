#include "state.h"

#include "kr7version.h"
#include "record.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace kr7::bridge {

BridgeState::BridgeState(const Config &config, QObject *parent) : QObject(parent) {
    for (qsizetype l = 0; l < config.lines.size(); ++l) {
        const LineConfig &line = config.lines[l];
        m_lines << LineState{line.port, false, 0};
        for (const ProjectorConfig &pc : line.projectors) {
            ProjectorState p;
            p.name = pc.name;
            p.port = line.port;
            p.unit = pc.unit;
            p.line = int(l);
            p.prefix = pc.prefix;
            m_projectors << p;
        }
    }
}

int BridgeState::indexOf(const QString &name) const {
    for (qsizetype i = 0; i < m_projectors.size(); ++i)
        if (m_projectors[i].name == name)
            return int(i);
    return -1;
}

namespace {

template <typename T> QJsonValue orNull(const std::optional<T> &v) {
    return v ? QJsonValue(*v) : QJsonValue(QJsonValue::Null);
}

} // namespace

QJsonObject stateObject(const ProjectorState &p, bool withLastSeen) {
    const Readings &r = p.readings;
    QJsonObject o;
    o[QLatin1String("name")] = p.name;
    o[QLatin1String("line")] = p.port;
    o[QLatin1String("unit")] = p.unit;
    o[QLatin1String("available")] = p.available;
    o[QLatin1String("power")] =
        r.powerCode ? QJsonValue(powerIsOn(*r.powerCode) ? QStringLiteral("ON") : QStringLiteral("OFF"))
                    : QJsonValue(QJsonValue::Null);
    o[QLatin1String("power_code")] = orNull(r.powerCode);
    o[QLatin1String("power_status")] = orNull(r.powerStatus);
    o[QLatin1String("input")] = orNull(r.input);
    o[QLatin1String("orientation")] = orNull(r.orientation);
    o[QLatin1String("lamp_mode")] = orNull(r.lampMode);
    QJsonValue lamps(QJsonValue::Null);
    if (r.lampsOn)
        lamps = QJsonArray{(*r.lampsOn)[0], (*r.lampsOn)[1], (*r.lampsOn)[2], (*r.lampsOn)[3]};
    o[QLatin1String("lamps")] = lamps;
    QJsonValue hours(QJsonValue::Null);
    if (!r.lampHours.isEmpty()) {
        QJsonArray a;
        for (double h : r.lampHours)
            a << h;
        hours = a;
    }
    o[QLatin1String("lamp_hours")] = hours;
    QJsonValue temperature(QJsonValue::Null);
    if (r.temperature[0] || r.temperature[1])
        temperature = QJsonArray{orNull(r.temperature[0]), orNull(r.temperature[1])};
    o[QLatin1String("temperature")] = temperature;
    o[QLatin1String("pressure_hpa")] = orNull(r.pressureHpa);
    o[QLatin1String("signal")] = orNull(r.signal);
    o[QLatin1String("pc_type")] = orNull(r.pcType);
    if (withLastSeen)
        o[QLatin1String("last_seen")] = p.lastSeen.isValid()
                                            ? QJsonValue(QString::fromLatin1(traffic::timestamp(p.lastSeen)))
                                            : QJsonValue(QJsonValue::Null);
    return o;
}

QByteArray stateDocument(const QList<ProjectorState> &projectors) {
    QJsonArray a;
    for (const ProjectorState &p : projectors)
        a << stateObject(p);
    return QJsonDocument(a).toJson(QJsonDocument::Compact);
}

namespace {

// Label values escape backslash, double quote and line feed; nothing else.
void appendLabelValue(QByteArray &out, const QString &value) {
    for (const char c : value.toUtf8()) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
}

struct Metrics {
    QByteArray out;

    void family(const char *name, const char *type, const char *help) {
        out += "# HELP ";
        out += name;
        out += ' ';
        out += help;
        out += "\n# TYPE ";
        out += name;
        out += ' ';
        out += type;
        out += '\n';
    }
    void sample(const char *name, std::initializer_list<std::pair<const char *, QString>> labels, double value) {
        out += name;
        if (labels.size()) {
            out += '{';
            bool first = true;
            for (const auto &[key, v] : labels) {
                if (!first)
                    out += ',';
                first = false;
                out += key;
                out += "=\"";
                appendLabelValue(out, v);
                out += '"';
            }
            out += '}';
        }
        out += ' ';
        out += QByteArray::number(value, 'g', 15);
        out += '\n';
    }
};

} // namespace

QByteArray metricsText(const QList<ProjectorState> &projectors, const QList<LineState> &lines) {
    Metrics m;
    m.out.reserve(projectors.size() * 2200 + 4096);
    // One family at a time, every projector's series in it.
    const auto each = [&](const char *name, const char *type, const char *help, auto &&samples) {
        m.family(name, type, help);
        for (const ProjectorState &p : projectors)
            samples(p);
    };
    using P = const ProjectorState &;
    each("kr7_up", "gauge", "1 when the projector answered anything in its last offline_after poll rounds.",
         [&](P p) { m.sample("kr7_up", {{"projector", p.name}}, p.available ? 1 : 0); });
    each("kr7_power_status_code", "gauge", "The power status code of the reply to CR0, read as hexadecimal.",
         [&](P p) {
             if (p.readings.powerCode)
                 m.sample("kr7_power_status_code", {{"projector", p.name}}, p.readings.powerCode->toInt(nullptr, 16));
         });
    each("kr7_power_on", "gauge", "1 while the lamps are on or warming up (power codes 00, 02, 04, 08, 40).",
         [&](P p) {
             if (p.readings.powerCode)
                 m.sample("kr7_power_on", {{"projector", p.name}}, powerIsOn(*p.readings.powerCode) ? 1 : 0);
         });
    each("kr7_status_info", "gauge", "The status texts the panel shows for the replies, as labels.", [&](P p) {
        const Readings &r = p.readings;
        const std::pair<const char *, const std::optional<QString> &> texts[] = {
            {"power", r.powerStatus}, {"input", r.inputText}, {"orientation", r.orientation},
            {"signal", r.signal},     {"lamps", r.lampsText}, {"pc_type", r.pcType}};
        for (const auto &[query, text] : texts)
            if (text)
                m.sample("kr7_status_info", {{"projector", p.name}, {"query", QString::fromLatin1(query)}, {"text", *text}},
                         1);
    });
    each("kr7_input", "gauge", "The input selected, 1-4.", [&](P p) {
        if (p.readings.input)
            m.sample("kr7_input", {{"projector", p.name}}, *p.readings.input);
    });
    each("kr7_lamp_mode", "gauge", "Lamp mode: 0 four lamps, 1 lamps 1 and 4, 2 lamps 2 and 3.", [&](P p) {
        if (p.readings.lampMode)
            m.sample("kr7_lamp_mode", {{"projector", p.name}}, *p.readings.lampMode);
    });
    each("kr7_lamp_on", "gauge", "1 while the lamp is on.", [&](P p) {
        if (p.readings.lampsOn)
            for (int i = 0; i < 4; ++i)
                m.sample("kr7_lamp_on", {{"projector", p.name}, {"lamp", QString::number(i + 1)}},
                         (*p.readings.lampsOn)[i] ? 1 : 0);
    });
    each("kr7_lamp_used_seconds", "gauge", "The lamp's hours of use as the projector counts them, in seconds.",
         [&](P p) {
             for (qsizetype i = 0; i < p.readings.lampHours.size(); ++i)
                 m.sample("kr7_lamp_used_seconds", {{"projector", p.name}, {"lamp", QString::number(i + 1)}},
                          p.readings.lampHours[i] * 3600.0);
         });
    each("kr7_temperature_celsius", "gauge", "The projector's temperature sensors.", [&](P p) {
        for (int i = 0; i < 2; ++i)
            if (p.readings.temperature[i])
                m.sample("kr7_temperature_celsius", {{"projector", p.name}, {"sensor", QString::number(i + 1)}},
                         *p.readings.temperature[i]);
    });
    each("kr7_pressure_hpa", "gauge", "The air pressure the projector measures, in hPa.", [&](P p) {
        if (p.readings.pressureHpa)
            m.sample("kr7_pressure_hpa", {{"projector", p.name}}, *p.readings.pressureHpa);
    });
    each("kr7_exchanges_total", "counter", "Queries sent to the projector.",
         [&](P p) { m.sample("kr7_exchanges_total", {{"projector", p.name}}, double(p.exchanges)); });
    each("kr7_no_reply_total", "counter", "Queries the projector did not answer within the reply window.",
         [&](P p) { m.sample("kr7_no_reply_total", {{"projector", p.name}}, double(p.noReplies)); });
    each("kr7_reply_unreadable_total", "counter", "Replies that could not be read in full.",
         [&](P p) { m.sample("kr7_reply_unreadable_total", {{"projector", p.name}}, double(p.unreadable)); });
    each("kr7_last_reply_timestamp_seconds", "gauge", "When the projector last replied, in seconds since 1970.",
         [&](P p) {
             if (p.lastSeen.isValid())
                 m.sample("kr7_last_reply_timestamp_seconds", {{"projector", p.name}},
                          double(p.lastSeen.toMSecsSinceEpoch()) / 1000.0);
         });
    each("kr7_poll_duration_seconds", "gauge", "How long the projector's queries took in its last poll.", [&](P p) {
        if (p.pollSeconds)
            m.sample("kr7_poll_duration_seconds", {{"projector", p.name}}, *p.pollSeconds);
    });
    m.family("kr7_line_up", "gauge", "1 while the line to the projectors is open.");
    for (const LineState &l : lines)
        m.sample("kr7_line_up", {{"line", l.port}}, l.up ? 1 : 0);
    m.family("kr7_line_losses_total", "counter", "Times the open line was lost (adapter pulled, gateway gone).");
    for (const LineState &l : lines)
        m.sample("kr7_line_losses_total", {{"line", l.port}}, double(l.losses));
    m.family("kr7_bridge_info", "gauge", "The bridge's version.");
    m.sample("kr7_bridge_info", {{"version", QStringLiteral(KR7_VERSION)}}, 1);
    return m.out;
}

} // namespace kr7::bridge
