#include "state.h"

#include "kr7version.h"
#include "record.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <charconv>

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
        o[QLatin1String("last_seen")] =
            p.lastSeen.isValid()
                ? QJsonValue(QString::fromLatin1(traffic::timestamp(p.lastSeen.toLocalTime())))
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

// The shortest text that reads back as the same double.
void appendNumber(QByteArray &out, double v) {
    char buf[32];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, ec == std::errc() ? end - buf : 0);
}

// The samples of one family for one projector: NAME{projector="...",EXTRA} VALUE.
struct Samples {
    QByteArray &out;
    const char *name;
    const QByteArray &projectorLabel; // projector="NAME", escaped

    void add(double value) { add({}, value); }
    void add(std::initializer_list<std::pair<const char *, QString>> extra, double value) {
        out += name;
        out += '{';
        out += projectorLabel;
        for (const auto &[key, v] : extra) {
            out += ',';
            out += key;
            out += "=\"";
            appendLabelValue(out, v);
            out += '"';
        }
        out += "} ";
        appendNumber(out, value);
        out += '\n';
    }
};

struct Family {
    const char *name;
    const char *type;
    const char *help;
    void (*samples)(Samples &, const ProjectorState &);
};

// Every projector family, in the order of the exposition. An absent reading writes nothing.
const std::array<Family, 15> kFamilies{{
    {"kr7_up", "gauge", "1 when the projector answered anything in its last offline_after poll rounds.",
     [](Samples &s, const ProjectorState &p) { s.add(p.available ? 1 : 0); }},
    {"kr7_power_status_code", "gauge", "The power status code of the reply to CR0, read as hexadecimal.",
     [](Samples &s, const ProjectorState &p) {
         if (p.readings.powerCode)
             s.add(p.readings.powerCode->toInt(nullptr, 16));
     }},
    {"kr7_power_on", "gauge", "1 while the lamps are on or warming up (power codes 00, 02, 04, 08, 40).",
     [](Samples &s, const ProjectorState &p) {
         if (p.readings.powerCode)
             s.add(powerIsOn(*p.readings.powerCode) ? 1 : 0);
     }},
    {"kr7_status_info", "gauge", "The status texts the panel shows for the replies, as labels.",
     [](Samples &s, const ProjectorState &p) {
         const Readings &r = p.readings;
         const std::pair<const char *, const std::optional<QString> &> texts[] = {
             {"power", r.powerStatus}, {"input", r.inputText}, {"orientation", r.orientation},
             {"signal", r.signal},     {"lamps", r.lampsText}, {"pc_type", r.pcType}};
         for (const auto &[query, text] : texts)
             if (text)
                 s.add({{"query", QString::fromLatin1(query)}, {"text", *text}}, 1);
     }},
    {"kr7_input", "gauge", "The input selected, 1-4.",
     [](Samples &s, const ProjectorState &p) {
         if (p.readings.input)
             s.add(*p.readings.input);
     }},
    {"kr7_lamp_mode", "gauge", "Lamp mode: 0 four lamps, 1 lamps 1 and 4, 2 lamps 2 and 3.",
     [](Samples &s, const ProjectorState &p) {
         if (p.readings.lampMode)
             s.add(*p.readings.lampMode);
     }},
    {"kr7_lamp_on", "gauge", "1 while the lamp is on.",
     [](Samples &s, const ProjectorState &p) {
         if (p.readings.lampsOn)
             for (int i = 0; i < 4; ++i)
                 s.add({{"lamp", QString::number(i + 1)}}, (*p.readings.lampsOn)[i] ? 1 : 0);
     }},
    {"kr7_lamp_used_seconds", "gauge", "The lamp's hours of use as the projector counts them, in seconds.",
     [](Samples &s, const ProjectorState &p) {
         for (qsizetype i = 0; i < p.readings.lampHours.size(); ++i)
             s.add({{"lamp", QString::number(i + 1)}}, p.readings.lampHours[i] * 3600.0);
     }},
    {"kr7_temperature_celsius", "gauge", "The projector's temperature sensors.",
     [](Samples &s, const ProjectorState &p) {
         for (int i = 0; i < 2; ++i)
             if (p.readings.temperature[i])
                 s.add({{"sensor", QString::number(i + 1)}}, *p.readings.temperature[i]);
     }},
    {"kr7_pressure_hpa", "gauge", "The air pressure the projector measures, in hPa.",
     [](Samples &s, const ProjectorState &p) {
         if (p.readings.pressureHpa)
             s.add(*p.readings.pressureHpa);
     }},
    {"kr7_exchanges_total", "counter", "Queries sent to the projector.",
     [](Samples &s, const ProjectorState &p) { s.add(double(p.exchanges)); }},
    {"kr7_no_reply_total", "counter", "Queries the projector did not answer within the reply window.",
     [](Samples &s, const ProjectorState &p) { s.add(double(p.noReplies)); }},
    {"kr7_reply_unreadable_total", "counter", "Replies that could not be read in full.",
     [](Samples &s, const ProjectorState &p) { s.add(double(p.unreadable)); }},
    {"kr7_last_reply_timestamp_seconds", "gauge", "When the projector last replied, in seconds since 1970.",
     [](Samples &s, const ProjectorState &p) {
         if (p.lastSeen.isValid())
             s.add(double(p.lastSeen.toMSecsSinceEpoch()) / 1000.0);
     }},
    {"kr7_poll_duration_seconds", "gauge", "How long the projector's queries took in its last poll.",
     [](Samples &s, const ProjectorState &p) {
         if (p.pollSeconds)
             s.add(*p.pollSeconds);
     }},
}};

