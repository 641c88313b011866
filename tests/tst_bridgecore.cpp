// The bridge's pure parts: what each reply reads as (and what it clears), the configuration's errors, and the
// state as the metrics and /state show it.
#include "calendar.h"
#include "config.h"
#include "discovery.h"
#include "groups.h"
#include "lampdesk.h"
#include "lamps.h"
#include "metricstext.h"
#include "pjlinkprotocol.h"
#include "power.h"
#include "readings.h"
#include "schedule.h"
#include "state.h"
#include "statustables.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using namespace kr7;
using namespace kr7::bridge;

namespace {
// A projector that has answered every query readably; the row's reply then replaces one of them.
ProjectorState answered() {
    ProjectorState p;
    p.name = QStringLiteral("hall-left");
    p.port = QStringLiteral("/dev/ttyUSB0");
    p.unit = QStringLiteral("1");
    p.available = true;
    const QHash<QByteArray, QByteArray> replies{{"power", "00\r"},
                                                {"input", "2\r"},
                                                {"orientation", "11\r"},
                                                {"lamp-hours", "1234 1201 0987 1010\r"},
                                                {"temperature", "036.0, 47.5\r"},
                                                {"lamps", "0F\r"},
                                                {"pc-type", "NTSC\r"},
                                                {"signal", "00\r"},
                                                {"pressure", "0512\r"}};
    for (const PolledQuery &q : polledQueries())
        if (!p.readings.read(q.name, replies.value(QByteArray(q.name.data(), qsizetype(q.name.size())))))
            qFatal("reply to %s unread", q.name.data());
    return p;
}

// The members of the state object that a query sets.
const QHash<QByteArray, QStringList> kMembers{
    {"power", {"power", "power_code", "power_state", "power_status"}},
    {"input", {"input"}},
    {"orientation", {"orientation"}},
    {"lamp-hours", {"lamp_hours"}},
    {"temperature", {"temperature"}},
    {"lamps", {"lamp_mode", "lamps"}},
    {"pc-type", {"pc_type"}},
    {"signal", {"signal"}},
    {"pressure", {"pressure_hpa"}},
};
// A venue of three projectors on two lines, a staggered group in a group, and the row's schedules.
Config venue(const QByteArray &zone, const QByteArray &holidays, const QByteArray &schedules) {
    const QByteArray yaml =
        "time_zone: " + zone + "\nholidays: [" + holidays +
        "]\nlines:\n  - port: /dev/ttyUSB0\n    projectors: [{name: a, unit: 1}, {name: b, unit: 2}]\n"
        "  - port: /dev/ttyUSB1\n    projectors: [{name: c, unit: single}]\n"
        "groups:\n  pair: {members: [a, b], stagger: 2s}\n  g: [c, pair]\nschedules:\n" +
        schedules;
    auto parsed = parseConfig(yaml);
    if (const ConfigError *e = std::get_if<ConfigError>(&parsed))
        qFatal("%d:%d: %s", e->line, e->column, qPrintable(e->message));
    return std::get<Config>(parsed);
}

qint64 instant(const QString &iso) {
    return QDateTime::fromString(iso, Qt::ISODate).toMSecsSinceEpoch();
}

QString wall(qint64 ms, const QTimeZone &zone) {
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toTimeZone(zone).toString(Qt::ISODate);
}

} // namespace

class TestBridgeCore : public QObject {
    Q_OBJECT
  private slots:
    // Each row: a reply to one query, whether it reads in full, and the members of /state it leaves, as JSON.
    // Every other member keeps what the earlier replies said.
    void readings_data() {
        QTest::addColumn<QByteArray>("query");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<bool>("readable");
        QTest::addColumn<QByteArray>("members");
        const auto row = [](const char *name, const char *q, const char *reply, bool readable,
                            const char *json) {
            QTest::newRow(name) << QByteArray(q) << QByteArray(reply) << readable
                                << QByteArray(json).replace('\'', '"');
        };
        row("standby", "power", "80\r", true,
            "{'power':'OFF','power_code':'80','power_state':'standby','power_status':'Stand by'}");
        row("count down is on", "power", "40\r", true,
            "{'power':'ON','power_code':'40','power_state':'warming_up','power_status':'Count down'}");
        row("warning while on", "power", "08\r", true,
            "{'power':'ON','power_code':'08','power_state':'on','power_status':'Temperature Warning(Power "
            "ON)'}");
        row("cooling, all lamps failed", "power", "81\r", true,
            "{'power':'OFF','power_code':'81','power_state':'standby',"
            "'power_status':'Cooling down & sutandby (All Lamp FAIL)'}");
        row("power code not in the table", "power", "99\r", false,
            "{'power':null,'power_code':null,'power_state':null,'power_status':null}");
        row("an acknowledgement is no power code", "power", "\x06", false,
            "{'power':null,'power_code':null,'power_state':null,'power_status':null}");
        row("input 3", "input", "3\r", true, "{'input':3}");
        // A reply of the shape of the query asked before it (late on a shared wire) is never read as this
        // one.
        row("a power code is no input", "input", "80\r", false, "{'input':null}");
        row("an input is no orientation", "orientation", "2\r", false, "{'orientation':null}");
        row("an orientation is no lamp hours", "lamp-hours", "11\r", false, "{'lamp_hours':null}");
        row("lamp hours are no temperature", "temperature", "1234 1201 0987 1010\r", false,
            "{'temperature':null}");
        row("a temperature is no lamp reply", "lamps", "036.0, 47.5\r", false,
            "{'lamp_mode':null,'lamps':null}");
        row("a lamp reply is no pc type", "pc-type", "1E\r", false, "{'pc_type':null}");
        row("a pc type is no signal", "signal", "NTSC\r", false, "{'signal':null}");
        row("a signal code is no pressure", "pressure", "80\r", false, "{'pressure_hpa':null}");
        row("a pressure reading is no power code", "power", "0512\r", false,
            "{'power':null,'power_code':null,'power_state':null,'power_status':null}");
        row("an input of two characters", "input", "12\r", false, "{'input':null}");
        row("input 5", "input", "5\r", false, "{'input':null}");
        row("orientation", "orientation", "10\r", true, "{'orientation':'Top/Bottom reversal'}");
        row("four lamp hours", "lamp-hours", "0042 1201 0987 1010\r", true,
            "{'lamp_hours':[42,1201,987,1010]}");
        row("one group is no lamp-hours reply", "lamp-hours", "12345\r", false, "{'lamp_hours':null}");
        row("blanks between", "lamp-hours", "1200  034 0000 0001\r", true, "{'lamp_hours':[1200,34,0,1]}");
        row("five numbers", "lamp-hours", "1 2 3 4 5\r", false, "{'lamp_hours':null}");
        row("not a number", "lamp-hours", "12a4 1\r", false, "{'lamp_hours':null}");
        row("negative", "lamp-hours", "-12\r", false, "{'lamp_hours':null}");
        row("a number cut at 19 characters is left out", "lamp-hours", "1234 1201 0987 10105\r", false,
            "{'lamp_hours':[1234,1201,987,null]}");
        row("five-digit hours", "lamp-hours", "12345 0042 0987 1010\r", false,
            "{'lamp_hours':[12345,42,987,null]}");
        row("only a carriage return", "lamp-hours", "\r", false, "{'lamp_hours':null}");
        row("both sensors", "temperature", "024.5, 24.0\r", true, "{'temperature':[24.5,24]}");
        row("sensors with their unit", "temperature", "035.5C,40.5C\r", true, "{'temperature':[35.5,40.5]}");
        row("signed sensor, second cut by the carriage return", "temperature", "-05.5, 12.\r", false,
            "{'temperature':[-5.5,null]}");
        row("short reply reads no sensor", "temperature", "25\r", false, "{'temperature':null}");
        row("two points", "temperature", "2.4.5, 31.5\r", false, "{'temperature':[null,31.5]}");
        row("lamps 1, 2 and 4 in mode 2", "lamps", "2B\r", true,
            "{'lamp_mode':2,'lamps':[true,true,false,true]}");
        row("lower-case lamp digit", "lamps", "0f\r", false, "{'lamp_mode':null,'lamps':null}");
        row("pc type", "pc-type", "1280X1024 60HZ\r", true, "{'pc_type':'1280X1024 60HZ'}");
        row("pc type without its end", "pc-type", "NTSC", false, "{'pc_type':null}");
        row("pc type with a control byte", "pc-type", "\x01X\r", false, "{'pc_type':null}");
        row("signal", "signal", "80\r", true, "{'signal':'No signal'}");
        row("pressure", "pressure", "0512\r", true, "{'pressure_hpa':650}");
        row("signed pressure", "pressure", "+0042\r", true, "{'pressure_hpa':150}");
        row("no number is no pressure", "pressure", "\r", false, "{'pressure_hpa':null}");
        row("pressure beyond the projector's arithmetic", "pressure", "9999\r", false,
            "{'pressure_hpa':null}");
        row("nothing at all", "pressure", "", false, "{'pressure_hpa':null}");
    }
    void readings() {
        QFETCH(QByteArray, query);
        QFETCH(QByteArray, reply);
        QFETCH(bool, readable);
        QFETCH(QByteArray, members);
        ProjectorState p = answered();
        const QJsonObject before = stateObject(p);
        QCOMPARE(p.readings.read(std::string_view(query.constData(), size_t(query.size())), reply), readable);
        const QJsonObject after = stateObject(p);
        const QJsonObject expected = QJsonDocument::fromJson(members).object();
        QVERIFY(!expected.isEmpty());
        for (auto it = after.begin(); it != after.end(); ++it) {
            // What they come to: theOnePowerTable, theAlarmRule, lampsPlanned.
            const bool derived =
                std::any_of(readingTable().begin(), readingTable().end(), [&](const Reading &r) {
                    return r.derive && QLatin1String(r.key.data(), qsizetype(r.key.size())) == it.key();
                });
            if (it.key() == QLatin1String("alarms") || derived)
                continue;
            if (kMembers[query].contains(it.key()))
                QCOMPARE(*it, expected[it.key()]);
            else
                QCOMPARE(*it, before[it.key()]);
        }
    }

