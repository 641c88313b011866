// The bridge's pure parts: what each reply reads as (and what it clears), the configuration's errors, and the
// state as the metrics and /state show it.
#include "config.h"
#include "readings.h"
#include "state.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using namespace kr7;
using namespace kr7::bridge;

Q_DECLARE_METATYPE(kr7::QueryKind)

namespace {
// A projector that has answered every query readably; the row's reply then replaces one of them.
ProjectorState answered() {
    ProjectorState p;
    p.name = QStringLiteral("hall-left");
    p.port = QStringLiteral("/dev/ttyUSB0");
    p.unit = QStringLiteral("1");
    p.available = true;
    const QByteArray replies[] = {"00\r",   "2\r",  "11\r",  "1234 1201 0987 1010\r", "036.0, 47.5\r", "0F\r",
                                  "NTSC\r", "00\r", "0512\r"};
    for (const QueryRow &q : kPolledQueries)
        if (!readReply(p.readings, q.query, replies[size_t(q.query)]))
            qFatal("reply to %s unread", q.name.data());
    return p;
}

// The members of the state object that a query sets.
const QHash<QueryKind, QStringList> kMembers{
    {QueryKind::Power, {"power", "power_code", "power_status"}},
    {QueryKind::Input, {"input"}},
    {QueryKind::Orientation, {"orientation"}},
    {QueryKind::LampHours, {"lamp_hours"}},
    {QueryKind::Temperature, {"temperature"}},
    {QueryKind::Lamps, {"lamp_mode", "lamps"}},
    {QueryKind::PcType, {"pc_type"}},
    {QueryKind::Signal, {"signal"}},
    {QueryKind::Pressure, {"pressure_hpa"}},
};
} // namespace

