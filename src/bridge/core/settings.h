#pragma once

#include "config.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <map>
#include <optional>
#include <utility>

namespace kr7::bridge {

// The web configuration file of Prometheus' exporters (node_exporter's --web.config.file), as far as the
// bridge serves it: TLS with an optional client certificate, HTTP Basic users with bcrypt hashes, extra
// response headers, and kr7_operators (the users that may send commands; a key the exporters ignore). Read by
// the HTTP face's loader; here so that every face can be handed the same settings.
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

    // What the file sets, whatever the order it is written in.
    bool operator==(const WebConfig &other) const {
        const auto sorted = [](auto list) {
            std::sort(list.begin(), list.end());
            return list;
        };
        return path == other.path && tls == other.tls && users == other.users &&
               sorted(operators) == sorted(other.operators) && sorted(headers) == sorted(other.headers);
    }
    bool hasUsers() const { return !users.empty(); }
    bool isOperator(const QString &user) const { return operators.contains(user); }
};

// Everything the service runs on: the configuration and, when one is named, the web configuration. Every face
// is handed the whole of it and takes its own part.
struct Settings {
    Config config;
    std::optional<WebConfig> web;
};

} // namespace kr7::bridge