    // Each row: a configuration and the first thing wrong with it, LINE:COLUMN: message.
    void configErrors_data() {
        QTest::addColumn<QByteArray>("yaml");
        QTest::addColumn<QString>("error");
        const QByteArray line = "lines:\n  - port: /dev/ttyUSB0\n    projectors:\n";
        QTest::newRow("typo") << QByteArray("pol_interval: 30\n") + line + "      - {name: a, unit: 1}\n"
                              << "1:1: settings: unknown key 'pol_interval' (known: listen, poll_interval, "
                                 "offline_after, lines, mqtt, pjlink, web_config_file, http_names, history, "
                                 "time_zone, holidays, groups, schedules, lamps)";
        QTest::newRow("lamps: warn_at over 1")
            << QByteArray("lamps: {warn_at: 1.5}\n") + line + "      - {name: a, unit: 1}\n"
            << "1:18: warn_at: '1.5': the share of a lamp's life used, above 0 and at most 1 (0.9)";
        QTest::newRow("lamps: a life of none")
            << QByteArray("lamps: {life_hours: 0}\n") + line + "      - {name: a, unit: 1}\n"
            << "1:21: life_hours: 0 is out of range (1-100000)";
        QTest::newRow("a projector's lamp life in words")
            << line + "      - {name: a, unit: 1, lamp_life_hours: long}\n"
            << "4:45: lamp_life_hours: 'long' is not a whole number";
        QTest::newRow("key given twice") << QByteArray("poll_interval: 30\npoll_interval: 20\n")
                                         << "2:1: settings: 'poll_interval' is given twice (first on line 1)";
        QTest::newRow("out of range")
            << QByteArray("poll_interval: 0\n") << "1:16: poll_interval: 0 is out of range (1-3600)";
        QTest::newRow("not a number")
            << QByteArray("offline_after: three\n") << "1:16: offline_after: 'three' is not a whole number";
        QTest::newRow("quoted number")
            << QByteArray("offline_after: \"3\"\n") << "1:16: offline_after: '3' is not a whole number";
        QTest::newRow("no lines") << QByteArray("poll_interval: 30\n")
                                  << "'lines' is required: the projector lines to watch";
        QTest::newRow("empty file") << QByteArray("") << "the file holds no settings; 'lines' is required";
        QTest::newRow("lines not a list")
            << QByteArray("lines: /dev/ttyUSB0\n") << "1:8: lines: a list of at least one line is expected";
        QTest::newRow("unknown port form")
            << QByteArray("lines:\n  - port: telnet://gw:23\n    projectors: [{name: a, unit: 1}]\n")
            << "2:11: port name 'telnet://gw:23': unknown scheme 'telnet' (use a device path, "
               "tcp://HOST:PORT or rfc2217://HOST:PORT)";
        QTest::newRow("speed") << line + "      - {name: a, unit: 1}\n    speed: 4800\n"
                               << "5:12: speed: 4800: 19200 or 9600";
        QTest::newRow("unit all")
            << line + "      - {name: a, unit: all}\n"
            << "4:25: unit all: every unit on the line would answer at once; name each unit";
        QTest::newRow("unit 5") << line + "      - {name: a, unit: 5}\n"
                                << "4:25: unit '5': 1, 2, 3, 4 or single";
        QTest::newRow("unit twice") << line + "      - {name: a, unit: 1}\n      - {name: b, unit: 1}\n"
                                    << "5:25: unit 1 is already on this line (a)";
        QTest::newRow("single shares")
            << line + "      - {name: a, unit: 1}\n      - {name: b, unit: single}\n"
            << "5:25: unit single is a projector alone on its line; here it shares it with a";
        QTest::newRow("name twice") << line + "      - {name: a, unit: 1}\n      - {name: a, unit: 2}\n"
                                    << "5:16: name 'a' is given twice (first on line 4)";
        QTest::newRow("name shape")
            << line + "      - {name: Hall, unit: 1}\n"
            << "4:16: name 'Hall': lower-case letters, digits, '-' and '_', starting with a "
               "letter or digit, at most 64";
        QTest::newRow("the bridge's own name") << line + "      - {name: bridge, unit: 1}\n"
                                               << "4:16: name 'bridge' is the service's own";
        QTest::newRow("port twice")
            << line + "      - {name: a, unit: 1}\n  - port: /dev/ttyUSB0\n    projectors: [{name: b, unit: "
                      "1}]\n"
            << "5:11: port '/dev/ttyUSB0' is the wire of '/dev/ttyUSB0' (line 2): one line, one list of "
               "projectors";
        QTest::newRow("one gateway written two ways")
            << QByteArray("lines:\n  - port: tcp://gw:4001\n    projectors: [{name: a, unit: 1}]\n"
                          "  - port: rfc2217://GW:4001/\n    projectors: [{name: b, unit: 1}]\n")
            << "4:11: port 'rfc2217://GW:4001/' is the wire of 'tcp://gw:4001' (line 2): one line, one list "
               "of "
               "projectors";
        QTest::newRow("one device written two ways")
            << QByteArray("lines:\n  - port: /dev/ttyUSB0\n    projectors: [{name: a, unit: 1}]\n"
                          "  - port: /dev//ttyUSB0\n    projectors: [{name: b, unit: 1}]\n")
            << "4:11: port '/dev//ttyUSB0' is the wire of '/dev/ttyUSB0' (line 2): one line, one list of "
               "projectors";
        QTest::newRow("a device name without its path")
            << QByteArray("lines:\n  - port: ttyUSB0\n    projectors: [{name: a, unit: 1}]\n")
            << "2:11: port 'ttyUSB0': a device path starts at / (/dev/ttyUSB0); a gateway is tcp://HOST:PORT "
               "or "
               "rfc2217://HOST:PORT";
        QTest::newRow("a gateway without its scheme")
            << QByteArray("lines:\n  - port: hall-gw:4001\n    projectors: [{name: a, unit: 1}]\n")
            << "2:11: port 'hall-gw:4001': a device path starts at / (/dev/ttyUSB0); a gateway is "
               "tcp://HOST:PORT or rfc2217://HOST:PORT";
        const QByteArray pj = "lines:\n  - port: /dev/ttyUSB0\n    projectors:\n";
        QTest::newRow("pjlink: a name for an address")
            << pj + "      - {name: a, unit: 1, pjlink: {listen: hall-a}}\n"
            << "4:45: pjlink listen 'hall-a': ADDRESS or ADDRESS:PORT, an IP address of this machine "
               "(10.0.0.21, "
               "[fe80::21]:4352)";
        QTest::newRow("pjlink: two projectors on one address")
            << pj + "      - {name: a, unit: 1, pjlink: {listen: 10.0.0.21}}\n"
                    "      - {name: b, unit: 2, pjlink: {listen: '10.0.0.21:4352'}}\n"
            << "5:45: pjlink listen '10.0.0.21:4352' is a's already: one address (or port) per projector";
        QTest::newRow("pjlink: three inputs")
            << pj + "      - {name: a, unit: 1, pjlink: {listen: 10.0.0.21, inputs: [11, 12, 13]}}\n"
            << "4:64: pjlink inputs: four PJLink input codes, for the inputs 1-4";
        QTest::newRow("pjlink: an input type 6")
            << pj + "      - {name: a, unit: 1, pjlink: {listen: 10.0.0.21, inputs: [11, 12, 13, 61]}}\n"
            << "4:77: pjlink inputs: '61': a type 1-5 and a number 1-9, such as 31";
        QTest::newRow("pjlink: an input twice")
            << pj + "      - {name: a, unit: 1, pjlink: {listen: 10.0.0.21, inputs: [11, 12, 11, 14]}}\n"
            << "4:73: pjlink inputs: 11 is given twice";
        QTest::newRow("pjlink: an unknown key")
            << pj + "      - {name: a, unit: 1}\npjlink: {password: x}\n"
            << "5:10: pjlink: unknown key 'password' (known: password_file, info)";
        QTest::newRow("pjlink: info too long")
            << pj + "      - {name: a, unit: 1}\npjlink: {info: " + QByteArray(33, 'x') + "}\n"
            << "5:16: pjlink info: '" + QString(33, QLatin1Char('x')) +
                   "': at most 32 printable ASCII characters (PJLink's INFO)";
        QTest::newRow("http_names: a URL")
            << pj + "      - {name: a, unit: 1}\nhttp_names: [kr7.venue.example, "
                    "'https://kr7.venue.example']\n"
            << "5:33: http_names: 'https://kr7.venue.example' is not a host name (letters, digits, '-' and "
               "dots, no scheme, port or path: kr7.venue.example)";
        QTest::newRow("http_names: a port")
            << pj + "      - {name: a, unit: 1}\nhttp_names: ['proxy:8080']\n"
            << "5:14: http_names: 'proxy:8080' is not a host name (letters, digits, '-' and dots, no scheme, "
               "port or path: kr7.venue.example)";
        QTest::newRow("history: a relative file")
            << pj + "      - {name: a, unit: 1}\nhistory: {file: history.sqlite}\n"
            << "5:17: history file 'history.sqlite': an absolute path (/var/lib/kr7-bridge/history.sqlite)";
        QTest::newRow("history: no room") << pj + "      - {name: a, unit: 1}\nhistory: {max_mb: 0}\n"
                                          << "5:19: max_mb: 0 is out of range (1-1000000)";
        QTest::newRow("history: on")
            << pj + "      - {name: a, unit: 1}\nhistory: on\n"
            << "5:10: history: off, or a map: {file: PATH, keep_days: 400, samples_days: "
               "35, max_mb: 512}";
        QTest::newRow("http_names: one name") << pj + "      - {name: a, unit: 1}\nhttp_names: kr7.example\n"
                                              << "5:13: http_names: a list of host names (kr7.venue.example)";
        QTest::newRow("half a client certificate")
            << line + "      - {name: a, unit: 1}\nmqtt: {host: b, tls: {cert_file: /etc/c.pem}}\n"
            << "5:22: tls: a client certificate needs both cert_file and key_file";
        QTest::newRow("listen on a name")
            << QByteArray("listen: example.org:80\n")
            << "1:9: listen: 'example.org:80': 'example.org' is not an IP address of this "
               "machine's interfaces (127.0.0.1, ::1, 0.0.0.0 ...)";
        QTest::newRow("YAML syntax") << QByteArray("lines: [\n") << "2:1: end of sequence flow not found";
        const QByteArray good = line + "      - {name: a, unit: 1}\n";
        QTest::newRow("broker without host") << good + "mqtt: {port: 1883}\n"
                                             << "5:7: mqtt: 'host' is required: the broker's name or address";
        QTest::newRow("password without user") << good + "mqtt: {host: b, password_file: /etc/pw}\n"
                                               << "5:32: password_file: a password needs a username";
        QTest::newRow("a password in the YAML")
            << good + "mqtt: {host: b, username: u, password: x}\n"
            << "5:30: mqtt: unknown key 'password' (known: host, port, tls, username, "
               "password_file, client_id, base_topic, discovery_prefix, allow_raw)";
        QTest::newRow("allow_raw yes") << good + "mqtt: {host: b, allow_raw: yes}\n"
                                       << "5:28: allow_raw: true or false, not 'yes'";
        const QByteArray three = pj + "      - {name: a, unit: 1}\n      - {name: b, unit: 2}\n";
        const QByteArray grouped = three + "groups:\n  pair: [a, b]\n";
        const auto entry = [&](const QByteArray &e) { return grouped + "schedules:\n  - " + e + "\n"; };
        QTest::newRow("group: an unknown member")
            << three + "groups:\n  pair: [a, hall-z]\n"
            << "7:13: group pair: 'hall-z' is neither a projector nor a group";
        QTest::newRow("group: a cycle") << three + "groups:\n  x: [a, y]\n  y: [b, x]\n"
                                        << "8:10: group x: x contains itself (x > y > x)";
        QTest::newRow("group: a projector twice through a group")
            << three + "groups:\n  x: [a, b]\n  y: [x, a]\n"
            << "8:10: group y reaches projector a twice";
        QTest::newRow("group: a member twice") << three + "groups:\n  x: [a, a]\n"
                                               << "7:10: group x: 'a' is given twice";
        QTest::newRow("group: a projector's name") << three + "groups:\n  a: [b]\n"
                                                   << "7:3: group 'a': a projector has that name";
        QTest::newRow("group: all") << three + "groups:\n  all: [a]\n"
                                    << "7:3: group 'all': the name is the bridge's own";
        QTest::newRow("schedule: an unknown group")
            << entry("{name: e, group: hall-z, at: '07:45', do: {power: 'ON'}}")
            << "9:22: schedule e: no group named 'hall-z'";
        QTest::newRow("schedule: an unknown projector")
            << entry("{name: e, projector: z, at: '07:45', do: {power: 'ON'}}")
            << "9:26: schedule e: no projector named 'z'";
        QTest::newRow("schedule: at 7:45") << entry("{name: e, group: all, at: '7:45', do: {power: 'ON'}}")
                                           << "9:31: schedule e: at '7:45' is not HH:MM (07:45)";
        QTest::newRow("schedule: an unknown day")
            << entry("{name: e, group: all, at: '07:45', days: [mon, tues], do: {power: 'ON'}}")
            << "9:52: schedule e: 'tues' is not a day (mon, tue, wed, thu, fri, sat, sun)";
        QTest::newRow("schedule: 30 February")
            << entry("{name: e, group: all, at: '07:45', dates: [2027-02-30], do: {power: 'ON'}}")
            << "9:48: dates: '2027-02-30' is not a date (YYYY-MM-DD)";
        QTest::newRow("schedule: a holiday that is no date")
            << grouped + "holidays: [2027-02-29]\n"
            << "8:12: holidays: '2027-02-29' is not a date (YYYY-MM-DD)";
        QTest::newRow("schedule: an unknown zone")
            << grouped + "time_zone: Europe/Atlantis\n"
            << "8:12: time_zone 'Europe/Atlantis' is not a time zone this machine knows (Europe/Berlin, "
               "America/New_York ...)";
        QTest::newRow("schedule: a do that set refuses")
            << entry("{name: e, group: all, at: '07:45', do: {power: 'MAYBE'}}")
            << "9:44: schedule e: do: power: \"ON\" or \"OFF\"";
        QTest::newRow("schedule: a free line")
            << entry("{name: e, group: all, at: '07:45', do: {line: 'C00'}}")
            << "9:44: schedule e: do: free command lines are refused here (allow_raw is false)";
        QTest::newRow("schedule: two of one name")
            << grouped + "schedules:\n  - {name: e, group: all, at: '07:45', do: {power: 'ON'}}\n"
                         "  - {name: e, group: all, at: '08:45', do: {power: 'ON'}}\n"
            << "10:12: schedule 'e' is given twice (first on line 9)";
        QTest::newRow("schedule: days and dates")
            << entry(
                   "{name: e, group: all, at: '07:45', days: [mon], dates: [2027-01-04], do: {power: 'ON'}}")
            << "9:60: schedule e: days or dates, not both";
        QTest::newRow("schedule: catch_up in minutes")
            << entry("{name: e, group: all, at: '07:45', do: {power: 'ON'}, catch_up: 10 minutes}")
            << "9:69: catch_up: '10 minutes' is not a duration (30s, 10m, 8h)";
        QTest::newRow("schedule: verify without a unit")
            << entry("{name: e, group: all, at: '07:45', do: {power: 'ON'}, verify: 300}")
            << "9:67: verify: '300' is not a duration (30s, 10m, 8h)";
        QTest::newRow("wildcard in the base topic")
            << good + "mqtt: {host: b, base_topic: kr7/#}\n"
            << "5:29: base_topic: 'kr7/#': topic levels separated by '/', without "
               "'+', '#', an empty level or a '/' at either end";
    }
    void configErrors() {
        QFETCH(QByteArray, yaml);
        QFETCH(QString, error);
        const auto parsed = parseConfig(yaml);
        QVERIFY(std::holds_alternative<ConfigError>(parsed));
        const ConfigError &e = std::get<ConfigError>(parsed);
        const QString got =
            e.line ? QStringLiteral("%1:%2: %3").arg(e.line).arg(e.column).arg(e.message) : e.message;
        QCOMPARE(got, error);
    }

