#include "config.h"

#include "catalogue.h"
#include "pem.h"
#include "portname.h"
#include "yamlread.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QRegularExpression>

#include <yaml-cpp/yaml.h>

#include <map>
#include <tuple>

namespace kr7::bridge {

namespace {

using namespace yamlread;

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

// Where a projector's PJLink face listens: ADDRESS[:PORT] (an IPv6 address in brackets), one listener per
// address and port.
PjlinkListen readPjlinkListen(const YAML::Node &node, const QString &name,
                              std::map<QString, QString> &listeners) {
    const auto keys = keysOf(node, QStringLiteral("pjlink"), {"listen", "inputs"});
    if (!keys.count("listen"))
        fail(node.Mark(),
             QStringLiteral("pjlink: 'listen' is required: the address its controllers dial (port 4352)"));
    PjlinkListen p;
    const YAML::Node &listen = keys.at("listen");
    const QString value = scalar(listen, QStringLiteral("listen"));
    QString host = value;
    QString port;
    if (value.startsWith(QLatin1Char('['))) {
        const qsizetype close = value.indexOf(QLatin1Char(']'));
        host = value.mid(1, close - 1);
        port = close > 0 && value.mid(close + 1).startsWith(QLatin1Char(':')) ? value.mid(close + 2)
               : close > 0 && close + 1 == value.size()                       ? QString()
                                                                              : QStringLiteral("-");
    } else if (value.count(QLatin1Char(':')) == 1) {
        host = value.section(QLatin1Char(':'), 0, 0);
        port = value.section(QLatin1Char(':'), 1);
    }
    bool ok = true;
    const uint number = port.isEmpty() ? 4352 : port.toUInt(&ok);
    if (!ok || number < 1 || number > 65535 || QHostAddress(host).isNull())
        fail(listen.Mark(),
             QStringLiteral("pjlink listen '%1': ADDRESS or ADDRESS:PORT, an IP address of this "
                            "machine (10.0.0.21, [fe80::21]:4352)")
                 .arg(value));
    p.host = host;
    p.port = quint16(number);
    const QString key = QHostAddress(host).toString() + QLatin1Char('/') + QString::number(number);
    if (const auto seen = listeners.find(key); seen != listeners.end())
        fail(listen.Mark(),
             QStringLiteral("pjlink listen '%1' is %2's already: one address (or port) per projector")
                 .arg(value, seen->second));
    listeners[key] = name;
    if (keys.count("inputs")) {
        const YAML::Node &inputs = keys.at("inputs");
        if (!inputs.IsSequence() || inputs.size() != 4)
            fail(inputs.Mark(), QStringLiteral("pjlink inputs: four PJLink input codes, for the inputs 1-4"));
        p.inputs.clear();
        static const QRegularExpression code(QStringLiteral("^[1-5][1-9]$"));
        for (const YAML::Node &i : inputs) {
            const QString c = scalar(i, QStringLiteral("inputs"));
            if (!code.match(c).hasMatch())
                fail(i.Mark(),
                     QStringLiteral("pjlink inputs: '%1': a type 1-5 and a number 1-9, such as 31").arg(c));
            if (p.inputs.contains(c))
                fail(i.Mark(), QStringLiteral("pjlink inputs: %1 is given twice").arg(c));
            p.inputs << c;
        }
    }
    return p;
}

void readProjector(LineConfig &line, const YAML::Node &node, std::map<QString, int> &names,
                   std::map<QString, QString> &listeners) {
    const auto keys = keysOf(node, QStringLiteral("projector"), {"name", "unit", "pjlink"});
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
    p.prefix = fromView(address->prefix);
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
    if (keys.count("pjlink"))
        p.pjlink = readPjlinkListen(keys.at("pjlink"), p.name, listeners);
    line.projectors << p;
}

void readLine(Config &config, const YAML::Node &node, std::map<QString, int> &names,
              std::map<QString, QString> &listeners) {
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
    const PortName &name = std::get<PortName>(parsed);
    if (name.kind == PortName::Kind::Device && !line.port.startsWith(QLatin1Char('/')))
        fail(portNode.Mark(),
             QStringLiteral("port '%1': a device path starts at / (/dev/ttyUSB0); a gateway is "
                            "tcp://HOST:PORT or rfc2217://HOST:PORT")
                 .arg(line.port));
    // One wire, one line: the same gateway however it is written (a trailing slash, the host's case, raw or
    // RFC 2217), the same device path however it is spelled (links are followed when the file is loaded).
    line.wire = name.isNetwork() ? name.host.toLower() + QLatin1Char(':') + QString::number(name.port)
                                 : QDir::cleanPath(name.device);
    line.lineNumber = portNode.Mark().line + 1;
    for (const LineConfig &other : config.lines)
        if (other.wire == line.wire)
            fail(portNode.Mark(),
                 QStringLiteral("port '%1' is the wire of '%2' (line %3): one line, one list of projectors")
                     .arg(line.port, other.port)
                     .arg(other.lineNumber));
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
        readProjector(line, p, names, listeners);
    config.lines << line;
}

bool flag(const YAML::Node &node, const QString &what) {
    const QString value = scalar(node, what);
    if (node.Tag() == "?" && (value == QLatin1String("true") || value == QLatin1String("false")))
        return value == QLatin1String("true");
    fail(node.Mark(), QStringLiteral("%1: true or false, not '%2'").arg(what, value));
}

// A topic prefix of our own: levels without wildcards, no empty level, no leading or trailing slash.
QString topicPrefix(const YAML::Node &node, const QString &what, bool mayBeEmpty) {
    const QString value = scalar(node, what);
    if (value.isEmpty() && mayBeEmpty)
        return value;
    static const QRegularExpression shape(QStringLiteral("^[^/+#\\x00-\\x1f]+(/[^/+#\\x00-\\x1f]+)*$"));
    if (value.size() > 200 || !shape.match(value).hasMatch())
        fail(node.Mark(),
             QStringLiteral("%1: '%2': topic levels separated by '/', without '+', '#', an empty level or "
                            "a '/' at either end")
                 .arg(what, value));
    return value;
}

void readMqtt(Config &config, const YAML::Node &node) {
    const auto keys = keysOf(node, QStringLiteral("mqtt"),
                             {"host", "port", "tls", "username", "password_file", "client_id", "base_topic",
                              "discovery_prefix", "allow_raw"});
    MqttConfig m;
    if (!keys.count("host"))
        fail(node.Mark(), QStringLiteral("mqtt: 'host' is required: the broker's name or address"));
    m.host = scalar(keys.at("host"), QStringLiteral("host"));
    static const QRegularExpression hostShape(QStringLiteral("^[A-Za-z0-9._:-]{1,253}$"));
    if (!hostShape.match(m.host).hasMatch())
        fail(keys.at("host").Mark(), QStringLiteral("host '%1': a name or an address").arg(m.host));
    if (keys.count("tls")) {
        const auto tls = keysOf(keys.at("tls"), QStringLiteral("tls"), {"ca_file", "cert_file", "key_file"});
        m.tls = true;
        m.port = 8883;
        m.caFile = fileSetting(tls, "ca_file");
        m.certFile = fileSetting(tls, "cert_file");
        m.keyFile = fileSetting(tls, "key_file");
        if (m.certFile.path.isEmpty() != m.keyFile.path.isEmpty())
            fail(keys.at("tls").Mark(),
                 QStringLiteral("tls: a client certificate needs both cert_file and key_file"));
    }
    if (keys.count("port"))
        m.port = quint16(wholeNumber(keys.at("port"), QStringLiteral("port"), 1, 65535));
    if (keys.count("username"))
        m.username = scalar(keys.at("username"), QStringLiteral("username"));
    if (keys.count("password_file")) {
        m.passwordFile = fileSetting(keys, "password_file");
        if (m.username.isEmpty())
            fail(keys.at("password_file").Mark(),
                 QStringLiteral("password_file: a password needs a username"));
    }
    if (keys.count("client_id")) {
        m.clientId = scalar(keys.at("client_id"), QStringLiteral("client_id"));
        static const QRegularExpression shape(QStringLiteral("^[A-Za-z0-9._-]{1,64}$"));
        if (!shape.match(m.clientId).hasMatch())
            fail(keys.at("client_id").Mark(),
                 QStringLiteral("client_id '%1': letters, digits, '.', '-' and '_', at most 64")
                     .arg(m.clientId));
    }
    if (keys.count("base_topic"))
        m.baseTopic = topicPrefix(keys.at("base_topic"), QStringLiteral("base_topic"), false);
    if (keys.count("discovery_prefix"))
        m.discoveryPrefix =
            topicPrefix(keys.at("discovery_prefix"), QStringLiteral("discovery_prefix"), true);
    if (keys.count("allow_raw"))
        m.allowRaw = flag(keys.at("allow_raw"), QStringLiteral("allow_raw"));
    config.mqtt = m;
}

// history: off, or {file, keep_days, samples_days, max_mb}.
HistoryConfig readHistory(const YAML::Node &node) {
    HistoryConfig h;
    if (node.IsScalar() && node.Tag() == "?" && node.Scalar() == "off") {
        h.off = true;
        return h;
    }
    if (!node.IsMap())
        fail(node.Mark(),
             QStringLiteral("history: off, or a map: {file: PATH, keep_days: 400, samples_days: 35, "
                            "max_mb: 512}"));
    const auto keys =
        keysOf(node, QStringLiteral("history"), {"file", "keep_days", "samples_days", "max_mb"});
    if (const auto it = keys.find("file"); it != keys.end()) {
        h.file = scalar(it->second, QStringLiteral("file"));
        if (!h.file.startsWith(QLatin1Char('/')))
            fail(it->second.Mark(),
                 QStringLiteral("history file '%1': an absolute path (/var/lib/kr7-bridge/history.sqlite)")
                     .arg(h.file));
    }
    if (keys.count("keep_days"))
        h.keepDays = wholeNumber(keys.at("keep_days"), QStringLiteral("keep_days"), 1, 36500);
    if (keys.count("samples_days"))
        h.samplesDays = wholeNumber(keys.at("samples_days"), QStringLiteral("samples_days"), 1, 36500);
    if (keys.count("max_mb"))
        h.maxMb = wholeNumber(keys.at("max_mb"), QStringLiteral("max_mb"), 1, 1000000);
    return h;
}

// http_names: host names as a browser or a proxy sends them in Host, without a scheme, a port or a path.
QStringList hostNames(const YAML::Node &node) {
    if (!node.IsSequence())
        fail(node.Mark(), QStringLiteral("http_names: a list of host names (kr7.venue.example)"));
    QStringList names;
    static const QRegularExpression shape(
        QStringLiteral("^(?=.{1,253}$)[A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?(\\.[A-Za-z0-9]([A-Za-z0-9-]"
                       "{0,61}[A-Za-z0-9])?)*$"));
    for (const YAML::Node &n : node) {
        const QString name = scalar(n, QStringLiteral("http_names"));
        if (!shape.match(name).hasMatch())
            fail(n.Mark(),
                 QStringLiteral("http_names: '%1' is not a host name (letters, digits, '-' and dots, "
                                "no scheme, port or path: kr7.venue.example)")
                     .arg(name));
        names << name.toLower();
    }
    return names;
}

Config read(const YAML::Node &root) {
    if (root.IsNull())
        fail(root.Mark(), QStringLiteral("the file holds no settings; 'lines' is required"));
    const auto keys = keysOf(root, QStringLiteral("settings"),
                             {"listen", "poll_interval", "offline_after", "lines", "mqtt", "pjlink",
                              "web_config_file", "http_names", "history"});
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
    std::map<QString, int> names;
    std::map<QString, QString> listeners;
    for (const YAML::Node &line : lines)
        readLine(config, line, names, listeners);
    if (keys.count("pjlink")) {
        const auto pj = keysOf(keys.at("pjlink"), QStringLiteral("pjlink"), {"password_file", "info"});
        config.pjlink.passwordFile = fileSetting(pj, "password_file");
        if (const auto it = pj.find("info"); it != pj.end()) {
            const QString info = scalar(it->second, QStringLiteral("info"));
            static const QRegularExpression printable(QStringLiteral("^[\\x20-\\x7e]{0,32}$"));
            if (!printable.match(info).hasMatch())
                fail(
                    it->second.Mark(),
                    QStringLiteral("pjlink info: '%1': at most 32 printable ASCII characters (PJLink's INFO)")
                        .arg(info));
            config.pjlink.info = info.toLatin1();
        }
    }
    if (keys.count("http_names"))
        config.httpNames = hostNames(keys.at("http_names"));
    if (keys.count("history"))
        config.history = readHistory(keys.at("history"));
    if (keys.count("mqtt"))
        readMqtt(config, keys.at("mqtt"));
    config.webConfigFile = fileSetting(keys, "web_config_file");
    return config;
}

} // namespace

HistoryPlace historyPlace(const HistoryConfig &config) {
    if (config.off)
        return {{}, QStringLiteral("history: off in the configuration")};
    if (!config.file.isEmpty())
        return {config.file, {}};
    // systemd's StateDirectory=: one folder, or several separated by colons (the first is ours).
    const QString state = qEnvironmentVariable("STATE_DIRECTORY").section(QLatin1Char(':'), 0, 0);
    if (!state.isEmpty())
        return {QDir(state).filePath(QStringLiteral("history.sqlite")), {}};
    return {{},
            QStringLiteral("no history file: name one (history: {file: PATH}) or run under the unit, "
                           "whose StateDirectory keeps it")};
}

qsizetype Config::projectorCount() const {
    qsizetype n = 0;
    for (const LineConfig &l : lines)
        n += l.projectors.size();
    return n;
}

std::variant<Config, ConfigError> parseConfig(QByteArrayView yaml) {
    return parseWith<Config>(yaml, read);
}

namespace {

// A secret's file: its first line, without the line's end. The reason when it cannot be read, else empty.
QString readFirstLine(const QString &path, QByteArray *line) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return file.errorString();
    *line = file.readLine(4097);
    if (line->endsWith('\n'))
        line->chop(1);
    if (line->endsWith('\r'))
        line->chop(1);
    return QString();
}

// What the parser cannot know without the file system: the wire a device path reaches after its links, and
// whether each file the settings name can be read.
std::optional<ConfigError> checkFiles(Config &config) {
    for (qsizetype l = 0; l < config.lines.size(); ++l) {
        LineConfig &line = config.lines[l];
        if (line.port.startsWith(QLatin1Char('/'))) {
            const QString target = QFileInfo(line.port).canonicalFilePath();
            if (!target.isEmpty())
                line.wire = target;
        }
        for (qsizetype o = 0; o < l; ++o)
            if (config.lines[o].wire == line.wire)
                return ConfigError{
                    line.lineNumber, 0,
                    QStringLiteral("port '%1' is the wire of '%2' (line %3, both %4): one line, "
                                   "one list of projectors")
                        .arg(line.port, config.lines[o].port)
                        .arg(config.lines[o].lineNumber)
                        .arg(line.wire)};
    }
    if (const FileSetting &f = config.pjlink.passwordFile; !f.path.isEmpty()) {
        // PJLink's password: 1-32 letters or digits, the file's first line.
        QByteArray password;
        QString problem = readFirstLine(f.path, &password);
        static const QRegularExpression shape(QStringLiteral("^[A-Za-z0-9]{1,32}$"));
        if (problem.isEmpty() && !shape.match(QString::fromLatin1(password)).hasMatch())
            problem = QStringLiteral("its first line is not a PJLink password (1-32 letters or digits)");
        if (!problem.isEmpty())
            return ConfigError{f.line, f.column, QStringLiteral("password_file %1: %2").arg(f.path, problem)};
        config.pjlink.password = password;
        config.pjlink.passwordFile.digest = contentDigest(password);
    }
    if (!config.mqtt)
        return std::nullopt;
    MqttConfig &m = *config.mqtt;
    // Certificates are read by the MQTT library when it connects, and again at every try: a file that cannot
    // be read, or that OpenSSL cannot load, must stop the start here, never leave the bridge trying for ever
    // (or connecting without them).
    QByteArray certPem;
    for (const auto &[key, f, check] : {std::tuple{"ca_file", &m.caFile, &certificatesProblem},
                                        std::tuple{"cert_file", &m.certFile, &certificatesProblem},
                                        std::tuple{"key_file", &m.keyFile, &privateKeyProblem}}) {
        if (f->path.isEmpty())
            continue;
        QByteArray pem;
        QString problem = readSmallFile(f->path, &pem);
        if (problem.isEmpty())
            problem = check(pem);
        if (problem.isEmpty() && f == &m.keyFile)
            problem = pairProblem(certPem, pem);
        if (!problem.isEmpty())
            return ConfigError{f->line, f->column,
                               QStringLiteral("%1 %2: %3").arg(QLatin1String(key), f->path, problem)};
        f->digest = contentDigest(pem);
        if (f == &m.certFile)
            certPem = pem;
    }
    if (m.passwordFile.path.isEmpty())
        return std::nullopt;
    // The password lives in a file of its own (mode 0600, or a systemd credential), never in the YAML.
    QString problem = readFirstLine(m.passwordFile.path, &m.password);
    if (problem.isEmpty() && m.password.isEmpty())
        problem = QStringLiteral("its first line is empty");
    m.passwordFile.digest = contentDigest(m.password);
    if (problem.isEmpty())
        return std::nullopt;
    return ConfigError{m.passwordFile.line, m.passwordFile.column,
                       QStringLiteral("password_file %1: %2").arg(m.passwordFile.path, problem)};
}

} // namespace

std::variant<Config, QString> loadConfig(const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("%1: %2").arg(path, file.errorString());
    const QByteArray yaml = file.read(kMaxConfigBytes + 1);
    if (yaml.size() > kMaxConfigBytes)
        return QStringLiteral("%1: larger than %2 bytes; not a configuration").arg(path).arg(kMaxConfigBytes);
    auto parsed = parseConfig(yaml);
    if (Config *config = std::get_if<Config>(&parsed)) {
        const std::optional<ConfigError> problem = checkFiles(*config);
        if (!problem)
            return std::move(*config);
        parsed = *problem;
    }
    const ConfigError &e = std::get<ConfigError>(parsed);
    QString where = path;
    if (e.line > 0)
        where += QStringLiteral(":%1").arg(e.line);
    if (e.line > 0 && e.column > 0)
        where += QStringLiteral(":%1").arg(e.column);
    return QStringLiteral("%1: %2").arg(where, e.message);
}

} // namespace kr7::bridge
