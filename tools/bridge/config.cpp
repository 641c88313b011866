#include "config.h"

#include "catalogue.h"
#include "portname.h"

#include <QFile>
#include <QHostAddress>
#include <QRegularExpression>

#include <yaml-cpp/yaml.h>

#include <map>

namespace kr7::bridge {

namespace {

struct Failure {
    ConfigError error;
};

[[noreturn]] void fail(const YAML::Mark &mark, const QString &message) {
    // yaml-cpp counts from 0, and marks a node it made up (a missing value) with -1.
    throw Failure{{mark.line >= 0 ? mark.line + 1 : 0, mark.column >= 0 ? mark.column + 1 : 0, message}};
}

QString text(const std::string &s) {
    return QString::fromStdString(s);
}

// The keys of a map, each known and given once; returns key -> value node.
std::map<std::string, YAML::Node> keysOf(const YAML::Node &map, const QString &what,
                                         std::initializer_list<const char *> known) {
    if (!map.IsMap())
        fail(map.Mark(), QStringLiteral("%1: a map of keys is expected").arg(what));
    std::map<std::string, YAML::Node> found;
    std::map<std::string, int> lineOf;
    for (auto it = map.begin(); it != map.end(); ++it) {
        const YAML::Node key = it->first; // a copy: the iterator hands out a temporary pair
        if (!key.IsScalar())
            fail(key.Mark(), QStringLiteral("%1: keys are plain words").arg(what));
        const std::string name = key.Scalar();
        if (std::find_if(known.begin(), known.end(), [&](const char *k) { return name == k; }) ==
            known.end()) {
            QStringList names;
            for (const char *k : known)
                names << QString::fromLatin1(k);
            fail(key.Mark(), QStringLiteral("%1: unknown key '%2' (known: %3)")
                                 .arg(what, text(name), names.join(QStringLiteral(", "))));
        }
        if (lineOf.count(name))
            fail(key.Mark(), QStringLiteral("%1: '%2' is given twice (first on line %3)")
                                 .arg(what, text(name))
                                 .arg(lineOf[name]));
        lineOf[name] = key.Mark().line + 1;
        found[name] = it->second;
    }
    return found;
}

QString scalar(const YAML::Node &node, const QString &what) {
    if (!node.IsScalar())
        fail(node.Mark(), QStringLiteral("%1: a single value is expected").arg(what));
    return text(node.Scalar());
}

int wholeNumber(const YAML::Node &node, const QString &what, int low, int high) {
    const QString value = scalar(node, what);
    static const QRegularExpression digits(QStringLiteral("^[+-]?[0-9]{1,9}$"));
    if (node.Tag() != "?" || !digits.match(value).hasMatch())
        fail(node.Mark(), QStringLiteral("%1: '%2' is not a whole number").arg(what, value));
    const int n = value.toInt();
    if (n < low || n > high)
        fail(node.Mark(),
             QStringLiteral("%1: %2 is out of range (%3-%4)").arg(what).arg(n).arg(low).arg(high));
    return n;
}

void readListen(Config &config, const YAML::Node &node) {
    const QString value = scalar(node, QStringLiteral("listen"));
    const qsizetype colon = value.lastIndexOf(QLatin1Char(':'));
    QString host = value.left(colon);
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    else if (host.contains(QLatin1Char(':')))
        fail(node.Mark(),
             QStringLiteral("listen: '%1': an IPv6 address is written in brackets, [::1]:9727").arg(value));
    bool ok = false;
    const uint port = value.mid(colon + 1).toUInt(&ok);
    if (colon < 0 || !ok || port < 1 || port > 65535)
        fail(node.Mark(),
             QStringLiteral("listen: '%1': ADDRESS:PORT is expected, such as 127.0.0.1:9727").arg(value));
    if (QHostAddress(host).isNull())
        fail(node.Mark(),
             QStringLiteral("listen: '%1': '%2' is not an IP address of this machine's interfaces "
                            "(127.0.0.1, ::1, 0.0.0.0 ...)")
                 .arg(value, host));
    config.listenHost = host;
    config.listenPort = quint16(port);
}

void readProjector(LineConfig &line, const YAML::Node &node, std::map<QString, int> &names) {
    const auto keys = keysOf(node, QStringLiteral("projector"), {"name", "unit"});
    if (!keys.count("name"))
        fail(node.Mark(), QStringLiteral("projector: 'name' is required"));
    if (!keys.count("unit"))
        fail(node.Mark(), QStringLiteral("projector: 'unit' is required (1-4, or single)"));
    const YAML::Node &nameNode = keys.at("name");
    const YAML::Node &unitNode = keys.at("unit");
    ProjectorConfig p;
    p.name = scalar(nameNode, QStringLiteral("name"));
    static const QRegularExpression shape(QStringLiteral("^[a-z0-9][a-z0-9_-]{0,63}$"));
    if (!shape.match(p.name).hasMatch())
        fail(nameNode.Mark(),
             QStringLiteral("name '%1': lower-case letters, digits, '-' and '_', starting with a "
                            "letter or digit, at most 64")
                 .arg(p.name));
    if (p.name == QLatin1String("bridge"))
        fail(nameNode.Mark(), QStringLiteral("name 'bridge' is the service's own"));
    if (const auto seen = names.find(p.name); seen != names.end())
        fail(nameNode.Mark(),
             QStringLiteral("name '%1' is given twice (first on line %2)").arg(p.name).arg(seen->second));
    names[p.name] = nameNode.Mark().line + 1;

    p.unit = scalar(unitNode, QStringLiteral("unit"));
    if (p.unit == QLatin1String("all"))
        fail(unitNode.Mark(),
             QStringLiteral("unit all: every unit on the line would answer at once; name each unit"));
    const Address *address = p.unit == QLatin1String("all") ? nullptr : findUnit(p.unit.toStdString());
    if (!address)
        fail(unitNode.Mark(), QStringLiteral("unit '%1': 1, 2, 3, 4 or single").arg(p.unit));
    p.prefix = QString::fromLatin1(address->prefix.data(), qsizetype(address->prefix.size()));
    for (const ProjectorConfig &other : line.projectors) {
        if (other.unit == p.unit)
            fail(unitNode.Mark(),
                 QStringLiteral("unit %1 is already on this line (%2)").arg(p.unit, other.name));
        if (other.unit == QLatin1String("single") || p.unit == QLatin1String("single"))
            fail(unitNode.Mark(),
                 QStringLiteral("unit single is a projector alone on its line; here it shares it "
                                "with %1")
                     .arg(other.name));
    }
    line.projectors << p;
}

void readLine(Config &config, const YAML::Node &node, std::map<QString, int> &ports,
              std::map<QString, int> &names) {
    const auto keys = keysOf(node, QStringLiteral("line"), {"port", "speed", "projectors"});
    if (!keys.count("port"))
        fail(node.Mark(), QStringLiteral("line: 'port' is required"));
    if (!keys.count("projectors"))
        fail(node.Mark(), QStringLiteral("line: 'projectors' is required"));
    LineConfig line;
    const YAML::Node &portNode = keys.at("port");
    line.port = scalar(portNode, QStringLiteral("port"));
    const auto parsed = parsePortName(line.port);
    if (const QString *error = std::get_if<QString>(&parsed))
        fail(portNode.Mark(), *error);
    if (const auto seen = ports.find(line.port); seen != ports.end())
        fail(portNode.Mark(),
             QStringLiteral("port '%1' is given twice (first on line %2): one line, one list of "
                            "projectors")
                 .arg(line.port)
                 .arg(seen->second));
    ports[line.port] = portNode.Mark().line + 1;
    if (keys.count("speed")) {
        const YAML::Node &speed = keys.at("speed");
        line.baud = wholeNumber(speed, QStringLiteral("speed"), 1, 1000000000);
        if (line.baud != 19200 && line.baud != 9600)
            fail(speed.Mark(), QStringLiteral("speed: %1: 19200 or 9600").arg(line.baud));
    }
    const YAML::Node &projectors = keys.at("projectors");
    if (!projectors.IsSequence() || projectors.size() == 0)
        fail(projectors.Mark(), QStringLiteral("projectors: a list of at least one projector is expected"));
    for (const YAML::Node &p : projectors)
        readProjector(line, p, names);
    config.lines << line;
}

Config read(const YAML::Node &root) {
    if (root.IsNull())
        fail(root.Mark(), QStringLiteral("the file holds no settings; 'lines' is required"));
    const auto keys =
        keysOf(root, QStringLiteral("settings"), {"listen", "poll_interval", "offline_after", "lines"});
    Config config;
    if (keys.count("listen"))
        readListen(config, keys.at("listen"));
    if (keys.count("poll_interval"))
        config.pollIntervalS =
            wholeNumber(keys.at("poll_interval"), QStringLiteral("poll_interval"), 1, 3600);
    if (keys.count("offline_after"))
        config.offlineAfter = wholeNumber(keys.at("offline_after"), QStringLiteral("offline_after"), 1, 100);
    if (!keys.count("lines"))
        fail(YAML::Mark::null_mark(), QStringLiteral("'lines' is required: the projector lines to watch"));
    const YAML::Node &lines = keys.at("lines");
    if (!lines.IsSequence() || lines.size() == 0)
        fail(lines.Mark(), QStringLiteral("lines: a list of at least one line is expected"));
    std::map<QString, int> ports, names;
    for (const YAML::Node &line : lines)
        readLine(config, line, ports, names);
    return config;
}

} // namespace

qsizetype Config::projectorCount() const {
    qsizetype n = 0;
    for (const LineConfig &l : lines)
        n += l.projectors.size();
    return n;
}

std::variant<Config, ConfigError> parseConfig(QByteArrayView yaml) {
    try {
        return read(YAML::Load(std::string(yaml.data(), size_t(yaml.size()))));
    } catch (const Failure &f) {
        return f.error;
    } catch (const YAML::Exception &e) {
        return ConfigError{e.mark.line >= 0 ? e.mark.line + 1 : 0, e.mark.column >= 0 ? e.mark.column + 1 : 0,
                           text(e.msg)};
    }
}

std::variant<Config, QString> loadConfig(const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("%1: %2").arg(path, file.errorString());
    const QByteArray yaml = file.read(kMaxConfigBytes + 1);
    if (yaml.size() > kMaxConfigBytes)
        return QStringLiteral("%1: larger than %2 bytes; not a configuration").arg(path).arg(kMaxConfigBytes);
    auto parsed = parseConfig(yaml);
    if (Config *config = std::get_if<Config>(&parsed))
        return std::move(*config);
    const ConfigError &e = std::get<ConfigError>(parsed);
    QString where = path;
    if (e.line > 0)
        where += QStringLiteral(":%1").arg(e.line);
    if (e.line > 0 && e.column > 0)
        where += QStringLiteral(":%1").arg(e.column);
    return QStringLiteral("%1: %2").arg(where, e.message);
}

} // namespace kr7::bridge
