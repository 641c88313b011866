#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <optional>

#include <QDate>

namespace kr7::bridge {

class BridgeState;
class ChangeFeed;
class Commands;
struct CommandRecord;
struct StateChanges;

// Something that happened, as the history keeps it and MQTT tells it: when (UTC, ms), to which projector and
// line, of which kind (command, state, alarm, service, lamp, schedule), who caused it (the face's name, for
// commands), and what it was.
struct Event {
    qint64 atMs = 0;
    QString projector; // empty: the line's, or the service's
    QString line;
    QString kind;
    QString origin; // the face a command came from; empty for what the bridge saw itself
    QJsonObject details;

    // The object /api/history gives (with the id the file gave it) and MQTT publishes (without one).
    QJsonObject toJson(std::optional<qint64> id = std::nullopt) const;
};

// A schedule entry's state that outlives a restart: what it was (its fingerprint, so that a changed entry
// starts fresh), its last due time run, and the operators' override.
struct ScheduleRecord {
    QString name;
    QString fingerprint;
    std::optional<qint64> lastDueMs; // the last due time it ran (or was found missed) for
    std::optional<qint64> lastRunMs; // when it last ran
    QJsonObject lastResult;          // per projector
    bool skipNext = false;
    QString holdUntil; // a date, or empty
};

// A line or a reply as the monitor names its bytes: printable characters as they are, the others by the
// monitor's names ("A001C01 CR", "ACK").
QString namedBytes(QByteArrayView bytes);

// Where the events come from: the change feed (power, input, lamp mode and lamps, a projector down or up, a
// line lost or back, a pause begun or ended; alarms raised and cleared), every command's outcome, and what
// the service says of itself. A poll that changed nothing makes none.
class Events : public QObject {
    Q_OBJECT
  public:
    Events(const BridgeState &state, ChangeFeed &feed, Commands &commands, QObject *parent = nullptr);

    // started, stopped, reload; details as given.
    void service(const QString &what, QJsonObject details = {});
    // An event a face or the core makes itself (a lamp replaced, a schedule's run).
    void record(Event event);
    // A schedule entry's state, for the history to keep (an empty fingerprint: the entry is gone).
    void keep(const ScheduleRecord &record) { emit kept(record); }

  signals:
    void happened(const Event &event);
    void kept(const ScheduleRecord &record);

  private:
    // What was last seen of a projector: values never read are not forgotten when it goes away.
    struct Seen {
        bool available = false;
        QJsonValue powerCode, powerStatus, input, lampMode;
        QJsonArray lamps;
        QStringList alarms;
    };
    void onChanges(const StateChanges &changes);
    void onCommand(const CommandRecord &record);
    void watch(int index, Seen &seen);
    void resetSeen();

    const BridgeState &m_state;
    QHash<QString, Seen> m_seen;          // by projector name
    QList<std::pair<bool, bool>> m_lines; // up, paused
};

} // namespace kr7::bridge
