// kr7-bridge over MQTT against Debian's Mosquitto, as Home Assistant and a room controller meet it: what it
// announces and publishes, what it does with commands (good and bad), and what subscribers see when the
// broker restarts, the bridge is killed or stopped, or the password is wrong.
#include "mqttpeers.h"
#include "peers.h"
#include "ser2net.h"
#include "support.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <QTcpServer>
#include <QTcpSocket>

#include <csignal>

using namespace kr7;
using kr7::peers::Message;
using kr7::peers::mqttPublish;
using kr7::peers::Subscriber;

namespace {

struct BridgeRun {
    QTemporaryDir dir;
    QProcess process;
    QByteArray err;
    bool writeConfig(const QByteArray &config) {
        QFile f(dir.filePath(QStringLiteral("bridge.yaml")));
        if (!f.open(QIODevice::WriteOnly))
            return false;
        f.write("listen: 127.0.0.1:" + QByteArray::number(peers::Ser2net::freePort()) + "\n" + config);
        return true;
    }
    bool start(const QByteArray &config) {
        if (!writeConfig(config))
            return false;
        process.start(qEnvironmentVariable("KR7_BRIDGE"),
                      {QStringLiteral("--config"), dir.filePath(QStringLiteral("bridge.yaml"))});
        return QTest::qWaitFor([&] { return stderrText().contains(" started: "); }, 15000);
    }
    const QByteArray &stderrText() {
        err += process.readAllStandardError();
        return err;
    }
    void signal(int s) { peers::signalProcess(process, s); }
    ~BridgeRun() {
        process.kill();
        process.waitForFinished();
    }
};

// The lines a projector got that are not the bridge's polls.
QList<QByteArray> commandsTo(const sim::ProjectorSim &projector) {
    static const QList<QByteArray> polls = {"CR0", "CR1", "CR4", "CR3",        "CR6",
                                            "CR7", "CR9", "CRA", "CR PRESSURE"};
    QList<QByteArray> out;
    for (const QByteArray &line : projector.lines())
        if (!polls.contains(line.startsWith('A') ? line.mid(4) : line))
            out << line;
    return out;
}

} // namespace

class TestMqtt : public QObject {
    Q_OBJECT
    std::unique_ptr<sim::ProjectorSim> m_hall;  // units 1 and 2
    std::unique_ptr<sim::ProjectorSim> m_foyer; // alone on its line
    peers::Mosquitto m_broker;
    std::unique_ptr<BridgeRun> m_bridge;
    QByteArray m_config;

    bool startBridge() {
        m_bridge = std::make_unique<BridgeRun>();
        return m_bridge->start(m_config);
    }

  private slots:
    void initTestCase() {
        m_hall = test::startSim({1, 2});
        m_foyer = test::startSim({1});
        QVERIFY2(m_broker.start(), qPrintable(m_broker.errorString()));
        m_config = "poll_interval: 1\noffline_after: 2\nlines:\n  - port: " + m_hall->devicePath().toUtf8() +
                   "\n    projectors: [{name: hall-left, unit: 1}, {name: hall-right, unit: 2}]\n"
                   "  - port: " +
                   m_foyer->devicePath().toUtf8() + "\n    projectors: [{name: foyer, unit: single}]\n" +
                   "mqtt: {host: 127.0.0.1, port: " + QByteArray::number(m_broker.port()) + "}\n";
        QVERIFY(startBridge());
    }

