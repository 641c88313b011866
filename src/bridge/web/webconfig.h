#pragma once

#include "settings.h"

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

// The settings in this YAML text, or the first thing wrong with them (line and column). Every key must be one
// of the exporter toolkit's (or kr7_operators); a toolkit key the bridge does not carry out is an error too,
// never ignored.
std::variant<WebConfig, ConfigError> parseWebConfig(QByteArrayView yaml);

// A bcrypt hash as htpasswd -B and the exporter toolkit make them: $2a$, $2b$ or $2y$, a cost, 53 characters.
bool isBcryptHash(QByteArrayView hash);

} // namespace kr7::bridge