class TestBridgeCore : public QObject {
    Q_OBJECT
  private slots:
    // Each row: a reply to one query, whether it reads in full, and the members of /state it leaves, as JSON.
    // Every other member keeps what the earlier replies said.
    void readings_data() {
        QTest::addColumn<QueryKind>("query");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<bool>("readable");
        QTest::addColumn<QByteArray>("members");
        using Q = QueryKind;
        const auto row = [](const char *name, Q q, const char *reply, bool readable, const char *json) {
            QTest::newRow(name) << q << QByteArray(reply) << readable << QByteArray(json).replace('\'', '"');
        };
        row("standby", Q::Power, "80\r", true, "{'power':'OFF','power_code':'80','power_status':'Stand by'}");
        row("count down is on", Q::Power, "40\r", true,
            "{'power':'ON','power_code':'40','power_status':'Count down'}");
        row("warning while on", Q::Power, "08\r", true,
            "{'power':'ON','power_code':'08','power_status':'Temperature Warning(Power ON)'}");
        row("cooling, all lamps failed", Q::Power, "81\r", true,
            "{'power':'OFF','power_code':'81','power_status':'Cooling down & sutandby (All Lamp FAIL)'}");
        row("power code not in the table", Q::Power, "99\r", false,
            "{'power':null,'power_code':null,'power_status':null}");
        row("an acknowledgement is no power code", Q::Power, "\x06", false,
            "{'power':null,'power_code':null,'power_status':null}");
        row("input 3", Q::Input, "3\r", true, "{'input':3}");
        row("input reads the first character", Q::Input, "12\r", true, "{'input':1}");
        row("input 5", Q::Input, "5\r", false, "{'input':null}");
        row("orientation", Q::Orientation, "10\r", true, "{'orientation':'Top/Bottom reversal'}");
        row("four lamp hours", Q::LampHours, "0042 1201 0987 1010\r", true,
            "{'lamp_hours':[42,1201,987,1010]}");
        row("one lamp's hours", Q::LampHours, "12345\r", true, "{'lamp_hours':[12345]}");
        row("blanks between", Q::LampHours, "12  34\r", true, "{'lamp_hours':[12,34]}");
        row("five numbers", Q::LampHours, "1 2 3 4 5\r", false, "{'lamp_hours':null}");
        row("not a number", Q::LampHours, "12a4 1\r", false, "{'lamp_hours':null}");
        row("negative", Q::LampHours, "-12\r", false, "{'lamp_hours':null}");
        row("a number cut at 19 characters is left out", Q::LampHours, "1234 1201 0987 10105\r", false,
            "{'lamp_hours':[1234,1201,987]}");
        row("only a carriage return", Q::LampHours, "\r", false, "{'lamp_hours':null}");
        row("both sensors", Q::Temperature, "024.5, 24.0\r", true, "{'temperature':[24.5,24]}");
        row("signed sensor, second cut by the carriage return", Q::Temperature, "-05.5, 12.\r", false,
            "{'temperature':[-5.5,null]}");
        row("short reply reads no sensor", Q::Temperature, "25\r", false, "{'temperature':null}");
        row("two points", Q::Temperature, "2.4.5, 31.5\r", false, "{'temperature':[null,31.5]}");
        row("lamps 1, 2 and 4 in mode 2", Q::Lamps, "2B\r", true,
            "{'lamp_mode':2,'lamps':[true,true,false,true]}");
        row("lower-case lamp digit", Q::Lamps, "0f\r", false, "{'lamp_mode':null,'lamps':null}");
        row("pc type", Q::PcType, "1280X1024 60HZ\r", true, "{'pc_type':'1280X1024 60HZ'}");
        row("pc type without its end", Q::PcType, "NTSC", false, "{'pc_type':null}");
        row("pc type with a control byte", Q::PcType, "\x01X\r", false, "{'pc_type':null}");
        row("signal", Q::Signal, "80\r", true, "{'signal':'No signal'}");
        row("pressure", Q::Pressure, "0512\r", true, "{'pressure_hpa':650}");
        row("signed pressure", Q::Pressure, "+0042\r", true, "{'pressure_hpa':150}");
        row("no number is no pressure", Q::Pressure, "\r", false, "{'pressure_hpa':null}");
        row("pressure beyond the projector's arithmetic", Q::Pressure, "9999\r", false,
            "{'pressure_hpa':null}");
        row("nothing at all", Q::Pressure, "", false, "{'pressure_hpa':null}");
    }
    void readings() {
        QFETCH(QueryKind, query);
        QFETCH(QByteArray, reply);
        QFETCH(bool, readable);
        QFETCH(QByteArray, members);
        ProjectorState p = answered();
        const QJsonObject before = stateObject(p);
        QCOMPARE(readReply(p.readings, query, reply), readable);
        const QJsonObject after = stateObject(p);
        const QJsonObject expected = QJsonDocument::fromJson(members).object();
        QVERIFY(!expected.isEmpty());
        for (auto it = after.begin(); it != after.end(); ++it) {
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
                                 "offline_after, lines, mqtt)";
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
            << "5:11: port '/dev/ttyUSB0' is given twice (first on line 2): one line, one list of projectors";
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
        up.readings.pcType = QStringLiteral("A\"B\\C");
        const QByteArray metrics = metricsText({down, up}, {{QStringLiteral("/dev/ttyUSB0"), true, 2}});
        QStringList foyer;
        for (const QByteArray &line : metrics.split('\n'))
            if (line.contains("projector=\"foyer\""))
                foyer << QString::fromUtf8(line);
        QCOMPARE(foyer,
                 QStringList({"kr7_up{projector=\"foyer\"} 0", "kr7_exchanges_total{projector=\"foyer\"} 18",
                              "kr7_no_reply_total{projector=\"foyer\"} 18",
                              "kr7_reply_unreadable_total{projector=\"foyer\"} 0"}));
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
};

QTEST_GUILESS_MAIN(TestBridgeCore)
#include "tst_bridgecore.moc"