    // What Home Assistant finds: one device per projector, every entity with its keys; and the state.
    void discoveryAndRetainedState() {
        Subscriber probe(m_broker.port(), {QStringLiteral("kr7/hall-right")});
        QVERIFY(probe.waitFor(QStringLiteral("kr7/hall-right"), [](const Message &m) {
            return m.json()[QLatin1String("pressure_hpa")] == 1013;
        }));
        // What a subscriber that comes later finds kept for it.
        Subscriber sub(m_broker.port(), {QStringLiteral("homeassistant/#"), QStringLiteral("kr7/#")});
        QTRY_COMPARE_WITH_TIMEOUT(sub.messages.size(), 1 + 3 * 2 + 3 * 20, 10000);
        QCOMPARE(sub.on(QStringLiteral("kr7/bridge/state")).last().payload, QByteArray("online"));
        QStringList objects;
        for (const Message &m : sub.messages) {
            if (!m.topic.startsWith(QLatin1String("homeassistant/")))
                continue;
            QVERIFY(m.retained);
            const QStringList level =
                m.topic.split(QLatin1Char('/')); // prefix, component, node, object, config
            QCOMPARE(level.size(), 5);
            const QString name = level[2].mid(4);
            const QJsonObject c = m.json();
            QCOMPARE(c[QLatin1String("unique_id")].toString(), level[2] + QLatin1Char('_') + level[3]);
            const QJsonObject device = c[QLatin1String("device")].toObject();
            QCOMPARE(device[QLatin1String("identifiers")], QJsonValue(QJsonArray{level[2]}));
            QCOMPARE(device[QLatin1String("name")].toString(), name);
            QCOMPARE(device[QLatin1String("model")].toString(), QStringLiteral("KR7"));
            QCOMPARE(device[QLatin1String("sw_version")].toString(), QStringLiteral("1.40"));
            QCOMPARE(c[QLatin1String("availability_mode")].toString(), QStringLiteral("all"));
            QCOMPARE(c[QLatin1String("availability")],
                     QJsonValue(QJsonArray{
                         QJsonObject{{QStringLiteral("topic"), QStringLiteral("kr7/bridge/state")}},
                         QJsonObject{
                             {QStringLiteral("topic"), QStringLiteral("kr7/%1/availability").arg(name)}}}));
            if (level[1] != QLatin1String("button")) {
                QCOMPARE(c[QLatin1String("state_topic")].toString(), QStringLiteral("kr7/") + name);
                QVERIFY(c[QLatin1String("value_template")].toString().contains(QLatin1String("value_json.")));
            }
            if (name == QLatin1String("hall-left"))
                objects << level[1] + QLatin1Char('/') + level[3];
            const auto has = [&](const char *key, const QJsonValue &v) {
                QCOMPARE(c[QLatin1String(key)], v);
            };
            if (level[3] == QLatin1String("power")) {
                has("command_topic", QStringLiteral("kr7/%1/set").arg(name));
                has("payload_on", QStringLiteral("{\"power\": \"ON\"}"));
                has("payload_off", QStringLiteral("{\"power\": \"OFF\"}"));
            } else if (level[3].startsWith(QLatin1String("lamp_hours_"))) {
                has("unit_of_measurement", QStringLiteral("h"));
                has("state_class", QStringLiteral("total_increasing"));
            } else if (level[3].startsWith(QLatin1String("lamp_remaining_"))) {
                has("unit_of_measurement", QStringLiteral("h"));
                has("state_class", QStringLiteral("measurement"));
            } else if (level[3].startsWith(QLatin1String("temperature_"))) {
                has("device_class", QStringLiteral("temperature"));
                has("unit_of_measurement", QStringLiteral("°C"));
            } else if (level[3] == QLatin1String("pressure")) {
                has("device_class", QStringLiteral("atmospheric_pressure"));
                has("unit_of_measurement", QStringLiteral("hPa"));
            } else if (level[3] == QLatin1String("input")) {
                has("options", QJsonArray{QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("3"),
                                          QStringLiteral("4")});
            } else if (level[3] == QLatin1String("refresh")) {
                has("payload_press", QStringLiteral("{\"refresh\": true}"));
            }
        }
        objects.sort();
        QCOMPARE(objects, QStringList({"binary_sensor/lamp_1",    "binary_sensor/lamp_2",
                                       "binary_sensor/lamp_3",    "binary_sensor/lamp_4",
                                       "button/refresh",          "select/input",
                                       "sensor/lamp_hours_1",     "sensor/lamp_hours_2",
                                       "sensor/lamp_hours_3",     "sensor/lamp_hours_4",
                                       "sensor/lamp_remaining_1", "sensor/lamp_remaining_2",
                                       "sensor/lamp_remaining_3", "sensor/lamp_remaining_4",
                                       "sensor/power_status",     "sensor/pressure",
                                       "sensor/signal",           "sensor/temperature_1",
                                       "sensor/temperature_2",    "switch/power"}));
        const Message state = *sub.waitFor(QStringLiteral("kr7/hall-right"), [](const Message &m) {
            return m.json()[QLatin1String("pressure_hpa")] == 1013;
        });
        QVERIFY(state.retained);
        QCOMPARE(state.json()[QLatin1String("lamp_hours")], QJsonValue(QJsonArray{1234, 1201, 987, 1010}));
        QCOMPARE(state.json()[QLatin1String("lamp_remaining_hours")],
                 QJsonValue(QJsonArray{766, 799, 1013, 990}));
    }

