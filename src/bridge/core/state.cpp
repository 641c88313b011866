#include "state.h"

#include "record.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace kr7::bridge {

namespace {

ProjectorState fresh(const LineConfig &line, const ProjectorConfig &pc, int lineIndex, ReadingTable table) {
    ProjectorState p;
    p.readings = Readings(table);
    p.name = pc.name;
    p.port = line.port;
    p.unit = pc.unit;
    p.line = lineIndex;
    p.prefix = pc.prefix;
    return p;
}

// The projector's lamp life and warning share, as the configuration says now; what the lamps face knows
// stays.
void setLampLife(ProjectorState &p, const Config &config, const ProjectorConfig &pc) {
    LampPlan plan = p.readings.lampPlan();
    plan.lifeHours = config.lampLifeHours(pc);
    plan.warnAt = config.lamps.warnAt;
    if (!(plan == p.readings.lampPlan()))
        p.readings.setLampPlan(plan);
}

} // namespace

QList<int> BridgeState::reconfigure(const Config &config, const QList<int> &keptLineOf) {
    QList<ProjectorState> projectors;
    QList<LineState> lines;
    QList<int> newIndexOf(m_projectors.size(), -1);
    for (qsizetype l = 0; l < config.lines.size(); ++l) {
        const LineConfig &line = config.lines[l];
        const int kept = keptLineOf.value(l, -1);
        lines << (kept >= 0 ? m_lines[kept] : LineState{line.port, false, false, 0});
        for (const ProjectorConfig &pc : line.projectors) {
            const int old = kept >= 0 ? indexOf(pc.name) : -1;
            if (old >= 0 && m_projectors[old].line == kept && m_projectors[old].unit == pc.unit) {
                newIndexOf[old] = int(projectors.size());
                projectors << m_projectors[old];
                projectors.last().line = int(l);
            } else {
                projectors << fresh(line, pc, int(l), m_table);
            }
            setLampLife(projectors.last(), config, pc);
        }
    }
    QStringList removed;
    for (qsizetype i = 0; i < m_projectors.size(); ++i)
        if (newIndexOf[i] < 0)
            removed << m_projectors[i].name;
    m_projectors = std::move(projectors);
    m_lines = std::move(lines);
    emit reconfigured(removed);
    return newIndexOf;
}

BridgeState::BridgeState(const Config &config, ReadingTable table, QObject *parent)
    : QObject(parent), m_table(table) {
    for (qsizetype l = 0; l < config.lines.size(); ++l) {
        const LineConfig &line = config.lines[l];
        m_lines << LineState{line.port, false, false, 0};
        for (const ProjectorConfig &pc : line.projectors) {
            m_projectors << fresh(line, pc, int(l), table);
            setLampLife(m_projectors.last(), config, pc);
        }
    }
}

void ProjectorState::setFaceSample(const FaceFamily *family, std::optional<double> value) {
    if (!value) {
        faceSamples.removeIf([&](const FaceSample &s) { return s.family == family; });
        return;
    }
    for (FaceSample &s : faceSamples)
        if (s.family == family) {
            s.value = *value;
            return;
        }
    faceSamples << FaceSample{family, *value};
}

double ProjectorState::faceSample(const FaceFamily *family) const {
    for (const FaceSample &s : faceSamples)
        if (s.family == family)
            return s.value;
    return 0;
}

void ServiceState::setSample(const FaceFamily *family, const QString &label, const QString &labelValue,
                             std::optional<double> value) {
    const auto same = [&](const ServiceSample &s) {
        return s.family == family && s.labelValue == labelValue;
    };
    if (!value) {
        samples.removeIf(same);
        return;
    }
    for (ServiceSample &s : samples)
        if (same(s)) {
            s.value = *value;
            return;
        }
    samples << ServiceSample{family, label, labelValue, *value};
}

void ServiceState::removeSamples(const FaceFamily *family) {
    samples.removeIf([&](const ServiceSample &s) { return s.family == family; });
}

int BridgeState::indexOf(const QString &name) const {
    for (qsizetype i = 0; i < m_projectors.size(); ++i)
        if (m_projectors[i].name == name)
            return int(i);
    return -1;
}

QJsonObject stateObject(const ProjectorState &p, bool withLastSeen) {
    QJsonObject o;
    o[QLatin1String("name")] = p.name;
    o[QLatin1String("line")] = p.port;
    o[QLatin1String("unit")] = p.unit;
    o[QLatin1String("available")] = p.available;
    const ReadingTable table = p.readings.table();
    for (size_t i = 0; i < table.size(); ++i)
        if (table[i].inState)
            o[QLatin1String(table[i].key.data(), qsizetype(table[i].key.size()))] =
                p.readings.at(qsizetype(i));
    o[QLatin1String("alarms")] = QJsonArray::fromStringList(alarmWords(p));
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

} // namespace kr7::bridge