void appendFamily(QByteArray &out, const char *name, const char *type, const char *help) {
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

void appendLineSample(QByteArray &out, const char *name, const LineState &l, double value) {
    out += name;
    out += "{line=\"";
    appendLabelValue(out, l.port);
    out += "\"} ";
    appendNumber(out, value);
    out += '\n';
}

} // namespace

struct MetricsText::Part {
    bool dirty = true;
    QByteArray label;
    std::array<QByteArray, kFamilies.size()> families;
};

MetricsText::MetricsText() = default;
MetricsText::~MetricsText() = default;

void MetricsText::invalidate(int projector) {
    if (projector >= 0 && size_t(projector) < m_parts.size())
        m_parts[size_t(projector)].dirty = true;
}

QByteArray MetricsText::render(const QList<ProjectorState> &projectors, const QList<LineState> &lines) {
    if (m_parts.size() != size_t(projectors.size()))
        m_parts.assign(size_t(projectors.size()), Part{});
    qsizetype size = 4096;
    for (size_t i = 0; i < m_parts.size(); ++i) {
        Part &part = m_parts[i];
        if (part.dirty) {
            const ProjectorState &p = projectors[qsizetype(i)];
            part.label = "projector=\"";
            appendLabelValue(part.label, p.name);
            part.label += '"';
            for (size_t f = 0; f < kFamilies.size(); ++f) {
                part.families[f].clear();
                Samples samples{part.families[f], kFamilies[f].name, part.label};
                kFamilies[f].samples(samples, p);
            }
            part.dirty = false;
        }
        for (const QByteArray &f : part.families)
            size += f.size();
    }
    // The same buffer each time: a third of a megabyte allocated anew per scrape costs more than writing it.
    QByteArray &out = m_out;
    out.resize(0);
    out.reserve(size + lines.size() * 200);
    for (size_t f = 0; f < kFamilies.size(); ++f) {
        appendFamily(out, kFamilies[f].name, kFamilies[f].type, kFamilies[f].help);
        for (const Part &part : m_parts)
            out += part.families[f];
    }
    appendFamily(out, "kr7_line_up", "gauge", "1 while the line to the projectors is open.");
    for (const LineState &l : lines)
        appendLineSample(out, "kr7_line_up", l, l.up ? 1 : 0);
    appendFamily(out, "kr7_line_losses_total", "counter",
                 "Times the open line was lost (adapter pulled, gateway gone).");
    for (const LineState &l : lines)
        appendLineSample(out, "kr7_line_losses_total", l, double(l.losses));
    appendFamily(out, "kr7_bridge_info", "gauge", "The bridge's version.");
    out += "kr7_bridge_info{version=\"" KR7_VERSION "\"} 1\n";
    return out;
}

QByteArray metricsText(const QList<ProjectorState> &projectors, const QList<LineState> &lines) {
    return MetricsText().render(projectors, lines);
}

} // namespace kr7::bridge