    // Each row: a zone, its holidays, the entries, a span from a moment; the runs in it, in local time.
    void theCalendar_data() {
        QTest::addColumn<QByteArray>("zone");
        QTest::addColumn<QByteArray>("holidays");
        QTest::addColumn<QByteArray>("entries");
        QTest::addColumn<QString>("from");
        QTest::addColumn<int>("days");
        QTest::addColumn<QStringList>("runs");
        const QByteArray daily = "  - {name: e, group: g, at: '02:30', do: {power: 'OFF'}}\n";
        QTest::newRow("weekly on two days")
            << QByteArray("Europe/Berlin") << QByteArray()
            << QByteArray("  - {name: on, group: g, at: '07:45', days: [mon, fri], do: {power: 'ON'}}\n")
            << "2026-12-07T00:00:00+01:00" << 7
            << QStringList{"2026-12-07T07:45:00+01:00 on", "2026-12-11T07:45:00+01:00 on"};
        QTest::newRow("holidays, dated entries, a dated one beats its group's week")
            << QByteArray("Europe/Berlin") << QByteArray("2026-12-25")
            << QByteArray("  - {name: off, group: g, at: '23:00', do: {power: 'OFF'}}\n"
                          "  - {name: eve, group: g, dates: [2026-12-24], at: '16:00', do: {power: 'OFF'}}\n"
                          "  - {name: xmas, projector: a, dates: [2026-12-25], at: '10:00', do: {input: 2}}\n"
                          "  - {name: a-off, projector: a, at: '23:30', do: {power: 'OFF'}}\n")
            << "2026-12-23T12:00:00+01:00" << 3
            << QStringList{"2026-12-23T23:00:00+01:00 off", "2026-12-23T23:30:00+01:00 a-off",
                           "2026-12-24T16:00:00+01:00 eve", "2026-12-24T23:30:00+01:00 a-off",
                           "2026-12-25T10:00:00+01:00 xmas"};
        QTest::newRow("Berlin spring: the skipped half hour runs at 03:00")
            << QByteArray("Europe/Berlin") << QByteArray() << daily << "2026-03-28T00:00:00+01:00" << 3
            << QStringList{"2026-03-28T02:30:00+01:00 e", "2026-03-29T03:00:00+02:00 e",
                           "2026-03-30T02:30:00+02:00 e"};
        QTest::newRow("Berlin autumn: the repeated hour once, the first")
            << QByteArray("Europe/Berlin") << QByteArray() << daily << "2026-10-24T00:00:00+02:00" << 3
            << QStringList{"2026-10-24T02:30:00+02:00 e", "2026-10-25T02:30:00+02:00 e",
                           "2026-10-26T02:30:00+01:00 e"};
        QTest::newRow("New York spring")
            << QByteArray("America/New_York") << QByteArray() << daily << "2026-03-07T12:00:00-05:00" << 2
            << QStringList{"2026-03-08T03:00:00-04:00 e", "2026-03-09T02:30:00-04:00 e"};
        QTest::newRow("New York autumn")
            << QByteArray("America/New_York") << QByteArray()
            << QByteArray("  - {name: e, group: all, at: '01:30', do: {power: 'OFF'}}\n")
            << "2026-10-31T12:00:00-04:00" << 2
            << QStringList{"2026-11-01T01:30:00-04:00 e", "2026-11-02T01:30:00-05:00 e"};
        QTest::newRow("Lord Howe spring: half an hour skipped")
            << QByteArray("Australia/Lord_Howe") << QByteArray()
            << QByteArray("  - {name: e, group: g, at: '02:15', do: {power: 'OFF'}}\n")
            << "2026-10-03T12:00:00+10:30" << 2
            << QStringList{"2026-10-04T02:30:00+11:00 e", "2026-10-05T02:15:00+11:00 e"};
        QTest::newRow("Lord Howe autumn: half an hour repeated")
            << QByteArray("Australia/Lord_Howe") << QByteArray()
            << QByteArray("  - {name: e, group: g, at: '01:45', do: {power: 'OFF'}}\n")
            << "2026-04-04T12:00:00+11:00" << 2
            << QStringList{"2026-04-05T01:45:00+11:00 e", "2026-04-06T01:45:00+10:30 e"};
        QTest::newRow("29 February")
            << QByteArray("UTC") << QByteArray()
            << QByteArray(
                   "  - {name: leap, projector: c, dates: [2028-02-29], at: '12:00', do: {power: 'ON'}}\n"
                   "  - {name: noon, projector: a, days: [mon, tue], at: '12:00', do: {power: 'ON'}}\n")
            << "2028-02-28T00:00:00Z" << 2
            << QStringList{"2028-02-28T12:00:00+00:00 noon", "2028-02-29T12:00:00+00:00 leap",
                           "2028-02-29T12:00:00+00:00 noon"};
        QTest::newRow("the year's end")
            << QByteArray("Europe/Berlin") << QByteArray("2027-01-01")
            << QByteArray("  - {name: e, group: g, at: '23:59', days: [thu, fri, sat], do: {power: 'OFF'}}\n")
            << "2026-12-31T00:00:00+01:00" << 3
            << QStringList{"2026-12-31T23:59:00+01:00 e", "2027-01-02T23:59:00+01:00 e"};
    }
    void theCalendar() {
        QFETCH(QByteArray, zone);
        QFETCH(QByteArray, holidays);
        QFETCH(QByteArray, entries);
        QFETCH(QString, from);
        QFETCH(int, days);
        QFETCH(QStringList, runs);
        const Config c = venue(zone, holidays, entries);
        const Calendar calendar(c.schedules, c.holidays, zoneOf(c));
        const qint64 start = instant(from);
        QStringList got;
        for (const Calendar::Run &r : calendar.runs(start, start + days * 86400000LL)) {
            got << wall(r.dueMs, calendar.zone()) + QLatin1Char(' ') + c.schedules[r.entry].name;
            // Every run is the next one after the moment before it, and the latest one at its moment.
            QCOMPARE(calendar.nextDue(r.entry, r.dueMs - 1), r.dueMs);
            QCOMPARE(calendar.latestDue(r.entry, r.dueMs), r.dueMs);
        }
        QCOMPARE(got, runs);
    }

