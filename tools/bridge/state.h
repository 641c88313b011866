#pragma once

#include "config.h"
#include "readings.h"

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>

#include <optional>
#include <vector>

namespace kr7::bridge {

struct ProjectorState {
    QString name;
    QString port; // the line, as configured
    QString unit; // "1".."4", "single"
    int line = 0; // index of the line in the configuration
    QString prefix;

    bool available = false; // answered anything in its last offline_after rounds
    Readings readings;      // all absent while it is not available
    quint64 exchanges = 0;
    quint64 noReplies = 0;
    quint64 unreadable = 0;
    QDateTime lastSeen;                // the last reply of any kind; invalid before the first
    std::optional<double> pollSeconds; // how long its queries took in its last full poll
};

struct LineState {
    QString port;
    bool up = false;
    quint64 losses = 0;
};

// The service's one state: every projector and every line, in the order of the configuration. The line
// pollers write it and say what changed; the faces (HTTP, MQTT) read it and never touch the wire.
class BridgeState : public QObject {
    Q_OBJECT
  public:
    explicit BridgeState(const Config &config, QObject *parent = nullptr);

    const QList<ProjectorState> &projectors() const { return m_projectors; }
    ProjectorState &projector(int index) { return m_projectors[index]; }
    const QList<LineState> &lines() const { return m_lines; }
    LineState &line(int index) { return m_lines[index]; }
    // -1 for a name that is not configured.
    int indexOf(const QString &name) const;

    // Called by the writer after it changed projector index (or line index).
    void touch(int index) { emit projectorChanged(index); }
    void touchLine(int index) { emit lineChanged(index); }

  signals:
    void projectorChanged(int index);
    void lineChanged(int index);

  private:
    QList<ProjectorState> m_projectors;
    QList<LineState> m_lines;
};

// The projector as /state and MQTT show it; null where a reading is absent. withLastSeen false leaves out the
// one member that changes on every reply.
QJsonObject stateObject(const ProjectorState &p, bool withLastSeen = true);
// GET /state: every projector's object, in configuration order.
QByteArray stateDocument(const QList<ProjectorState> &projectors);

// GET /metrics: the Prometheus text format 0.0.4. An absent reading is an absent series.
QByteArray metricsText(const QList<ProjectorState> &projectors, const QList<LineState> &lines);

// The same text, kept between scrapes: only the projectors that changed since the last one are written again.
class MetricsText {
  public:
    MetricsText();
    ~MetricsText();
    void invalidate(int projector);
    QByteArray render(const QList<ProjectorState> &projectors, const QList<LineState> &lines);

  private:
    struct Part;
    std::vector<Part> m_parts;
    QByteArray m_out;
};

} // namespace kr7::bridge
