#pragma once

#include "config.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>
#include <QStringList>

#include <map>
#include <optional>
#include <utility>
#include <variant>

namespace kr7::bridge {

// The web configuration file of Prometheus' exporters (node_exporter's --web.config.file), as far as the
// bridge serves it: TLS with an optional client certificate, HTTP Basic users with bcrypt hashes, extra
// response headers, and kr7_operators (the users that may send commands; a key the exporters ignore).
struct WebConfig {
    QString path; // the file, for messages

    struct Tls {
        FileSetting certFile;
        FileSetting keyFile;
        FileSetting clientCaFile;       // with RequireAndVerifyClientCert
        bool requireClientCert = false; // client_auth_type: RequireAndVerifyClientCert
        bool tls13Only = false;         // min_version: TLS13 (else TLS 1.2 or later)
        bool operator==(const Tls &) const = default;
    };
    std::optional<Tls> tls;
    std::map<QString, QByteArray> users; // name -> bcrypt hash
    QStringList operators;
    QList<std::pair<QByteArray, QByteArray>> headers; // as configured, replacing the bridge's own of a name

    bool operator==(const WebConfig &) const = default;
    bool hasUsers() const { return !users.empty(); }
    bool isOperator(const QString &user) const { return operators.contains(user); }
};

// The settings in this YAML text, or the first thing wrong with them (line and column). Every key must be one
// of the exporter toolkit's (or kr7_operators); a toolkit key the bridge does not carry out is an error too,
// never ignored.
std::variant<WebConfig, ConfigError> parseWebConfig(QByteArrayView yaml);

// A bcrypt hash as htpasswd -B and the exporter toolkit make them: $2a$, $2b$ or $2y$, a cost, 53 characters.
bool isBcryptHash(QByteArrayView hash);

} // namespace kr7::bridge