    // Each row: an entry (daily at 07:45 in Berlin, catch_up 10m) that last fell due then; the clock says
    // now; what runs, and what was missed. A lamp's forecast end from a day's samples (at noon UTC from
    // 2026-01-01), and the replacements they show.
    void lampsPlanned_data() {
        QTest::addColumn<int>("days");
        QTest::addColumn<std::function<double(int)>>("hours"); // lamp 1's hours on day d
        QTest::addColumn<double>("life");
        QTest::addColumn<QString>("end");
        QTest::addColumn<int>("replacements");
        using H = std::function<double(int)>;
        QTest::newRow("steady, 10 h a day")
            << 30 << H([](int d) { return 1000.0 + 10 * d; }) << 2000.0 << "2026-04-11" << 0;
        QTest::newRow("60 days at 6 h, the window the last 30")
            << 60 << H([](int d) { return 6.0 * d; }) << 2000.0 << "2026-11-30" << 0;
        QTest::newRow("off for ten days: the average of calendar days")
            << 30 << H([](int d) { return 1000.0 + 10 * std::min(d, 9) + 10 * std::max(0, d - 19); })
            << 2000.0 << "2026-06-03" << 0;
        QTest::newRow("replaced on day 15: from then on")
            << 30 << H([](int d) { return d <= 14 ? 1760.0 + 10 * d : 5.0 + 10 * (d - 15); }) << 2000.0
            << "2026-08-04" << 1;
        QTest::newRow("replaced 3 days ago: too little since")
            << 30 << H([](int d) { return d <= 26 ? 1500.0 : 10.0; }) << 2000.0 << "" << 1;
        QTest::newRow("a drop of 24 h is no replacement")
            << 30 << H([](int d) { return d == 20 ? 1000.0 + 10 * 20 + 24 : 1000.0 + 10 * d; }) << 2000.0
            << "2026-04-11" << 0;
        QTest::newRow("six days are too few")
            << 7 << H([](int d) { return 100.0 + 10 * d; }) << 2000.0 << "" << 0;
        QTest::newRow("a lamp that did not burn") << 30 << H([](int) { return 400.0; }) << 2000.0 << "" << 0;
        QTest::newRow("spent already") << 30 << H([](int d) { return 1900.0 + 10 * d; }) << 2000.0 << "" << 0;
    }
    void lampsPlanned() {
        QFETCH(int, days);
        QFETCH(std::function<double(int)>, hours);
        QFETCH(double, life);
        QFETCH(QString, end);
        QFETCH(int, replacements);
        const qint64 day0 = QDateTime(QDate(2026, 1, 1), QTime(12, 0), Qt::UTC).toMSecsSinceEpoch();
        QList<LampSample> samples;
        for (int d = 0; d < days; ++d)
            samples << LampSample{day0 + qint64(d) * 86400000, {hours(d), 500.0, std::nullopt, 100.0 + d}};
        const qint64 now = samples.last().atMs;
        const auto said = forecastEnd(samples, 0, life, now, QTimeZone::utc());
        QCOMPARE(said ? said->toString(Qt::ISODate) : QString(), end);
        QCOMPARE(replacementsIn(samples).size(), replacements);
        // A clock set back three days stamps a day's sample among earlier ones: the same forecast.
        std::swap(samples[days / 2].atMs, samples[days / 2 - 3].atMs);
        std::reverse(samples.begin(), samples.end());
        const auto stepped = forecastEnd(samples, 0, life, now, QTimeZone::utc());
        if (!end.isEmpty())
            QCOMPARE(stepped ? stepped->toString(Qt::ISODate) : QString(), end);
        // A lamp at one pace and one never read have none.
        QVERIFY(!forecastEnd(samples, 1, life, now, QTimeZone::utc()));
        QVERIFY(!forecastEnd(samples, 2, life, now, QTimeZone::utc()));
        QVERIFY(forecastEnd(samples, 3, life, now, QTimeZone::utc()) || days < 8);
    }

