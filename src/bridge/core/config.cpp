#include "config.h"

#include "catalogue.h"
#include "pem.h"
#include "portname.h"
#include "setrequest.h"
#include "yamlread.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTimeZone>

#include <yaml-cpp/yaml.h>

#include <functional>
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
    const auto keys =
        keysOf(node, QStringLiteral("projector"), {"name", "unit", "pjlink", "lamp_life_hours"});
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
    if (keys.count("lamp_life_hours"))
        p.lampLifeHours =
            wholeNumber(keys.at("lamp_life_hours"), QStringLiteral("lamp_life_hours"), 1, 100000);
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

// A list of dates, YYYY-MM-DD.
QList<QDate> readDates(const YAML::Node &node, const QString &what) {
    if (!node.IsSequence())
        fail(node.Mark(), QStringLiteral("%1: a list of dates (2026-12-25)").arg(what));
    QList<QDate> dates;
    for (const YAML::Node &n : node) {
        const QString text = scalar(n, what);
        const std::optional<QDate> d = isoDate(text);
        if (!d)
            fail(n.Mark(), QStringLiteral("%1: '%2' is not a date (YYYY-MM-DD)").arg(what, text));
        dates << *d;
    }
    return dates;
}

// A duration: 30s, 10m, 8h.
qint64 duration(const YAML::Node &node, const QString &what) {
    const QString text = scalar(node, what);
    static const QRegularExpression shape(QStringLiteral("^([0-9]{1,6})(s|m|h)$"));
    const QRegularExpressionMatch m = shape.match(text);
    if (!m.hasMatch())
        fail(node.Mark(), QStringLiteral("%1: '%2' is not a duration (30s, 10m, 8h)").arg(what, text));
    const qint64 unit = m.captured(2) == QLatin1String("s")   ? 1000
                        : m.captured(2) == QLatin1String("m") ? 60000
                                                              : 3600000;
    return m.captured(1).toLongLong() * unit;
}

bool isName(const QString &name) {
    static const QRegularExpression shape(QStringLiteral("^[a-z0-9][a-z0-9_-]{0,63}$"));
    return shape.match(name).hasMatch();
}