    // Unchanged projectors publish nothing, whatever number of rounds pass.
    void stateOnChangeOnly() {
        Subscriber sub(m_broker.port(), {QStringLiteral("kr7/+"), QStringLiteral("kr7/+/availability")});
        const qsizetype retained = sub.messages.size();
        QCOMPARE(retained, 6); // three states, three availabilities
        const qsizetype rounds = m_foyer->lines().count("CR0");
        QTRY_VERIFY_WITH_TIMEOUT(m_foyer->lines().count("CR0") >= rounds + 3, 15000);
        QCOMPARE(sub.messages.size(), retained);
    }

    // {"power": "ON"} puts A001C00 on the hall's line only, answers with the exchange, and the state follows.
    void powerOnReachesItsLineAndTheStateFollows() {
        Subscriber sub(m_broker.port(),
                       {QStringLiteral("kr7/hall-left/result"), QStringLiteral("kr7/hall-left")});
        m_hall->clearReceived();
        m_foyer->clearReceived();
        mqttPublish(m_broker.port(), QStringLiteral("kr7/hall-left/set"), "{\"power\": \"ON\"}");
        const auto result =
            sub.waitFor(QStringLiteral("kr7/hall-left/result"), [](const Message &) { return true; });
        QVERIFY(result);
        QVERIFY(!result->retained);
        const QJsonObject r = result->json();
        QCOMPARE(r[QLatin1String("request")],
                 QJsonValue(QJsonObject{{QStringLiteral("power"), QStringLiteral("ON")}}));
        QCOMPARE(r[QLatin1String("line")].toString(), QStringLiteral("A001C00\r"));
        QCOMPARE(r[QLatin1String("replied")], QJsonValue(true));
        QCOMPARE(r[QLatin1String("reply")].toString(), QStringLiteral("\x06"));
        QVERIFY(r[QLatin1String("elapsed_ms")].toDouble() > 0);
        QCOMPARE(commandsTo(*m_hall), QList<QByteArray>{"A001C00"});
        QVERIFY(commandsTo(*m_foyer).isEmpty());
        QVERIFY(sub.waitFor(QStringLiteral("kr7/hall-left"), [](const Message &m) {
            return m.json()[QLatin1String("power")] == QLatin1String("ON");
        }));
        mqttPublish(m_broker.port(), QStringLiteral("kr7/hall-left/set"), "{\"power\": \"OFF\"}");
        QVERIFY(sub.waitFor(QStringLiteral("kr7/hall-left"), [](const Message &m) {
            return m.json()[QLatin1String("power")] == QLatin1String("OFF");
        }));
    }

    // Each bad request gets its error, a line on stderr, and nothing on the projector's line.
    void badRequests_data() {
        QTest::addColumn<QString>("topic");
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QString>("error");
        const QString set = QStringLiteral("kr7/foyer/set");
        QTest::newRow("not JSON") << set << QByteArray("power on") << "not JSON";
        QTest::newRow("not an object") << set << QByteArray("[\"power\"]") << "not a JSON object";
        QTest::newRow("no key") << set << QByteArray("{}") << "no key";
        QTest::newRow("two keys") << set << QByteArray("{\"power\": \"ON\", \"input\": 2}")
                                  << "one key at a time";
        QTest::newRow("unknown key") << set << QByteArray("{\"volume\": 3}") << "unknown key 'volume'";
        QTest::newRow("power on, in lower case")
            << set << QByteArray("{\"power\": \"on\"}") << "power: \"ON\" or \"OFF\"";
        QTest::newRow("input 5") << set << QByteArray("{\"input\": 5}") << "input: 1, 2, 3 or 4";
        QTest::newRow("pause too long") << set << QByteArray("{\"pause\": 7201}") << "pause: 1-7200 seconds";
        QTest::newRow("not in the catalogue")
            << set << QByteArray("{\"command\": \"C99\"}") << "command 'C99' is not a code of the catalogue";
        QTest::newRow("a repeat code is no one-shot")
            << set << QByteArray("{\"command\": \"C5D\"}") << "is not a code of the catalogue";
        QTest::newRow("raw line refused")
            << set << QByteArray("{\"line\": \"C00\"}") << "free command lines are refused here";
        QTest::newRow("over 1 KiB") << set << "{\"line\": \"" + QByteArray(1100, 'x') + "\"}"
                                    << "at most 1024";
        QTest::newRow("unknown projector")
            << QStringLiteral("kr7/attic/set") << QByteArray("{\"power\": \"ON\"}")
            << "no projector named 'attic'";
    }
    void badRequests() {
        QFETCH(QString, topic);
        QFETCH(QByteArray, payload);
        QFETCH(QString, error);
        const QString resultTopic = topic.contains(QLatin1String("attic"))
                                        ? QStringLiteral("kr7/bridge/result")
                                        : QStringLiteral("kr7/foyer/result");
        Subscriber sub(m_broker.port(), {resultTopic});
        m_foyer->clearReceived();
        mqttPublish(m_broker.port(), topic, payload);
        const auto result = sub.waitFor(resultTopic, [](const Message &) { return true; });
        QVERIFY(result);
        QVERIFY2(result->json()[QLatin1String("error")].toString().contains(error),
                 result->payload.constData());
        QVERIFY(result->json().contains(QLatin1String("request")));
        QTRY_VERIFY(m_bridge->stderrText().contains(topic.toUtf8() + ": refused: "));
        // A command would have gone out ahead of the polls that follow.
        const qsizetype seen = m_foyer->lines().size();
        QTRY_VERIFY(m_foyer->lines().size() >= seen + 2);
        QCOMPARE(commandsTo(*m_foyer), QList<QByteArray>());
    }

