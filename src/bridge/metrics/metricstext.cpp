#include "metricstext.h"

#include "kr7version.h"

#include <QJsonArray>

#include <charconv>
#include <functional>

namespace kr7::bridge {

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

// A family that every projector has, whatever its readings: availability and the line's bookkeeping.
struct Bookkeeping {
    const char *name;
    const char *type;
    const char *help;
    void (*samples)(Samples &, const ProjectorState &);
};

const std::array<Bookkeeping, 1> kBefore{{
    {"kr7_up", "gauge", "1 when the projector answered anything in its last offline_after poll rounds.",
     [](Samples &s, const ProjectorState &p) { s.add(p.available ? 1 : 0); }},
}};
const std::array<Bookkeeping, 6> kAfter{{
    {"kr7_exchanges_total", "counter", "Queries sent to the projector.",
     [](Samples &s, const ProjectorState &p) { s.add(double(p.exchanges)); }},
    {"kr7_no_reply_total", "counter", "Queries the projector did not answer within the reply window.",
     [](Samples &s, const ProjectorState &p) { s.add(double(p.noReplies)); }},
    {"kr7_reply_unreadable_total", "counter", "Replies that could not be read in full.",
     [](Samples &s, const ProjectorState &p) { s.add(double(p.unreadable)); }},
    {"kr7_late_replies_total", "counter",
     "Replies that came after their reply window, drained before the next line went out.",
     [](Samples &s, const ProjectorState &p) { s.add(double(p.lateReplies)); }},
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

constexpr const char *kInfoName = "kr7_status_info";
constexpr const char *kInfoHelp = "The status texts the panel shows for the replies, as labels.";

double sampleOf(const MetricFamily &m, const QJsonValue &v) {
    if (m.sample)
        return m.sample(v);
    if (v.isBool())
        return v.toBool() ? 1 : 0;
    return v.toDouble() * m.scale;
}

// One reading's samples: a value, or one per list item that holds one.
void readingSamples(Samples &s, const MetricFamily &m, const QJsonValue &v) {
    if (v.isNull())
        return;
    if (!v.isArray())
        return s.add(sampleOf(m, v));
    const QJsonArray items = v.toArray();
    for (qsizetype i = 0; i < items.size(); ++i)
        if (!items[i].isNull())
            s.add({{m.itemLabel, QString::number(i + 1)}}, sampleOf(m, items[i]));
}

void infoSamples(Samples &s, const ProjectorState &p) {
    const ReadingTable table = p.readings.table();
    for (size_t i = 0; i < table.size(); ++i)
        if (const QJsonValue &v = p.readings.at(qsizetype(i)); table[i].infoLabel && v.isString())
            s.add({{"query", QString::fromLatin1(table[i].infoLabel)}, {"text", v.toString()}}, 1);
}

// The families in the order of the exposition: availability, one per reading that has one, the status texts,
// the bookkeeping. Each writes one projector's samples.
struct Family {
    const char *name;
    const char *type;
    const char *help;
    std::function<void(Samples &, const ProjectorState &)> samples;
};

QList<Family> familiesOf(ReadingTable table) {
    QList<Family> out;
    for (const Bookkeeping &b : kBefore)
        out << Family{b.name, b.type, b.help, b.samples};
    for (size_t i = 0; i < table.size(); ++i)
        if (const MetricFamily &m = table[i].metric; m.name)
            out << Family{m.name, m.type, m.help, [&m, i](Samples &s, const ProjectorState &p) {
                              readingSamples(s, m, p.readings.at(qsizetype(i)));
                          }};
    out << Family{kInfoName, "gauge", kInfoHelp, infoSamples};
    for (const Bookkeeping &b : kAfter)
        out << Family{b.name, b.type, b.help, b.samples};
    return out;
}

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
    QList<QByteArray> families;
};

MetricsText::MetricsText() = default;
MetricsText::~MetricsText() = default;

void MetricsText::invalidateAll() {
    m_parts.clear();
}

void MetricsText::invalidate(int projector) {
    if (projector >= 0 && size_t(projector) < m_parts.size())
        m_parts[size_t(projector)].dirty = true;
}

QByteArray MetricsText::render(const QList<ProjectorState> &projectors, const QList<LineState> &lines,
                               const ServiceState &service) {
    if (m_parts.size() != size_t(projectors.size()))
        m_parts.assign(size_t(projectors.size()), Part{});
    const QList<Family> families =
        familiesOf(projectors.isEmpty() ? readingTable() : projectors.first().readings.table());
    qsizetype size = 4096;
    for (size_t i = 0; i < m_parts.size(); ++i) {
        Part &part = m_parts[i];
        if (part.dirty) {
            const ProjectorState &p = projectors[qsizetype(i)];
            part.label = "projector=\"";
            appendLabelValue(part.label, p.name);
            part.label += '"';
            part.families.resize(families.size());
            for (qsizetype f = 0; f < families.size(); ++f) {
                part.families[f].clear();
                Samples samples{part.families[f], families[f].name, part.label};
                families[f].samples(samples, p);
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
    for (qsizetype f = 0; f < families.size(); ++f) {
        appendFamily(out, families[f].name, families[f].type, families[f].help);
        for (const Part &part : m_parts)
            out += part.families[f];
    }
    // What the faces keep of each projector, family by family in the order they first appear.
    QList<const FaceFamily *> faceFamilies;
    for (const ProjectorState &p : projectors)
        for (const FaceSample &s : p.faceSamples)
            if (!faceFamilies.contains(s.family))
                faceFamilies << s.family;
    for (const FaceFamily *f : faceFamilies) {
        appendFamily(out, f->name, f->type, f->help);
        for (const ProjectorState &p : projectors)
            for (const FaceSample &s : p.faceSamples)
                if (s.family == f) {
                    out += f->name;
                    out += "{projector=\"";
                    appendLabelValue(out, p.name);
                    out += "\"} ";
                    appendNumber(out, s.value);
                    out += '\n';
                }
    }
    appendFamily(out, "kr7_line_up", "gauge", "1 while the line to the projectors is open.");
    for (const LineState &l : lines)
        appendLineSample(out, "kr7_line_up", l, l.up ? 1 : 0);
    appendFamily(out, "kr7_line_losses_total", "counter",
                 "Times the open line was lost (adapter pulled, gateway gone).");
    for (const LineState &l : lines)
        appendLineSample(out, "kr7_line_losses_total", l, double(l.losses));
    // What the faces keep of the service, family by family.
    QList<const FaceFamily *> serviceFamilies;
    for (const ServiceSample &s : service.samples)
        if (!serviceFamilies.contains(s.family))
            serviceFamilies << s.family;
    for (const FaceFamily *f : serviceFamilies) {
        appendFamily(out, f->name, f->type, f->help);
        for (const ServiceSample &s : service.samples)
            if (s.family == f) {
                out += f->name;
                if (!s.label.isEmpty()) {
                    out += '{';
                    out += s.label.toLatin1();
                    out += "=\"";
                    appendLabelValue(out, s.labelValue);
                    out += "\"}";
                }
                out += ' ';
                appendNumber(out, s.value);
                out += '\n';
            }
    }
    appendFamily(out, "kr7_bridge_info", "gauge", "The bridge's version.");
    out += "kr7_bridge_info{version=\"" KR7_VERSION "\"} 1\n";
    appendFamily(out, "kr7_config_last_reload_successful", "gauge",
                 "1 when the configuration read last (at start or on SIGHUP) was good and is in force.");
    out += service.lastReloadOk ? "kr7_config_last_reload_successful 1\n"
                                : "kr7_config_last_reload_successful 0\n";
    if (service.lastReloadSuccess.isValid()) {
        appendFamily(out, "kr7_config_last_reload_success_timestamp_seconds", "gauge",
                     "When the configuration in force was read, in seconds since 1970.");
        out += "kr7_config_last_reload_success_timestamp_seconds ";
        appendNumber(out, double(service.lastReloadSuccess.toMSecsSinceEpoch()) / 1000.0);
        out += '\n';
    }
    return out;
}

QByteArray metricsText(const QList<ProjectorState> &projectors, const QList<LineState> &lines,
                       const ServiceState &service) {
    return MetricsText().render(projectors, lines, service);
}

} // namespace kr7::bridge