// groups: NAME: [members] or {members: [...], stagger: 2s}. A member is a projector or a group; a group
// reaches each projector once, and never itself.
void readGroups(Config &config, const YAML::Node &node, const std::map<QString, int> &projectors) {
    if (!node.IsMap())
        fail(node.Mark(), QStringLiteral("groups: a map of group names to their members"));
    std::map<QString, std::pair<YAML::Node, YAML::Node>> nodes; // name -> its key, its members
    for (auto it = node.begin(); it != node.end(); ++it) {
        const YAML::Node key = it->first;
        GroupConfig g;
        g.name = scalar(key, QStringLiteral("groups"));
        if (!isName(g.name))
            fail(key.Mark(),
                 QStringLiteral("group '%1': lower-case letters, digits, '-' and '_', starting with a "
                                "letter or digit, at most 64")
                     .arg(g.name));
        if (g.name == QLatin1String("all") || g.name == QLatin1String("bridge"))
            fail(key.Mark(), QStringLiteral("group '%1': the name is the bridge's own").arg(g.name));
        if (projectors.count(g.name))
            fail(key.Mark(), QStringLiteral("group '%1': a projector has that name").arg(g.name));
        if (nodes.count(g.name))
            fail(key.Mark(), QStringLiteral("group '%1' is given twice").arg(g.name));
        YAML::Node members = it->second;
        if (it->second.IsMap()) {
            const auto keys =
                keysOf(it->second, QStringLiteral("group %1").arg(g.name), {"members", "stagger"});
            if (!keys.count("members"))
                fail(it->second.Mark(), QStringLiteral("group %1: 'members' is required").arg(g.name));
            members = keys.at("members");
            if (keys.count("stagger"))
                g.staggerMs =
                    int(std::min<qint64>(duration(keys.at("stagger"), QStringLiteral("stagger")), 3600000));
        }
        if (!members.IsSequence() || members.size() == 0)
            fail(members.Mark(),
                 QStringLiteral("group %1: a list of at least one projector or group").arg(g.name));
        for (const YAML::Node &m : members) {
            const QString member = scalar(m, QStringLiteral("group %1").arg(g.name));
            if (g.members.contains(member))
                fail(m.Mark(), QStringLiteral("group %1: '%2' is given twice").arg(g.name, member));
            g.members << member;
        }
        nodes[g.name] = {key, members};
        config.groups << g;
    }
    const auto groupOf = [&](const QString &name) -> const GroupConfig * {
        for (const GroupConfig &g : config.groups)
            if (g.name == name)
                return &g;
        return nullptr;
    };
    for (const GroupConfig &g : config.groups) {
        const YAML::Node &members = nodes[g.name].second;
        for (qsizetype i = 0; i < g.members.size(); ++i)
            if (!projectors.count(g.members[i]) && !groupOf(g.members[i]))
                fail(members[size_t(i)].Mark(),
                     QStringLiteral("group %1: '%2' is neither a projector nor a group")
                         .arg(g.name, g.members[i]));
        // Walk it: a group met again on the way is a cycle, a projector met again a duplicate.
        QStringList path, reached;
        std::function<void(const GroupConfig &)> walk = [&](const GroupConfig &at) {
            path << at.name;
            for (qsizetype i = 0; i < at.members.size(); ++i) {
                const QString &m = at.members[i];
                const YAML::Mark mark = nodes[at.name].second[size_t(i)].Mark();
                if (const GroupConfig *sub = groupOf(m)) {
                    if (path.contains(m))
                        fail(mark, QStringLiteral("group %1: %2 contains itself (%3)")
                                       .arg(g.name, m, (path + QStringList{m}).join(QStringLiteral(" > "))));
                    walk(*sub);
                } else if (reached.contains(m)) {
                    fail(mark, QStringLiteral("group %1 reaches projector %2 twice").arg(g.name, m));
                } else {
                    reached << m;
                }
            }
            path.removeLast();
        };
        walk(g);
    }
}

// A do: object as JSON, the way a projector's set receives it: a quoted scalar is text, a plain one a number,
// true or false where it reads as one.
QJsonValue jsonOf(const YAML::Node &node) {
    if (node.IsMap()) {
        QJsonObject o;
        for (auto it = node.begin(); it != node.end(); ++it)
            o[scalar(it->first, QStringLiteral("do"))] = jsonOf(it->second);
        return o;
    }
    if (node.IsSequence()) {
        QJsonArray a;
        for (const YAML::Node &n : node)
            a << jsonOf(n);
        return a;
    }
    if (node.IsNull())
        return QJsonValue(QJsonValue::Null);
    const QString value = text(node.Scalar());
    if (node.Tag() != "?")
        return value;
    if (value == QLatin1String("true") || value == QLatin1String("false"))
        return value == QLatin1String("true");
    static const QRegularExpression number(QStringLiteral("^-?[0-9]{1,9}$"));
    if (number.match(value).hasMatch())
        return value.toInt();
    return value;
}