    // 16 wait besides the one on the wire; the rest are refused and never sent.
    void aFullQueueRefuses() {
        Subscriber sub(m_broker.port(), {QStringLiteral("kr7/foyer/result")});
        m_foyer->faults.replyDelayMs = 400;
        m_foyer->clearReceived();
        QProcess pub; // one connection, 24 messages back to back
        QByteArray lines;
        for (int i = 0; i < 24; ++i)
            lines += "{\"command\": \"C0E\"}\n";
        pub.start(peers::Peer::find(QStringLiteral("mosquitto_pub")),
                  {QStringLiteral("-h"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"),
                   QString::number(m_broker.port()), QStringLiteral("-q"), QStringLiteral("1"),
                   QStringLiteral("-t"), QStringLiteral("kr7/foyer/set"), QStringLiteral("-l")});
        pub.write(lines);
        pub.closeWriteChannel();
        QVERIFY(pub.waitForFinished(10000));
        QTRY_COMPARE_WITH_TIMEOUT(sub.messages.size(), 24, 30000);
        int refused = 0;
        for (const Message &m : sub.messages)
            refused += m.json()[QLatin1String("error")].toString().contains(
                QLatin1String("commands waiting already"));
        QVERIFY2(refused >= 24 - 17, qPrintable(QString::number(refused)));
        QCOMPARE(commandsTo(*m_foyer).size(), 24 - refused);
        m_foyer->faults.replyDelayMs = 2;
    }

    // Refresh is accepted; a pause closes the line (offline) until it ends or {"pause": 0} ends it.
    void refreshAndPause() {
        Subscriber sub(m_broker.port(),
                       {QStringLiteral("kr7/foyer/result"), QStringLiteral("kr7/foyer/availability")});
        mqttPublish(m_broker.port(), QStringLiteral("kr7/foyer/set"), "{\"refresh\": true}");
        QVERIFY(sub.waitFor(QStringLiteral("kr7/foyer/result"),
                            [](const Message &m) { return m.json()[QLatin1String("accepted")] == true; }));
        mqttPublish(m_broker.port(), QStringLiteral("kr7/foyer/set"), "{\"pause\": 600}");
        QVERIFY(sub.waitFor(QStringLiteral("kr7/foyer/availability"),
                            [](const Message &m) { return m.payload == "offline"; }));
        QVERIFY(m_bridge->stderrText().contains("paused for 600 s (asked for by foyer)"));
        const qsizetype before = m_foyer->lines().size();
        mqttPublish(m_broker.port(), QStringLiteral("kr7/foyer/set"), "{\"input\": \"2\"}");
        QVERIFY(sub.waitFor(QStringLiteral("kr7/foyer/result"), [](const Message &m) {
            return m.json()[QLatin1String("error")].toString().contains(QLatin1String("paused"));
        }));
        QCOMPARE(m_foyer->lines().size(), before); // nothing on the line meanwhile
        sub.messages.clear();
        mqttPublish(m_broker.port(), QStringLiteral("kr7/foyer/set"), "{\"pause\": 0}");
        QVERIFY(sub.waitFor(QStringLiteral("kr7/foyer/availability"),
                            [](const Message &m) { return m.payload == "online"; }));
    }

    // A restarted broker has lost what it kept: the bridge publishes it all again.
    void brokerRestarted() {
        m_broker.kill();
        QVERIFY2(m_broker.start(), qPrintable(m_broker.errorString()));
        Subscriber sub(m_broker.port(), {QStringLiteral("kr7/#"), QStringLiteral("homeassistant/switch/#")});
        QVERIFY(sub.waitFor(
            QStringLiteral("kr7/bridge/state"), [](const Message &m) { return m.payload == "online"; },
            40000));
        QVERIFY(sub.waitFor(QStringLiteral("kr7/hall-right/availability"),
                            [](const Message &m) { return m.payload == "online"; }));
        QVERIFY(sub.waitFor(QStringLiteral("kr7/foyer"),
                            [](const Message &m) { return m.json()[QLatin1String("available")] == true; }));
        QVERIFY(sub.waitFor(QStringLiteral("homeassistant/switch/kr7_foyer/power/config"),
                            [](const Message &) { return true; }));
    }

    void offlineOnSigterm() {
        Subscriber sub(m_broker.port(), {QStringLiteral("kr7/bridge/state")});
        QVERIFY(sub.waitFor(QStringLiteral("kr7/bridge/state"),
                            [](const Message &m) { return m.payload == "online"; }));
        sub.messages.clear();
        // Many messages in flight when the stop comes: a burst of commands, each answered on its result
        // topic.
        QProcess burst;
        QStringList args{QStringLiteral("-h"), QStringLiteral("127.0.0.1"),
                         QStringLiteral("-p"), QString::number(m_broker.port()),
                         QStringLiteral("-q"), QStringLiteral("1"),
                         QStringLiteral("-t"), QStringLiteral("kr7/foyer/set"),
                         QStringLiteral("-l")};
        burst.start(peers::Peer::find(QStringLiteral("mosquitto_pub")), args);
        QVERIFY(burst.waitForStarted());
        for (int i = 0; i < 300; ++i)
            burst.write("{\"refresh\": true}\n");
        burst.closeWriteChannel();
        QVERIFY(burst.waitForFinished(10000));
        m_bridge->signal(SIGTERM);
        QTRY_COMPARE(m_bridge->process.state(), QProcess::NotRunning);
        QCOMPARE(m_bridge->process.exitCode(), 0);
        QVERIFY(sub.waitFor(QStringLiteral("kr7/bridge/state"),
                            [](const Message &m) { return m.payload == "offline" && !m.retained; }));
    }

    // A retained command found at connecting is refused (it would run at every connection); the will tells
    // of a bridge that died.
    void aRetainedCommandAndTheWillOnSigkill() {
        mqttPublish(m_broker.port(), QStringLiteral("kr7/foyer/set"), "{\"power\": \"ON\"}", true);
        Subscriber sub(m_broker.port(),
                       {QStringLiteral("kr7/bridge/state"), QStringLiteral("kr7/foyer/result")});
        m_foyer->clearReceived();
        QVERIFY(startBridge());
        QVERIFY(sub.waitFor(QStringLiteral("kr7/foyer/result"), [](const Message &m) {
            return m.json()[QLatin1String("error")].toString().contains(
                QLatin1String("a retained command is not carried out"));
        }));
        mqttPublish(m_broker.port(), QStringLiteral("kr7/foyer/set"), QByteArray(),
                    true); // the broker forgets it
        QVERIFY(commandsTo(*m_foyer).isEmpty());
        QVERIFY(sub.waitFor(QStringLiteral("kr7/bridge/state"),
                            [](const Message &m) { return m.payload == "online"; }));
        sub.messages.clear();
        m_bridge->signal(SIGKILL);
        QVERIFY(sub.waitFor(QStringLiteral("kr7/bridge/state"),
                            [](const Message &m) { return m.payload == "offline"; }));
        Subscriber later(m_broker.port(),
                         {QStringLiteral("kr7/bridge/state")}); // retained for whoever comes next
        QVERIFY(later.waitFor(QStringLiteral("kr7/bridge/state"),
                              [](const Message &m) { return m.payload == "offline" && m.retained; }));
    }

    // A broker that is not there yet: the bridge polls and serves HTTP meanwhile, says so once, and connects
    // when the broker comes.
    void brokerAbsentAtStart() {
        peers::Mosquitto later;
        // Where the broker will be, something that hangs up on every try (and counts them) meanwhile.
        QTcpServer hangsUp;
        QVERIFY(hangsUp.listen(QHostAddress::LocalHost, later.choosePort()));
        int tries = 0;
        connect(&hangsUp, &QTcpServer::newConnection, this, [&] {
            while (QTcpSocket *s = hangsUp.nextPendingConnection()) {
                ++tries;
                s->abort();
                s->deleteLater();
            }
        });
        BridgeRun bridge;
        QVERIFY(bridge.start(m_config.left(m_config.indexOf("mqtt:")) + "mqtt: {host: 127.0.0.1, port: " +
                             QByteArray::number(later.choosePort()) + ", client_id: kr7-later}\n"));
        QTRY_VERIFY_WITH_TIMEOUT(bridge.stderrText().contains("projector foyer: up"), 15000);
        QTRY_VERIFY_WITH_TIMEOUT(tries >= 3, 15000); // at 0, 1 and 3 s
        QCOMPARE(bridge.stderrText().count("; trying again"), 1);
        hangsUp.close();
        QVERIFY2(later.start(), qPrintable(later.errorString()));
        QTRY_VERIFY_WITH_TIMEOUT(bridge.stderrText().contains("mqtt: connected"), 15000);
    }

    // A wrong password is said once and tried again at the back-off's pace; the right one connects.
    void passwords() {
        peers::Mosquitto guarded;
        QVERIFY2(guarded.start(QStringLiteral("kr7"), QStringLiteral("s3cret")),
                 qPrintable(guarded.errorString()));
        QTemporaryDir dir;
        const auto config = [&](const char *password) {
            QFile f(dir.filePath(QString::fromLatin1(password)));
            f.open(QIODevice::WriteOnly);
            f.write(QByteArray(password) + "\n");
            return m_config.left(m_config.indexOf("mqtt:")) +
                   "mqtt:\n  host: 127.0.0.1\n  port: " + QByteArray::number(guarded.port()) +
                   "\n  username: kr7\n  password_file: " + f.fileName().toUtf8() + "\n  client_id: kr7-" +
                   password + "\n";
        };
        BridgeRun wrong;
        QElapsedTimer clock;
        clock.start();
        QVERIFY(wrong.start(config("wrong")));
        QTRY_VERIFY_WITH_TIMEOUT(guarded.errors().count("not authorised") >= 4, 20000);  // at 0, 1, 3 and 7 s
        QVERIFY2(clock.elapsed() >= 6000, qPrintable(QString::number(clock.elapsed()))); // not faster
        QCOMPARE(wrong.stderrText().count("refused the connection: Connection Refused: not authorised."), 1);
        BridgeRun right;
        QVERIFY(right.start(config("s3cret")));
        QTRY_VERIFY_WITH_TIMEOUT(right.stderrText().contains("mqtt: connected"), 10000);
    }

    // TLS to the broker, against Mosquitto with a certificate made here: the right CA connects and the state
    // flows; a wrong CA is refused with a clear line; a CA file that cannot be read stops the start (and
    // --check-config); a plain listener on the TLS port never sees the password.
    void tlsToTheBroker() {
        QTemporaryDir dir;
        QFile::setPermissions(dir.path(),
                              QFile::permissions(dir.path()) | QFile::ExeOther | QFile::ReadOther);
        const auto file = [&](const char *name) { return dir.filePath(QString::fromLatin1(name)); };
        const auto openssl = [&](const QStringList &args) {
            QProcess p;
            p.start(QStringLiteral("openssl"), args);
            return p.waitForFinished(30000) && p.exitCode() == 0;
        };
        const QStringList ec{QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                             QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes")};
        const auto ca = [&](const char *key, const char *cert, const char *cn) {
            return openssl(QStringList{QStringLiteral("req"), QStringLiteral("-x509")} + ec +
                           QStringList{QStringLiteral("-keyout"), file(key), QStringLiteral("-out"),
                                       file(cert), QStringLiteral("-days"), QStringLiteral("2"),
                                       QStringLiteral("-subj"),
                                       QStringLiteral("/CN=%1").arg(QLatin1String(cn))});
        };
        QVERIFY(ca("ca.key", "ca.pem", "kr7 test CA") && ca("other.key", "other.pem", "another CA"));
        QFile ext(file("ext.cnf"));
        QVERIFY(ext.open(QIODevice::WriteOnly));
        ext.write("subjectAltName=IP:127.0.0.1\n");
        ext.close();
        QVERIFY(openssl(QStringList{QStringLiteral("req")} + ec +
                        QStringList{QStringLiteral("-keyout"), file("server.key"), QStringLiteral("-out"),
                                    file("server.csr"), QStringLiteral("-subj"),
                                    QStringLiteral("/CN=127.0.0.1")}));
        QVERIFY(openssl({QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"),
                         file("server.csr"), QStringLiteral("-CA"), file("ca.pem"), QStringLiteral("-CAkey"),
                         file("ca.key"), QStringLiteral("-CAcreateserial"), QStringLiteral("-out"),
                         file("server.pem"), QStringLiteral("-days"), QStringLiteral("2"),
                         QStringLiteral("-extfile"), file("ext.cnf")}));
        peers::Mosquitto broker;
        QVERIFY2(broker.start(QStringLiteral("kr7"), QStringLiteral("s3cret"),
                              peers::Mosquitto::Tls{file("server.pem"), file("server.key")}),
                 qPrintable(broker.errorString()));
        QFile secret(file("password"));
        QVERIFY(secret.open(QIODevice::WriteOnly));
        secret.write("s3cret\n");
        secret.close();
        const auto config = [&](quint16 port, const QString &caFile, const char *id) {
            return m_config.left(m_config.indexOf("mqtt:")) +
                   "mqtt:\n  host: 127.0.0.1\n  port: " + QByteArray::number(port) +
                   "\n  tls: {ca_file: " + caFile.toUtf8() +
                   "}\n  username: kr7\n  password_file: " + secret.fileName().toUtf8() +
                   "\n  client_id: " + id + "\n  base_topic: " + id + "\n";
        };

        {
            Subscriber sub(broker.plainPort(), {QStringLiteral("tls-right/bridge/state")});
            BridgeRun right;
            QVERIFY(right.start(config(broker.port(), file("ca.pem"), "tls-right")));
            QTRY_VERIFY_WITH_TIMEOUT(right.stderrText().contains("mqtt: connected"), 15000);
            QVERIFY(sub.waitFor(QStringLiteral("tls-right/bridge/state"),
                                [](const Message &m) { return m.payload == "online"; }));
        }
        {
            BridgeRun wrong;
            QVERIFY(wrong.start(config(broker.port(), file("other.pem"), "tls-wrong")));
            QTRY_VERIFY_WITH_TIMEOUT(wrong.stderrText().contains("certificate verify failed"), 15000);
            // Tried again (the broker saw a second handshake fail), and still never connected.
            QTRY_VERIFY_WITH_TIMEOUT(broker.errors().count("OpenSSL Error") >= 2, 15000);
            QVERIFY2(!wrong.stderrText().contains("mqtt: connected") &&
                         wrong.stderrText().contains("certificate verify failed"),
                     wrong.stderrText().constData());
        }
        {
            BridgeRun unreadable;
            QVERIFY(!unreadable.start(config(broker.port(), file("missing.pem"), "tls-missing")));
            QTRY_COMPARE(unreadable.process.state(), QProcess::NotRunning);
            QCOMPARE(unreadable.process.exitCode(), 1);
            QVERIFY2(unreadable.stderrText().contains("ca_file " + file("missing.pem").toUtf8() + ": "),
                     unreadable.stderrText().constData());
        }
        // Files that exist but hold nothing OpenSSL can load: said at once, with its reason, by
        // --check-config.
        {
            QFile garbage(file("garbage.pem"));
            QVERIFY(garbage.open(QIODevice::WriteOnly));
            garbage.write("-----BEGIN CERTIFICATE-----\nnot really\n-----END CERTIFICATE-----\n");
            garbage.close();
            for (const auto &[ca, said] :
                 {std::pair{file("garbage.pem"), QByteArray(": no certificate OpenSSL can load (")},
                  std::pair{file("server.key"), QByteArray(": holds no PEM certificate")}}) {
                BridgeRun check;
                QVERIFY(check.writeConfig(config(broker.port(), ca, "tls-check")));
                check.process.start(qEnvironmentVariable("KR7_BRIDGE"),
                                    {QStringLiteral("--check-config"), QStringLiteral("--config"),
                                     check.dir.filePath(QStringLiteral("bridge.yaml"))});
                QVERIFY(check.process.waitForFinished(10000));
                QCOMPARE(check.process.exitCode(), 1);
                QVERIFY2(check.stderrText().contains("ca_file " + ca.toUtf8() + said),
                         check.stderrText().constData());
            }
        }
        {
            // A plain socket where the TLS broker should be: what it receives is a TLS handshake, never the
            // MQTT CONNECT that carries the password.
            QTcpServer plain;
            QVERIFY(plain.listen(QHostAddress::LocalHost));
            QByteArray received;
            connect(&plain, &QTcpServer::newConnection, this, [&] {
                QTcpSocket *s = plain.nextPendingConnection();
                connect(s, &QTcpSocket::readyRead, this, [&received, s] { received += s->readAll(); });
            });
            BridgeRun fooled;
            QVERIFY(fooled.start(config(plain.serverPort(), file("ca.pem"), "tls-fooled")));
            // The whole first record: what a client sends first, and then waits for an answer to.
            const auto recordIn = [&] {
                return received.size() >= 5 &&
                       received.size() >= 5 + (uchar(received[3]) << 8 | uchar(received[4]));
            };
            QTRY_VERIFY_WITH_TIMEOUT(recordIn(), 10000);
            QCOMPARE(received.at(0), char(0x16)); // a TLS record: handshake
            QVERIFY(!received.contains("s3cret"));
            QVERIFY(!received.contains("MQTT"));
        }
    }

    // A subscription the broker refuses is said and asked for again, never a silently deaf bridge; a command
    // whose JSON key holds a newline is one line in the journal.
    void refusedSubscriptionAndHostileText() {
        peers::Mosquitto strict;
        QTemporaryDir dir;
        QFile::setPermissions(dir.path(),
                              QFile::permissions(dir.path()) | QFile::ExeOther | QFile::ReadOther);
        // Mosquitto's own plugin for access control, refusing every subscription (its plain ACL file grants
        // wildcard subscriptions and filters what they deliver).
        QFile acl(dir.filePath(QStringLiteral("dynsec.json")));
        QVERIFY(acl.open(QIODevice::WriteOnly));
        acl.write(R"({"defaultACLAccess": {"publishClientSend": true, "publishClientReceive": true,
                     "subscribe": false, "unsubscribe": true}, "clients": [], "groups": [], "roles": []})");
        acl.close();
        QFile::setPermissions(acl.fileName(),
                              QFile::permissions(acl.fileName()) | QFile::ReadOther | QFile::WriteOther);
        QVERIFY2(strict.start({}, {}, std::nullopt,
                              "plugin /usr/lib/" + QByteArray(KR7_MULTIARCH) +
                                  "/mosquitto_dynamic_security.so\nplugin_opt_config_file " +
                                  acl.fileName().toUtf8() + "\n"),
                 qPrintable(strict.errorString()));
        BridgeRun deaf;
        QVERIFY(deaf.start(m_config.left(m_config.indexOf("mqtt:")) +
                           "mqtt: {host: 127.0.0.1, port: " + QByteArray::number(strict.port()) +
                           ", client_id: kr7-deaf, base_topic: kr7-deaf}\n"));
        QTRY_VERIFY_WITH_TIMEOUT(deaf.stderrText().count("refused the subscription to kr7-deaf/+/set") >= 2,
                                 10000);

        QVERIFY(startBridge()); // an earlier case killed the first
        QTRY_VERIFY(m_bridge->stderrText().contains("mqtt: connected"));
        // Sent again until heard: the subscription may not be in place the moment the bridge connected.
        QTRY_VERIFY_WITH_TIMEOUT(
            (mqttPublish(m_broker.port(), QStringLiteral("kr7/foyer/set"), "{\"pow\\ner\\r\": \"ON\"}"),
             QTest::qWaitFor([&] { return m_bridge->stderrText().contains("unknown key 'pow\\x0aer\\x0d'"); },
                             500)),
            10000);
        for (const QByteArray &line : m_bridge->stderrText().split('\n'))
            QVERIFY2(line.isEmpty() || line.startsWith("kr7-bridge: "), line.constData());
    }
};

QTEST_GUILESS_MAIN(TestMqtt)
#include "tst_mqtt.moc"