    // Near its end at warn_at of its life or two weeks before its forecast end, over it at its life; every
    // face reads it from the table; what an operator may record of a lamp.
    void lampWearAndNotes() {
        ProjectorState p = answered();
        LampPlan plan;
        plan.today = QDate(2026, 12, 9);
        plan.forecastEnd = {std::nullopt, QDate(2026, 12, 23), QDate(2026, 12, 24), std::nullopt};
        plan.replaced[3] = QDate(2026, 11, 2);
        plan.replacements[3] = 2;
        p.readings.setLampPlan(plan);
        QVERIFY(p.readings.read("lamp-hours", "1799 0200 0100 2100\r"));
        QCOMPARE(alarmWords(p), (QStringList{"lamp 2 near its end", "lamp 4 over its life"}));
        QVERIFY(p.readings.read("lamp-hours", "1800 0200 0100 1999\r"));
        QCOMPARE(alarmWords(p),
                 (QStringList{"lamp 1 near its end", "lamp 2 near its end", "lamp 4 near its end"}));
        const QJsonObject o = stateObject(p);
        QCOMPARE(o["lamp_life_hours"], QJsonValue(QJsonArray{2000, 2000, 2000, 2000}));
        QCOMPARE(o["lamp_remaining_hours"], QJsonValue(QJsonArray{200, 1800, 1900, 1}));
        QCOMPARE(o["lamp_forecast_end"],
                 QJsonValue(QJsonArray{QJsonValue::Null, "2026-12-23", "2026-12-24", QJsonValue::Null}));
        QCOMPARE(o["lamp_replaced"],
                 QJsonValue(QJsonArray{QJsonValue::Null, QJsonValue::Null, QJsonValue::Null, "2026-11-02"}));
        const QByteArray metrics = metricsText({p}, {}, ServiceState{});
        for (const char *line :
             {"kr7_lamp_remaining_seconds{projector=\"hall-left\",lamp=\"1\"} 720000",
              "kr7_lamp_life_seconds{projector=\"hall-left\",lamp=\"4\"} 7200000",
              "kr7_lamp_forecast_end_timestamp_seconds{projector=\"hall-left\",lamp=\"2\"} 1797984000",
              "kr7_lamp_replacements_total{projector=\"hall-left\",lamp=\"4\"} 2"})
            QVERIFY2(metrics.contains(line), line);
        QVERIFY(
            !metrics.contains("kr7_lamp_forecast_end_timestamp_seconds{projector=\"hall-left\",lamp=\"1\"}"));
        QVERIFY(!o.contains("lamp_replacements"));
        QVERIFY(p.readings.read("lamp-hours", "2500 0200 0100 1999\r"));
        QCOMPARE(stateObject(p)["lamp_remaining_hours"].toArray()[0], 0); // never below

        const struct {
            const char *body, *error;
        } notes[] = {
            {"{\"replaced\": \"2026-12-09\", \"serial\": \"KR-7731\", \"note\": \"after the\\nopera\"}",
             nullptr},
            {"{\"replaced\": \"2026-12-09\"}", nullptr},
            {"{\"serial\": \"KR-7731\"}", "replaced: a date"},
            {"{\"replaced\": \"2026-02-30\"}", "replaced: a date"},
            {"{\"replaced\": \"9.12.2026\"}", "replaced: a date"},
            {"{\"replaced\": \"2026-12-09\", \"by\": \"me\"}", "unknown key 'by'"},
            {"{\"replaced\": \"2026-12-09\", \"serial\": 7731}", "serial:"},
            {"{\"replaced\": \"2026-12-09\", \"serial\": \"a\\tb\"}", "serial:"},
            {"{\"replaced\": \"2026-12-09\", \"note\": \"\\u001b[2J\"}", "note:"},
            {"[1]", "a JSON object"},
        };
        for (const auto &n : notes) {
            const auto parsed = parseLampNote(QByteArray(n.body));
            if (!n.error)
                QVERIFY2(std::holds_alternative<LampNote>(parsed), n.body);
            else
                QVERIFY2(std::holds_alternative<QString>(parsed) &&
                             std::get<QString>(parsed).startsWith(QLatin1String(n.error)),
                         n.body);
        }
        QCOMPARE(std::get<LampNote>(parseLampNote("{\"replaced\": \"2026-12-09\", \"serial\": \"KR-7731\"}"))
                     .serial,
                 QStringLiteral("KR-7731"));
    }