void readSchedules(Config &config, const YAML::Node &node, const std::map<QString, int> &projectors) {
    if (!node.IsSequence())
        fail(node.Mark(), QStringLiteral("schedules: a list of entries"));
    static const QStringList kDays{QStringLiteral("mon"), QStringLiteral("tue"), QStringLiteral("wed"),
                                   QStringLiteral("thu"), QStringLiteral("fri"), QStringLiteral("sat"),
                                   QStringLiteral("sun")};
    for (const YAML::Node &n : node) {
        const auto keys =
            keysOf(n, QStringLiteral("schedule"),
                   {"name", "group", "projector", "at", "days", "dates", "do", "catch_up", "verify"});
        ScheduleConfig e;
        e.line = n.Mark().line + 1;
        e.column = n.Mark().column + 1;
        if (!keys.count("name"))
            fail(n.Mark(), QStringLiteral("schedule: 'name' is required"));
        e.name = scalar(keys.at("name"), QStringLiteral("name"));
        if (!isName(e.name))
            fail(keys.at("name").Mark(),
                 QStringLiteral("schedule '%1': lower-case letters, digits, '-' and '_', "
                                "starting with a letter or digit, at most 64")
                     .arg(e.name));
        for (const ScheduleConfig &other : config.schedules)
            if (other.name == e.name)
                fail(keys.at("name").Mark(), QStringLiteral("schedule '%1' is given twice (first on line %2)")
                                                 .arg(e.name)
                                                 .arg(other.line));
        if (keys.count("group") == keys.count("projector"))
            fail(n.Mark(),
                 QStringLiteral("schedule %1: either 'group' (a group, or all) or 'projector'").arg(e.name));
        if (keys.count("group")) {
            e.targetName = scalar(keys.at("group"), QStringLiteral("group"));
            e.target = e.targetName == QLatin1String("all") ? ScheduleConfig::Target::All
                                                            : ScheduleConfig::Target::Group;
            if (e.target == ScheduleConfig::Target::Group &&
                std::none_of(config.groups.begin(), config.groups.end(),
                             [&](const GroupConfig &g) { return g.name == e.targetName; }))
                fail(keys.at("group").Mark(),
                     QStringLiteral("schedule %1: no group named '%2'").arg(e.name, e.targetName));
        } else {
            e.target = ScheduleConfig::Target::Projector;
            e.targetName = scalar(keys.at("projector"), QStringLiteral("projector"));
            if (!projectors.count(e.targetName))
                fail(keys.at("projector").Mark(),
                     QStringLiteral("schedule %1: no projector named '%2'").arg(e.name, e.targetName));
        }
        if (!keys.count("at"))
            fail(n.Mark(),
                 QStringLiteral("schedule %1: 'at' is required: a local wall time, HH:MM").arg(e.name));
        const QString at = scalar(keys.at("at"), QStringLiteral("at"));
        static const QRegularExpression hhmm(QStringLiteral("^([01][0-9]|2[0-3]):([0-5][0-9])$"));
        const QRegularExpressionMatch m = hhmm.match(at);
        if (!m.hasMatch())
            fail(keys.at("at").Mark(),
                 QStringLiteral("schedule %1: at '%2' is not HH:MM (07:45)").arg(e.name, at));
        e.hour = m.captured(1).toInt();
        e.minute = m.captured(2).toInt();
        if (keys.count("days") && keys.count("dates"))
            fail(keys.at("dates").Mark(), QStringLiteral("schedule %1: days or dates, not both").arg(e.name));
        if (keys.count("days")) {
            const YAML::Node &days = keys.at("days");
            if (!days.IsSequence() || days.size() == 0)
                fail(days.Mark(),
                     QStringLiteral("schedule %1: days: a list such as [mon, tue, wed, thu, fri]")
                         .arg(e.name));
            for (const YAML::Node &d : days) {
                const qsizetype day = kDays.indexOf(scalar(d, QStringLiteral("days")));
                if (day < 0)
                    fail(d.Mark(),
                         QStringLiteral("schedule %1: '%2' is not a day (mon, tue, wed, thu, fri, sat, sun)")
                             .arg(e.name, text(d.Scalar())));
                if (!e.days.contains(int(day) + 1))
                    e.days << int(day) + 1;
            }
            std::sort(e.days.begin(), e.days.end());
        }
        if (keys.count("dates"))
            e.dates = readDates(keys.at("dates"), QStringLiteral("dates"));
        if (!keys.count("do"))
            fail(n.Mark(),
                 QStringLiteral("schedule %1: 'do' is required, such as {power: \"ON\"}").arg(e.name));
        const QJsonValue request = jsonOf(keys.at("do"));
        const auto parsed =
            parseSetRequest(QJsonDocument(request.toObject()).toJson(QJsonDocument::Compact), false);
        if (!request.isObject())
            fail(keys.at("do").Mark(),
                 QStringLiteral("schedule %1: do: a request object, such as {power: \"ON\"}").arg(e.name));
        if (const QString *why = std::get_if<QString>(&parsed))
            fail(keys.at("do").Mark(), QStringLiteral("schedule %1: do: %2").arg(e.name, *why));
        e.request = request.toObject();
        if (keys.count("catch_up"))
            e.catchUpMs = duration(keys.at("catch_up"), QStringLiteral("catch_up"));
        if (keys.count("verify"))
            e.verifyMs = duration(keys.at("verify"), QStringLiteral("verify"));
        config.schedules << e;
    }
}

