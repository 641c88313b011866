#pragma once

#include "webconfig.h"

#include <QDateTime>
#include <QSslConfiguration>

#include <variant>

namespace kr7::bridge {

// Reads the web configuration file and what it names: each file readable, the certificate one that matches
// its key, the clients' CA a certificate. On failure "FILE:LINE:COLUMN: what is wrong" (the web config file,
// and the file that cannot be read).
std::variant<WebConfig, QString> loadWebConfig(const QString &path);

// The server side of TLS as the files say now, or why it cannot be had.
std::variant<QSslConfiguration, QString> serverTls(const WebConfig::Tls &tls);

// When the certificate and key files last changed: a rotation is seen by a change of this.
QString tlsFilesStamp(const WebConfig::Tls &tls);

} // namespace kr7::bridge
