#pragma once

#include <QByteArrayView>
#include <QDate>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>
#include <variant>

namespace kr7::bridge {

// A file a setting names, and where it is named (for an error when it cannot be read). Two are the same
// setting when they name the same path and the file held the same bytes when each was read: where it is
// written in its settings file is no part of it.
struct FileSetting {
    QString path; // empty: none
    int line = 0, column = 0;
    QByteArray digest; // SHA-256 of the file's content, once it has been read; empty before
    bool operator==(const FileSetting &other) const { return path == other.path && digest == other.digest; }
};

// A projector's PJLink face: where its listener is, and the PJLink input code of each of its inputs 1-4.
struct PjlinkListen {
    QString host; // an address, never a name
    quint16 port = 4352;
    QStringList inputs{QStringLiteral("11"), QStringLiteral("12"), QStringLiteral("13"),
                       QStringLiteral("14")};
    bool operator==(const PjlinkListen &) const = default;
};

struct ProjectorConfig {
    QString name;   // [a-z0-9][a-z0-9_-]{0,63}, unique in the file
    QString unit;   // "1".."4" or "single"
    QString prefix; // the address prefix of the unit: "A001", or none for a single projector
    std::optional<PjlinkListen> pjlink; // absent: no PJLink face
    std::optional<int> lampLifeHours;   // absent: the lamps: section's
};

struct LineConfig {
    QString port;       // a device path, tcp://HOST:PORT or rfc2217://HOST:PORT, as written
    QString wire;       // what it reaches: host:port, or the device path (after its links, once loaded)
    int lineNumber = 0; // where the port is written in the file
    int baud = 19200;
    QList<ProjectorConfig> projectors;
    QString settings() const { return QStringLiteral("%1,N,8,1").arg(baud); }
};

struct MqttConfig {
    QString host;
    quint16 port = 1883; // 8883 with tls
    bool tls = false;
    FileSetting caFile;   // with tls; none: the system's certificates (/etc/ssl/certs)
    FileSetting certFile; // with tls: a client certificate and its key, both or neither
    FileSetting keyFile;
    QString username;
    FileSetting passwordFile;
    QByteArray password; // the file's first line, read by loadConfig; never written in the YAML
    QString clientId = QStringLiteral("kr7-bridge");
    QString baseTopic = QStringLiteral("kr7");
    QString discoveryPrefix = QStringLiteral("homeassistant"); // empty: no discovery
    bool allowRaw = false;

    bool operator==(const MqttConfig &) const = default;
};

// What every projector's PJLink face shares.
struct PjlinkConfig {
    FileSetting passwordFile; // none: no authentication ("PJLINK 0")
    QByteArray password;      // the file's first line, read by loadConfig
    // What INFO answers: never the line's port, which names a serial gateway that has no password of its own.
    QByteArray info = "KR7 via kr7-bridge";
    bool operator==(const PjlinkConfig &) const = default;
};

// The history file: events and samples, kept within days and a size.
struct HistoryConfig {
    bool off = false; // history: off
    QString file;     // empty: $STATE_DIRECTORY/history.sqlite under the unit, else none
    int keepDays = 400;
    int samplesDays = 35;
    int maxMb = 512;
    bool operator==(const HistoryConfig &) const = default;
};

// Where the history lives, or nothing with why it is off: history: off, or no file named and no
// STATE_DIRECTORY (run by hand, not by the unit).
struct HistoryPlace {
    QString path;
    QString whyOff;
};
HistoryPlace historyPlace(const HistoryConfig &config);

// A group of projectors: projectors and other groups, by name. With a stagger, power-on commands go to its
// projectors one every staggerMs (large lamps on one circuit); everything else to all at once.
struct GroupConfig {
    QString name;
    QStringList members; // as written
    int staggerMs = 0;
    bool operator==(const GroupConfig &) const = default;
};

// One entry of the schedules: at a local wall time, weekly (on days, every day without) or on dates, a
// request of a projector's set for a group, a projector or all.
struct ScheduleConfig {
    enum class Target { Group, Projector, All };
    QString name;
    Target target = Target::All;
    QString targetName; // the group's or the projector's
    int hour = 0, minute = 0;
    QList<int> days;     // Qt::DayOfWeek 1 (Monday) .. 7; empty: every day (weekly) or none (dated)
    QList<QDate> dates;  // dated: these dates only
    QJsonObject request; // the do: object, as a projector's set takes it
    qint64 catchUpMs = 600000;
    qint64 verifyMs = 300000;
    int line = 0, column = 0; // where it is written, for messages

    bool dated() const { return !dates.isEmpty(); }
    // What it says, in one text: an entry whose fingerprint changed starts fresh at a reload.
    QString fingerprint() const;
    bool operator==(const ScheduleConfig &o) const { return fingerprint() == o.fingerprint(); }
};

// How long a lamp lasts, and when it is near its end (this share of its life used).
struct LampsConfig {
    int lifeHours = 2000;
    double warnAt = 0.9;
    bool operator==(const LampsConfig &) const = default;
};

struct Config {
    QString listenHost = QStringLiteral("127.0.0.1"); // an address, never a name: it says where we listen
    quint16 listenPort = 9727;
    int pollIntervalS = 30;
    int offlineAfter = 3;
    QList<LineConfig> lines;
    std::optional<MqttConfig> mqtt; // absent: no MQTT
    PjlinkConfig pjlink;
    FileSetting webConfigFile; // the exporters' web configuration: TLS, users, operators; none: plain HTTP
    // Host names the HTTP face serves besides IP literals, localhost and the machine's own names (a venue DNS
    // name, a reverse proxy's): a request for any other name is not this bridge's (DNS rebinding).
    QStringList httpNames;
    HistoryConfig history;
    QString timeZone;      // an IANA name; empty: the system's
    QList<QDate> holidays; // weekly entries do not run on them
    QList<GroupConfig> groups;
    QList<ScheduleConfig> schedules;
    LampsConfig lamps;

    qsizetype projectorCount() const;
    // A projector's lamp life: its own lamp_life_hours, or the lamps: section's.
    int lampLifeHours(const ProjectorConfig &p) const { return p.lampLifeHours.value_or(lamps.lifeHours); }
};

// Where and what: line and column count from 1; 0 where the parser gave none.
struct ConfigError {
    int line = 0;
    int column = 0;
    QString message;
};

inline constexpr qint64 kMaxConfigBytes = 1 << 20;

// The configuration in this YAML text, or the first thing wrong with it. Every key must be known, every
// value of its type and within its range: a typo is an error, never a default.
std::variant<Config, ConfigError> parseConfig(QByteArrayView yaml);

// Reads and parses the file, and the MQTT password file it names; on failure a message
// "FILE:LINE:COLUMN: what is wrong".
std::variant<Config, QString> loadConfig(const QString &path);

} // namespace kr7::bridge