// history: off, or {file, keep_days, samples_days, max_mb}.
LampsConfig readLamps(const YAML::Node &node) {
    LampsConfig l;
    const auto keys = keysOf(node, QStringLiteral("lamps"), {"life_hours", "warn_at"});
    if (keys.count("life_hours"))
        l.lifeHours = wholeNumber(keys.at("life_hours"), QStringLiteral("life_hours"), 1, 100000);
    if (const auto it = keys.find("warn_at"); it != keys.end()) {
        const QString value = scalar(it->second, QStringLiteral("warn_at"));
        static const QRegularExpression share(QStringLiteral("^(0?\\.[0-9]{1,4}|1(\\.0{1,4})?)$"));
        if (it->second.Tag() != "?" || !share.match(value).hasMatch() || value.toDouble() <= 0)
            fail(it->second.Mark(),
                 QStringLiteral("warn_at: '%1': the share of a lamp's life used, above 0 and at most 1 (0.9)")
                     .arg(value));
        l.warnAt = value.toDouble();
    }
    return l;
}

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
    const auto keys =
        keysOf(root, QStringLiteral("settings"),
               {"listen", "poll_interval", "offline_after", "lines", "mqtt", "pjlink", "web_config_file",
                "http_names", "history", "time_zone", "holidays", "groups", "schedules", "lamps"});
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
    if (keys.count("time_zone")) {
        const YAML::Node &z = keys.at("time_zone");
        config.timeZone = scalar(z, QStringLiteral("time_zone"));
        if (!QTimeZone(config.timeZone.toLatin1()).isValid())
            fail(z.Mark(),
                 QStringLiteral("time_zone '%1' is not a time zone this machine knows (Europe/Berlin, "
                                "America/New_York ...)")
                     .arg(config.timeZone));
    }
    if (keys.count("holidays"))
        config.holidays = readDates(keys.at("holidays"), QStringLiteral("holidays"));
    if (keys.count("groups"))
        readGroups(config, keys.at("groups"), names);
    if (keys.count("schedules"))
        readSchedules(config, keys.at("schedules"), names);
    if (keys.count("lamps"))
        config.lamps = readLamps(keys.at("lamps"));
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

QString ScheduleConfig::fingerprint() const {
    QJsonArray d, ds;
    for (int day : days)
        d << day;
    for (const QDate &date : dates)
        ds << date.toString(Qt::ISODate);
    return QString::fromUtf8(QJsonDocument(QJsonObject{{QStringLiteral("name"), name},
                                                       {QStringLiteral("target"), int(target)},
                                                       {QStringLiteral("of"), targetName},
                                                       {QStringLiteral("at"), hour * 60 + minute},
                                                       {QStringLiteral("days"), d},
                                                       {QStringLiteral("dates"), ds},
                                                       {QStringLiteral("do"), request},
                                                       {QStringLiteral("catch_up"), double(catchUpMs)},
                                                       {QStringLiteral("verify"), double(verifyMs)}})
                                 .toJson(QJsonDocument::Compact));
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