    void whatIsDue_data() {
        QTest::addColumn<QString>("lastDue");
        QTest::addColumn<QString>("now");
        QTest::addColumn<QString>("runs");
        QTest::addColumn<QStringList>("missed");
        QTest::newRow("on time") << "2026-12-08T07:45:00+01:00"
                                 << "2026-12-09T07:45:00+01:00"
                                 << "2026-12-09T07:45:00+01:00" << QStringList();
        QTest::newRow("caught up within catch_up") << "2026-12-08T07:45:00+01:00"
                                                   << "2026-12-09T07:55:00+01:00"
                                                   << "2026-12-09T07:45:00+01:00" << QStringList();
        QTest::newRow("beyond catch_up") << "2026-12-08T07:45:00+01:00"
                                         << "2026-12-09T07:55:01+01:00"
                                         << "" << QStringList{"2026-12-09T07:45:00+01:00"};
        QTest::newRow("away three days, back in time for the latest")
            << "2026-12-05T07:45:00+01:00"
            << "2026-12-09T07:50:00+01:00"
            << "2026-12-09T07:45:00+01:00"
            << QStringList{"2026-12-06T07:45:00+01:00", "2026-12-07T07:45:00+01:00",
                           "2026-12-08T07:45:00+01:00"};
        QTest::newRow("nothing due yet") << "2026-12-08T07:45:00+01:00"
                                         << "2026-12-09T07:44:59+01:00"
                                         << "" << QStringList();
        QTest::newRow("clock set back after a run") << "2026-12-09T07:45:00+01:00"
                                                    << "2026-12-09T07:00:00+01:00"
                                                    << "" << QStringList();
        QTest::newRow("and forward again past the same time") << "2026-12-09T07:45:00+01:00"
                                                              << "2026-12-09T07:46:00+01:00"
                                                              << "" << QStringList();
        QTest::newRow("never due before") << ""
                                          << "2026-12-09T07:50:00+01:00"
                                          << "2026-12-09T07:45:00+01:00" << QStringList();
    }
    void whatIsDue() {
        QFETCH(QString, lastDue);
        QFETCH(QString, now);
        QFETCH(QString, runs);
        QFETCH(QStringList, missed);
        const Config c =
            venue("Europe/Berlin", {}, "  - {name: e, group: g, at: '07:45', do: {power: 'ON'}}\n");
        const Calendar calendar(c.schedules, c.holidays, zoneOf(c));
        const Calendar::Due d = calendar.dueAt(
            0, lastDue.isEmpty() ? std::nullopt : std::optional(instant(lastDue)), instant(now));
        QCOMPARE(d.run ? wall(*d.latest, calendar.zone()) : QString(), runs);
        QStringList got;
        for (const qint64 m : d.missed)
            got << wall(m, calendar.zone());
        QCOMPARE(got, missed);
        // The groups' projectors, nested, each with its delay for power-on.
        QStringList members;
        const QList<GroupMember> g = membersOf(c, QStringLiteral("g")).value();
        for (const GroupMember &m : g)
            members << QStringLiteral("%1+%2").arg(m.projector).arg(m.delayMs);
        QCOMPARE(members.join(QLatin1Char(' ')), QStringLiteral("c+0 a+0 b+2000"));
        QCOMPARE(membersOf(c, QStringLiteral("all"))->size(), 3);
        QVERIFY(!membersOf(c, QStringLiteral("a")));
    }

    void aGoodConfiguration() {
        const auto parsed =
            parseConfig("listen: '[::1]:9100'\npoll_interval: 10\nlines:\n"
                        "  - port: rfc2217://hall-b-gw:2217\n    speed: 9600\n    projectors:\n"
                        "      - {name: hall-b-left, unit: 1}\n      - {name: hall-b-right, unit: \"2\"}\n"
                        "  - port: /dev/ttyUSB0\n    projectors: [{name: foyer, unit: single}]\n");
        QVERIFY(std::holds_alternative<Config>(parsed));
        const Config &c = std::get<Config>(parsed);
        QCOMPARE(c.listenHost, QStringLiteral("::1"));
        QCOMPARE(c.listenPort, 9100);
        QCOMPARE(c.pollIntervalS, 10);
        QCOMPARE(c.offlineAfter, 3);
        QCOMPARE(c.lines.size(), 2);
        QCOMPARE(c.lines[0].settings(), QStringLiteral("9600,N,8,1"));
        QCOMPARE(c.lines[0].projectors[1].prefix, QStringLiteral("A002"));
        QCOMPARE(c.lines[1].baud, 19200);
        QCOMPARE(c.lines[1].projectors[0].prefix, QString());
    }

    // A projector that is down shows nothing but that and its counters; label values are escaped.
    void whatTheFacesShow() {
        ProjectorState down;
        down.name = QStringLiteral("foyer");
        down.exchanges = 18;
        down.noReplies = 18;
        ProjectorState up = answered();
        up.readings.read("pc-type", "A\"B\\C\r");
        const QByteArray metrics =
            metricsText({down, up}, {{QStringLiteral("/dev/ttyUSB0"), true, false, 2}});
        QStringList foyer;
        for (const QByteArray &line : metrics.split('\n'))
            if (line.contains("projector=\"foyer\""))
                foyer << QString::fromUtf8(line);
        QCOMPARE(foyer,
                 QStringList({"kr7_up{projector=\"foyer\"} 0", "kr7_exchanges_total{projector=\"foyer\"} 18",
                              "kr7_no_reply_total{projector=\"foyer\"} 18",
                              "kr7_reply_unreadable_total{projector=\"foyer\"} 0",
                              "kr7_late_replies_total{projector=\"foyer\"} 0"}));
        QVERIFY(metrics.contains(
            "kr7_status_info{projector=\"hall-left\",query=\"pc_type\",text=\"A\\\"B\\\\C\"} 1"));
        QVERIFY(metrics.contains("kr7_lamp_used_seconds{projector=\"hall-left\",lamp=\"2\"} 4323600\n"));
        QVERIFY(metrics.contains("kr7_line_losses_total{line=\"/dev/ttyUSB0\"} 2\n"));
        const QJsonObject o = stateObject(down);
        for (const char *key : {"power", "power_code", "input", "lamps", "lamp_hours", "temperature",
                                "pressure_hpa", "pc_type", "last_seen"})
            QVERIFY2(o[QLatin1String(key)].isNull(), key);
        QCOMPARE(o[QLatin1String("available")], QJsonValue(false));
    }

    // A reading added to the table is polled, shown in /state, written as a metric family and announced to
    // Home Assistant, with nothing else changed: the faces walk the table.
    void aNewReadingIsOneRow() {
        std::vector<Reading> rows(readingTable().begin(), readingTable().end());
        rows.push_back(
            Reading{"pressure_raw",
                    "pressure",
                    JsonType::Integer,
                    [](QByteArrayView reply) {
                        const auto v = readDecimal(reply.first(std::max<qsizetype>(0, reply.size() - 1)));
                        return v ? ReadResult{*v, true} : ReadResult{};
                    },
                    0,
                    true,
                    nullptr,
                    {"kr7_pressure_raw", "gauge", "The pressure as sent."},
                    {"sensor", "pressure_raw", "Pressure (raw)", R"({"state_class":"measurement"})"}});
        const ReadingTable table(rows);
        QCOMPARE(polledQueries(table).size(), polledQueries().size());
        ProjectorState p;
        p.readings = Readings(table);
        p.name = QStringLiteral("foyer");
        QVERIFY(p.readings.read("pressure", "0512\r"));
        QCOMPARE(stateObject(p)[QLatin1String("pressure_raw")], QJsonValue(512));
        QCOMPARE(stateObject(p)[QLatin1String("pressure_hpa")], QJsonValue(650));
        const QByteArray metrics = metricsText({p}, {});
        QVERIFY(
            metrics.contains("# TYPE kr7_pressure_raw gauge\nkr7_pressure_raw{projector=\"foyer\"} 512\n"));
        MqttConfig mqtt;
        const QList<MqttMessage> found = discoveryMessages(p.name, mqtt, QStringLiteral("1.40"), table);
        QCOMPARE(found.size(), discoveryMessages(p.name, mqtt, QStringLiteral("1.40")).size() + 1);
        const auto raw = std::find_if(found.begin(), found.end(), [](const MqttMessage &m) {
            return m.topic == QLatin1String("homeassistant/sensor/kr7_foyer/pressure_raw/config");
        });
        QVERIFY(raw != found.end());
        QCOMPARE(QJsonDocument::fromJson(raw->payload)[QLatin1String("value_template")].toString(),
                 QStringLiteral("{{ value_json.pressure_raw }}"));
    }

