#pragma once

#include "config.h"
#include "readings.h"

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>

#include <optional>

namespace kr7::bridge {

// A family of samples that a face keeps of each projector (its listener, its clients), for the metrics face
// to write: faces never include one another, so they meet in the state.
struct FaceFamily {
    const char *name;
    const char *type;
    const char *help;
};
struct FaceSample {
    const FaceFamily *family;
    double value;
};

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
    quint64 lateReplies = 0;           // replies that came after their window, drained in the settle gap
    QDateTime lastSeen;                // the last reply of any kind; invalid before the first
    std::optional<double> pollSeconds; // how long its queries took in its last full poll
    QList<FaceSample> faceSamples;     // in the order the faces first set them
    QStringList faceAlarms; // what a face says is wrong with it, in words (a schedule's failed run)

    // Sets (or adds) the sample of family; nothing removes it (the series is gone).
    void setFaceSample(const FaceFamily *family, std::optional<double> value);
    double faceSample(const FaceFamily *family) const;
};

struct LineState {
    QString port;
    bool up = false;
    bool paused = false; // left alone for a technician
    quint64 losses = 0;
};

// A face's sample of the service as a whole (the history file's rows, a schedule's runs), with at most one
// label.
struct ServiceSample {
    const FaceFamily *family;
    QString label; // its name, or empty
    QString labelValue;
    double value;
    bool operator==(const ServiceSample &) const = default;
};

// The service itself, as the metrics show it.
struct ServiceState {
    bool lastReloadOk = true;     // the last SIGHUP's configuration was good (or there was none)
    QDateTime lastReloadSuccess;  // when the configuration in force was read
    QList<ServiceSample> samples; // in the order the faces first set them

    // Sets (or adds) the sample of family with that label value; nothing removes it.
    void setSample(const FaceFamily *family, const QString &label, const QString &labelValue,
                   std::optional<double> value);
    // Removes every sample of family.
    void removeSamples(const FaceFamily *family);
};

// The service's one state: every projector and every line, in the order of the configuration. It changes
// only through change() and changeLine(), which tell every face at once: the line pollers write, the faces
// (HTTP, MQTT, ...) read and hear of each change, and never touch the wire.
class BridgeState : public QObject {
    Q_OBJECT
  public:
    explicit BridgeState(const Config &config, ReadingTable table = readingTable(),
                         QObject *parent = nullptr);

    const QList<ProjectorState> &projectors() const { return m_projectors; }
    const QList<LineState> &lines() const { return m_lines; }
    const ServiceState &service() const { return m_service; }
    ReadingTable table() const { return m_table; }
    // -1 for a name that is not configured.
    int indexOf(const QString &name) const;

    // Applies edit to projector index (or line index), then says so to every listener.
    template <typename Edit> void change(int index, Edit &&edit) {
        edit(m_projectors[index]);
        emit projectorChanged(index);
    }
    template <typename Edit> void changeLine(int index, Edit &&edit) {
        edit(m_lines[index]);
        emit lineChanged(index);
    }
    // A face's sample of a projector (nothing: the series is gone): heard as faceSampleChanged, not as a
    // change of what it reports.
    void changeFaceSample(int index, const FaceFamily *family, std::optional<double> value) {
        m_projectors[index].setFaceSample(family, value);
        emit faceSampleChanged(index);
    }
    template <typename Edit> void changeService(Edit &&edit) {
        edit(m_service);
        emit serviceChanged();
    }

    // Takes a new configuration. keptLineOf gives, for each of its lines, the line of the old one it keeps
    // (same port and speed) or -1: a projector of the same name and unit on a kept line keeps its readings
    // and counters, a kept line its own; everything else starts as at boot. Returns, for each old projector
    // index, its new index or -1 when it is gone; reconfigured() then names the projectors gone.
    QList<int> reconfigure(const Config &config, const QList<int> &keptLineOf);

  signals:
    void projectorChanged(int index);
    void lineChanged(int index);
    void serviceChanged();
    void faceSampleChanged(int index);
    // The projectors and lines are others now (indices included): every face takes them afresh.
    void reconfigured(const QStringList &removed);

  private:
    QList<ProjectorState> m_projectors;
    QList<LineState> m_lines;
    ServiceState m_service{true, QDateTime::currentDateTimeUtc(), {}};
    ReadingTable m_table;
};

// The projector as /state, MQTT and the console show it: its readings by their keys, null where a reading is
// absent, and what is wrong with it in words (alarms). withLastSeen false leaves out the one member that
// changes on every reply.
QJsonObject stateObject(const ProjectorState &p, bool withLastSeen = true);
// GET /state: every projector's object, in configuration order.
QByteArray stateDocument(const QList<ProjectorState> &projectors);

} // namespace kr7::bridge
