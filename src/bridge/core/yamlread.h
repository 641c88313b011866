#pragma once

#include "config.h"

#include <QString>

#include <initializer_list>
#include <map>
#include <string>

#include <yaml-cpp/yaml.h>

namespace kr7::bridge::yamlread {

// The readers every settings file of the bridge shares: a failure carries line and column, a map's keys must
// be known and given once, a value must be of the shape asked.
struct Failure {
    ConfigError error;
};

[[noreturn]] void fail(const YAML::Mark &mark, const QString &message);
QString text(const std::string &s);
// The keys of a map, each known and given once; returns key -> value node.
std::map<std::string, YAML::Node> keysOf(const YAML::Node &map, const QString &what,
                                         std::initializer_list<const char *> known);
QString scalar(const YAML::Node &node, const QString &what);
// A file named by this key, with where it is named; none when the key is absent.
FileSetting fileSetting(const std::map<std::string, YAML::Node> &keys, const char *key);
// Parses with the reader; a failure of either becomes the error.
template <typename T, typename Read> std::variant<T, ConfigError> parseWith(QByteArrayView yaml, Read read) {
    try {
        return read(YAML::Load(std::string(yaml.data(), size_t(yaml.size()))));
    } catch (const Failure &f) {
        return f.error;
    } catch (const YAML::Exception &e) {
        return ConfigError{e.mark.line >= 0 ? e.mark.line + 1 : 0, e.mark.column >= 0 ? e.mark.column + 1 : 0,
                           text(e.msg)};
    }
}

} // namespace kr7::bridge::yamlread