    // The exposition kept between scrapes is the one written anew, after every kind of change the state
    // knows; each change is heard once.
    void theKeptExpositionFollowsEveryChange() {
        const auto parsed = parseConfig("lines:\n  - port: /dev/ttyUSB0\n    projectors:\n"
                                        "      - {name: left, unit: 1}\n      - {name: right, unit: 2}\n");
        BridgeState state(std::get<Config>(parsed));
        MetricsText kept;
        int heard = 0;
        connect(&state, &BridgeState::projectorChanged, this, [&](int i) {
            kept.invalidate(i);
            ++heard;
        });
        connect(&state, &BridgeState::lineChanged, this, [&] { ++heard; });
        const std::function<void()> changes[] = {
            [&] { state.changeLine(0, [](LineState &l) { l.up = true; }); },
            [&] { state.change(0, [](ProjectorState &p) { p.available = true; }); },
            [&] { state.change(0, [](ProjectorState &p) { p.readings.read("power", "00\r"); }); },
            [&] { state.change(1, [](ProjectorState &p) { p.readings.read("lamp-hours", "12 34\r"); }); },
            [&] {
                state.change(1, [](ProjectorState &p) { p.readings.read("temperature", "-05.5, 12.\r"); });
            },
            [&] { state.change(0, [](ProjectorState &p) { ++p.exchanges, ++p.noReplies, ++p.unreadable; }); },
            [&] {
                state.change(0, [](ProjectorState &p) { p.lastSeen = QDateTime::fromSecsSinceEpoch(1e9); });
            },
            [&] { state.change(1, [](ProjectorState &p) { p.pollSeconds = 0.25; }); },
            [&] { state.change(0, [](ProjectorState &p) { p.readings.read("power", "zz\r"); }); },
            [&] {
                state.change(0, [](ProjectorState &p) {
                    p.available = false;
                    p.readings.clear();
                });
            },
            [&] { state.changeLine(0, [](LineState &l) { l.up = false, ++l.losses; }); },
        };
        kept.render(state.projectors(), state.lines());
        for (size_t i = 0; i < std::size(changes); ++i) {
            changes[i]();
            QCOMPARE(heard, int(i) + 1);
            QCOMPARE(kept.render(state.projectors(), state.lines()),
                     metricsText(state.projectors(), state.lines()));
        }
    }

    // Each reader against the replies of every other query (of each shape the projector sends, and an ACK): a
    // late reply of another query is never read as this one's, but where the two tables share a code (a power
    // code 00 is also an orientation, a signal 80 also a power code), which the settle gap alone tells apart.
    void readersTellOtherQueriesReplies_data() {
        QTest::addColumn<QByteArray>("query");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<bool>("readable");
        const QList<std::pair<QByteArray, QByteArrayList>> samples{
            {"power", {"80", "00", "40", "24"}},
            {"input", {"1", "3"}},
            {"orientation", {"11", "01"}},
            {"lamp-hours", {"1234 1201 0987 1010", "12345 0042 0987 1010"}},
            {"temperature", {"036.0, 47.5", "035.5C,40.5C"}},
            {"lamps", {"0F", "19", "2B"}},
            {"pc-type", {"NTSC", "1280X1024 60HZ", "----"}},
            {"signal", {"FF", "03"}},
            {"pressure", {"0512", "+0042"}}};
        const QSet<QByteArray> shared{"orientation 00", "lamps 00",  "lamps 24",  "lamps 11", "lamps 01",
                                      "lamps 03",       "signal 80", "signal 00", "signal 01"};
        for (const auto &[query, own] : samples) {
            QTest::newRow(query + " reads no ACK") << query << QByteArray("\x06") << false;
            for (const auto &[other, replies] : samples)
                if (other != query)
                    for (const QByteArray &reply : replies)
                        QTest::newRow(query + " reads " + other + " '" + reply + "'")
                            << query << reply + '\r' << shared.contains(query + ' ' + reply);
        }
    }
    void readersTellOtherQueriesReplies() {
        QFETCH(QByteArray, query);
        QFETCH(QByteArray, reply);
        QFETCH(bool, readable);
        Readings r;
        const std::string_view q(query.constData(), size_t(query.size()));
        r.read(q, reply);
        const ReadingTable table = readingTable();
        for (size_t i = 0; i < table.size(); ++i)
            if (table[i].query == q)
                QVERIFY2(r.at(qsizetype(i)).isNull() != readable, table[i].key.data());
    }

    // One power table for every face: for each code the status texts know, what it is, whether MQTT and
    // /state say ON, kr7_power_on, PJLink's POWR, and the alarms.
    void theOnePowerTable_data() {
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("state");
        QTest::addColumn<char>("powr");
        QTest::addColumn<QStringList>("alarms");
        const QString hot = QStringLiteral("temperature warning");
        const auto row = [](const char *code, const char *state, char powr, QStringList alarms = {}) {
            QTest::newRow(code) << QString::fromLatin1(code) << QString::fromLatin1(state) << powr << alarms;
        };
        row("00", "on", '1');
        row("02", "on", '1');
        row("04", "on", '1');
        row("08", "on", '1', {hot});
        row("40", "warming_up", '3');
        row("20", "cooling", '2');
        row("28", "cooling", '2', {hot});
        row("24", "cooling", '2', {hot}); // lamps out, the cooling phase, its text's warning
        row("21", "cooling", '2', {QStringLiteral("lamp failure")});
        row("80", "standby", '0');
        row("88", "standby", '0', {hot});
        row("81", "standby", '0', {QStringLiteral("lamp failure")});
        row("10", "failed", '0', {QStringLiteral("power failure")});
    }
    void theOnePowerTable() {
        QFETCH(QString, code);
        QFETCH(QString, state);
        QFETCH(char, powr);
        QFETCH(QStringList, alarms);
        QCOMPARE(qsizetype(status::kPowerStatus.size()), 13); // a code the texts add needs a row here
        ProjectorState p = answered();
        QVERIFY(p.readings.read("power", code.toLatin1() + '\r'));
        const QJsonObject o = stateObject(p);
        QCOMPARE(o[QLatin1String("power_state")].toString(), state);
        const bool on = state == QLatin1String("on") || state == QLatin1String("warming_up");
        QCOMPARE(o[QLatin1String("power")].toString(), on ? QStringLiteral("ON") : QStringLiteral("OFF"));
        QVERIFY(metricsText({p}, {}).contains(QByteArray("kr7_power_on{projector=\"hall-left\"} ") +
                                              (on ? "1" : "0") + '\n'));
        QCOMPARE(pjlinkPower(code), std::optional<char>(powr));
        QCOMPARE(alarmWords(p), alarms);
    }

