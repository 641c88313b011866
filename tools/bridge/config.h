#pragma once

#include <QByteArrayView>
#include <QList>
#include <QString>

#include <variant>

namespace kr7::bridge {

struct ProjectorConfig {
    QString name;   // [a-z0-9][a-z0-9_-]{0,63}, unique in the file
    QString unit;   // "1".."4" or "single"
    QString prefix; // the address prefix of the unit: "A001", or none for a single projector
};

struct LineConfig {
    QString port; // a device path, tcp://HOST:PORT or rfc2217://HOST:PORT, as written
    int baud = 19200;
    QList<ProjectorConfig> projectors;
    QString settings() const { return QStringLiteral("%1,N,8,1").arg(baud); }
};

struct Config {
    QString listenHost = QStringLiteral("127.0.0.1"); // an address, never a name: it says where we listen
    quint16 listenPort = 9727;
    int pollIntervalS = 30;
    int offlineAfter = 3;
    QList<LineConfig> lines;

    qsizetype projectorCount() const;
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

// Reads and parses the file; on failure a message "FILE:LINE:COLUMN: what is wrong".
std::variant<Config, QString> loadConfig(const QString &path);

} // namespace kr7::bridge