    // A reload renumbers the projectors: each row gives the lines before and after (a line's port, then its
    // projectors' names and units) and what the state, the first line's round and its silence counts make of
    // it. Before: line 1's round has asked one query; every projector was silent one round (offline_after 2).
    void renumbering_data() {
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("after");
        QTest::addColumn<QList<int>>("newIndexOf");
        QTest::addColumn<QString>(
            "kept"); // each projector's exchanges after (a kept one's are its old index + 1)
        QTest::addColumn<QString>("round");   // the rest of the first line's round, if it is kept
        QTest::addColumn<QList<int>>("down"); // those down at the next round's end
        QTest::newRow("a projector added") << "A:a1/1,a2/2"
                                           << "A:a1/1,a2/2,a3/3" << QList<int>{0, 1} << "1 2 0"
                                           << "Q0.1 Q1.0 Q1.1 end" << QList<int>{0, 1};
        QTest::newRow("a projector removed") << "A:a1/1,a2/2,a3/3"
                                             << "A:a1/1,a3/3" << QList<int>{0, -1, 1} << "1 3"
                                             << "Q0.1 Q1.0 Q1.1 end" << QList<int>{0, 1};
        QTest::newRow("the first removed mid-round") << "A:a1/1,a2/2"
                                                     << "A:a2/2" << QList<int>{-1, 0} << "2"
                                                     << "Q0.0 Q0.1 end" << QList<int>{0};
        QTest::newRow("a projector moved to another line")
            << "A:a1/1,a2/2;B:b1/1"
            << "A:a1/1;B:b1/1,a2/2" << QList<int>{0, -1, 1} << "1 3 0"
            << "Q0.1 end" << QList<int>{0};
        QTest::newRow("a unit changed") << "A:a1/1,a2/2"
                                        << "A:a1/1,a2/3" << QList<int>{0, -1} << "1 0"
                                        << "Q0.1 end" << QList<int>{0};
        QTest::newRow("a line added above") << "A:a1/1"
                                            << "B:b1/1;A:a1/1" << QList<int>{1} << "0 1"
                                            << "Q1.1 end" << QList<int>{1};
        QTest::newRow("the first line removed") << "A:a1/1;B:b1/1"
                                                << "B:b1/1" << QList<int>{-1, 0} << "2"
                                                << "" << QList<int>{};
    }
    void renumbering() {
        QFETCH(QString, before);
        QFETCH(QString, after);
        QFETCH(QList<int>, newIndexOf);
        QFETCH(QString, kept);
        QFETCH(QString, round);
        QFETCH(QList<int>, down);
        const auto config = [](const QString &layout) {
            QByteArray yaml = "offline_after: 2\nlines:\n";
            for (const QString &line : layout.split(QLatin1Char(';'))) {
                yaml += "  - port: /dev/tty" + line.section(QLatin1Char(':'), 0, 0).toUtf8() +
                        "\n    projectors:\n";
                for (const QString &p : line.section(QLatin1Char(':'), 1).split(QLatin1Char(',')))
                    yaml += "      - {name: " + p.section(QLatin1Char('/'), 0, 0).toUtf8() +
                            ", unit: " + p.section(QLatin1Char('/'), 1).toUtf8() + "}\n";
            }
            return std::get<Config>(parseConfig(yaml));
        };
        const Config old = config(before), next = config(after);
        BridgeState state(old);
        for (qsizetype i = 0; i < state.projectors().size(); ++i)
            state.change(int(i), [i](ProjectorState &p) { p.exchanges = quint64(i + 1); });
        const auto projectorsOf = [&](int line) {
            QList<int> out;
            for (qsizetype i = 0; i < state.projectors().size(); ++i)
                if (state.projectors()[i].line == line)
                    out << int(i);
            return out;
        };
        LineSchedule schedule(projectorsOf(0), 2, 1000);
        schedule.start(0);
        QCOMPARE(schedule.next(0).kind, LineSchedule::Step::Kind::Query);
        AvailabilityRule rule(projectorsOf(0), 2);
        QCOMPARE(rule.roundEnded(), QList<int>());
        QList<int> keptLineOf;
        int firstLineNow = -1;
        for (qsizetype l = 0; l < next.lines.size(); ++l) {
            int from = -1;
            for (qsizetype o = 0; o < old.lines.size(); ++o)
                if (old.lines[o].port == next.lines[l].port)
                    from = int(o);
            keptLineOf << from;
            if (from == 0)
                firstLineNow = int(l);
        }
        QCOMPARE(state.reconfigure(next, keptLineOf), newIndexOf);
        QStringList counts;
        for (const ProjectorState &p : state.projectors())
            counts << QString::number(p.exchanges);
        QCOMPARE(counts.join(QLatin1Char(' ')), kept);
        if (firstLineNow < 0) {
            QCOMPARE(round, QString());
            return;
        }
        QVERIFY(schedule.renumber(newIndexOf, projectorsOf(firstLineNow), 1000).empty());
        rule.renumber(newIndexOf, projectorsOf(firstLineNow), 2);
        QStringList walked;
        for (LineSchedule::Step st = schedule.next(0); st.kind != LineSchedule::Step::Kind::Wait;
             st = schedule.next(0)) {
            walked << (st.kind == LineSchedule::Step::Kind::RoundEnd
                           ? QStringLiteral("end")
                           : QStringLiteral("Q%1.%2").arg(st.projector).arg(st.query));
            if (st.kind == LineSchedule::Step::Kind::RoundEnd)
                break;
        }
        QCOMPARE(walked.join(QLatin1Char(' ')), round);
        QCOMPARE(rule.roundEnded(), down);
    }

    // What a line sends next, step by step: commands first, then polls asked for now, then the round; a round
    // ends before the next is due, and the next starts when its time comes, not before.
    void theLineSchedule() {
        using K = LineSchedule::Step::Kind;
        const auto command = [](int projector, const QString &code) {
            LineCommand c;
            c.projector = projector;
            c.code = code;
            return c;
        };
        LineSchedule s({3, 4}, 2, 1000);
        QCOMPARE(s.next(0).kind, K::Wait); // not started
        s.start(0);
        const auto walk = [&](qint64 now, int steps) {
            QStringList seen;
            for (int i = 0; i < steps; ++i) {
                const LineSchedule::Step st = s.next(now);
                seen << (st.kind == K::Command
                             ? QStringLiteral("C%1:%2").arg(st.projector).arg(st.command.code)
                         : st.kind == K::Query    ? QStringLiteral("Q%1.%2").arg(st.projector).arg(st.query)
                         : st.kind == K::RoundEnd ? QStringLiteral("end")
                                                  : QStringLiteral("wait"));
            }
            return seen.join(QLatin1Char(' '));
        };
        QCOMPARE(walk(0, 2), QStringLiteral("Q3.0 Q3.1"));
        QVERIFY(s.addCommand(command(4, QStringLiteral("C00"))));
        s.addPoll(3);
        s.addPoll(3); // once, however often asked
        QCOMPARE(walk(10, 8), QStringLiteral("C4:C00 Q3.0 Q3.1 Q4.0 Q4.1 end wait wait"));
        QCOMPARE(s.dueAt(), 1000);
        QCOMPARE(walk(1000, 2), QStringLiteral("Q3.0 Q3.1"));
        QCOMPARE(s.dueAt(), 2000);
        for (int i = 0; i < LineSchedule::kMaxWaiting; ++i)
            QVERIFY(s.addCommand(command(3, QString::number(i))));
        QVERIFY(s.isFull());
        QVERIFY(!s.addCommand(command(3, QStringLiteral("one too many"))));
        QCOMPARE(s.stop().size(), size_t(LineSchedule::kMaxWaiting));
        QCOMPARE(walk(5000, 1), QStringLiteral("wait"));
        // A round that outlasts its interval is followed by the next at once.
        s.start(6000);
        QCOMPARE(walk(9000, 6), QStringLiteral("Q3.0 Q3.1 Q4.0 Q4.1 end Q3.0"));
        // Silent at the first query of its round: nothing more of it in this round; asked again in the next.
        s.skipRestOfRound(3);
        QCOMPARE(walk(9000, 4), QStringLiteral("Q4.0 Q4.1 end wait"));
        QCOMPARE(walk(10000, 2), QStringLiteral("Q3.0 Q3.1"));

        AvailabilityRule rule({3, 4}, 2);
        rule.replied(3);
        QCOMPARE(rule.roundEnded(), QList<int>());
        QCOMPARE(rule.roundEnded(), QList<int>({4}));
        rule.reset(4);
        QCOMPARE(rule.roundEnded(), QList<int>({3}));
    }
};

QTEST_GUILESS_MAIN(TestBridgeCore)
#include "tst_bridgecore.moc"
