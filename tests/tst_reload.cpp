// kr7-bridge reloaded while every face is busy: HTTPS with users, MQTT and PJLink with a password, each with
// a command in flight on a projector that answers those commands in 450 ms, and a console stream and a PJLink
// controller that stay connected. Each step changes one thing (or nothing) and SIGHUPs; what stays must stay,
// a command reaches the wire exactly once and is answered on its face when that face is kept or restarted,
// and the sanitized bridge never touches a face that is gone.
#include "mqttpeers.h"
#include "peers.h"
#include "ser2net.h"
#include "support.h"

#include <QCryptographicHash>
#include <QRegularExpression>
#include <QSslSocket>
#include <QTcpServer>

using namespace kr7;

namespace {

// One HTTPS request on a connection of its own, answered whenever the bridge answers (the test's loop goes on
// meanwhile); or a stream that stays open.
struct Https {
    QSslSocket socket;
    QByteArray in;

    void start(quint16 port, const QByteArray &method, const QByteArray &path, const QByteArray &body = {},
               const QList<std::pair<QByteArray, QByteArray>> &headers = {}) {
        socket.setPeerVerifyMode(QSslSocket::VerifyNone);
        QByteArray request = method + ' ' + path +
                             " HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port) +
                             "\r\nAuthorization: Basic " + QByteArray("alice:wonder").toBase64() +
                             "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n";
        for (const auto &[k, v] : headers)
            request += k + ": " + v + "\r\n";
        request += "\r\n" + body;
        QObject::connect(&socket, &QSslSocket::encrypted, &socket,
                         [this, request] { socket.write(request); });
        QObject::connect(&socket, &QSslSocket::readyRead, &socket, [this] { in += socket.readAll(); });
        socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
    }
    bool open() const { return socket.state() == QAbstractSocket::ConnectedState; }
    int status() const { return in.startsWith("HTTP/1.1 ") ? in.mid(9, 3).toInt() : 0; }
    // The whole answer is in (by its Content-Length).
    bool answered() const {
        const qsizetype end = in.indexOf("\r\n\r\n");
        const QRegularExpressionMatch m = QRegularExpression(QStringLiteral("Content-Length: (\\d+)"))
                                              .match(QString::fromLatin1(in.left(end)));
        return end > 0 && m.hasMatch() && in.size() >= end + 4 + m.captured(1).toLongLong();
    }
};

} // namespace

class TestReload : public QObject {
    Q_OBJECT

  private slots:
    void reloadWithEveryFaceBusy() {
        peers::Certificates certs;
        QVERIFY(certs.make());
        auto hall = test::startSim({1, 2});
        for (const char *slow : {"A001C0D", "A001C06", "A001C07"})
            hall->faults.lineDelayMs[slow] = 450;
        peers::Mosquitto broker;
        QVERIFY2(broker.start(), qPrintable(broker.errorString()));
        peers::BridgeProcess bridge;
        const quint16 port = peers::Ser2net::freePort(), pjlinkPort = peers::Ser2net::freePort();
        const QString pjlinkHost = QStringLiteral("127.0.1.31");
        const QByteArray users =
            "basic_auth_users:\n  alice: " + peers::bcryptHash("wonder") + "\nkr7_operators: [alice]\n";
        const QByteArray tls = "tls_server_config:\n  cert_file: " + certs.file("server.crt").toUtf8() +
                               "\n  key_file: " + certs.file("server.key").toUtf8() + "\n";
        QVERIFY(bridge.writeFile(QStringLiteral("web.yml"), tls + users));
        QByteArray password = "first1";
        QVERIFY(bridge.writeFile(QStringLiteral("pjlink"), password + "\n"));
        struct Shape {
            bool right = false; // hall-right above every section
            QByteArray clientId = "kr7-a";
            quint16 listen = 0;
            bool pjlink = true;
        };
        const auto config = [&](const Shape &s) {
            QByteArray y = "listen: 127.0.0.1:" + QByteArray::number(s.listen ? s.listen : port) +
                           "\npoll_interval: 1\nlines:\n  - port: " + hall->devicePath().toUtf8() +
                           "\n    projectors:\n      - {name: hall-left, unit: 1";
            if (s.pjlink)
                y += ", pjlink: {listen: '" + pjlinkHost.toUtf8() + ":" + QByteArray::number(pjlinkPort) +
                     "'}";
            y += "}\n";
            if (s.right)
                y += "      - {name: hall-right, unit: 2}\n";
            return y + "web_config_file: " + bridge.path(QStringLiteral("web.yml")).toUtf8() +
                   "\npjlink: {password_file: " + bridge.path(QStringLiteral("pjlink")).toUtf8() +
                   "}\nmqtt: {host: 127.0.0.1, port: " + QByteArray::number(broker.port()) +
                   ", client_id: " + s.clientId + "}\n";
        };
        Shape shape;
        QVERIFY2(bridge.start(config(shape)), bridge.stderrText().constData());
        const auto metrics = [&] {
            Https m;
            m.start(port, "GET", "/metrics");
            (void)QTest::qWaitFor([&] { return m.answered(); }, 5000);
            return m.in;
        };
        QTRY_VERIFY_WITH_TIMEOUT(bridge.stderrText().contains("projector hall-left: up") &&
                                     bridge.stderrText().contains("mqtt: connected"),
                                 20000);
        QTRY_VERIFY(metrics().contains("kr7_pjlink_listening{projector=\"hall-left\"} 1\n"));
        Https page;
        page.start(port, "GET", "/");
        QTRY_VERIFY(page.answered());
        const QByteArray token = QRegularExpression(QStringLiteral("kr7-token\" content=\"([0-9a-f]{64})\""))
                                     .match(QString::fromLatin1(page.in))
                                     .captured(1)
                                     .toLatin1();
        QVERIFY(!token.isEmpty());
        peers::Subscriber results(broker.port(), {QStringLiteral("kr7/hall-left/result")});

        // What stays connected while its face is kept.
        auto stream = std::make_unique<Https>();
        auto watcher = std::make_unique<peers::PjlinkController>();
        const auto connectAll = [&] {
            stream = std::make_unique<Https>();
            stream->start(port, "GET", "/events");
            watcher = std::make_unique<peers::PjlinkController>();
            return QTest::qWaitFor([&] { return stream->in.contains("event: projector"); }, 10000) &&
                   watcher->session(pjlinkHost, pjlinkPort, password, "%1NAME ?") == "%1NAME=hall-left";
        };
        QVERIFY(connectAll());

        QTcpServer squatter; // holds a port the HTTP face will be asked to move to
        QVERIFY(squatter.listen(QHostAddress::LocalHost));
        struct Step {
            const char *name;
            std::function<void()> change;
            const char *journal; // what the reload's line says of the faces
            bool pjlinkKept;     // (the HTTP face is kept in every step, MQTT answers in every one)
        };
        const Step steps[] = {
            {"nothing changed", [] {}, "kept history, http, mqtt, pjlink, schedules, lamps", true},
            {"a projector added above every section", [&] { shape.right = true; },
             "kept history, http, mqtt, pjlink, schedules, lamps", true},
            {"the web config's lines reordered",
             [&] { QVERIFY(bridge.writeFile(QStringLiteral("web.yml"), users + tls)); },
             "kept history, http, mqtt, pjlink, schedules, lamps", true},
            {"a new MQTT client id", [&] { shape.clientId = "kr7-b"; },
             "kept history, http, pjlink, schedules, lamps; restarted mqtt", true},
            {"a new PJLink password",
             [&] {
                 password = "second2";
                 QVERIFY(bridge.writeFile(QStringLiteral("pjlink"), password + "\n"));
             },
             "kept history, http, mqtt, schedules, lamps; restarted pjlink", false},
            {"the HTTP port taken", [&] { shape.listen = squatter.serverPort(); },
             "kept history, mqtt, pjlink, schedules, lamps; failed, the settings before go on: http (cannot "
             "listen on "
             "127.0.0.1",
             true},
            {"the PJLink entry removed",
             [&] {
                 shape.listen = 0;
                 shape.pjlink = false;
             },
             "kept history, http, mqtt, schedules, lamps; restarted pjlink", false},
        };
        for (const Step &step : steps) {
            const QByteArray name(step.name);
            const auto onWire = [&](const char *line) { return hall->lines().count(line); };
            const qsizetype mqttBefore = onWire("A001C0D"), httpBefore = onWire("A001C06"),
                            pjlinkBefore = onWire("A001C07");
            const qsizetype resultsBefore = results.on(QStringLiteral("kr7/hall-left/result")).size();
            const qsizetype reloadsBefore = bridge.stderrText().count("reload: ");
            // A command from each face, all three in flight at the reload.
            peers::mqttPublish(broker.port(), QStringLiteral("kr7/hall-left/set"), R"({"command": "C0D"})");
            Https post;
            post.start(port, "POST", "/api/projectors/hall-left", R"({"input": 2})",
                       {{"X-KR7-Token", token}, {"Content-Type", "application/json"}});
            peers::PjlinkController pj;
            QVERIFY2(pj.open(pjlinkHost, pjlinkPort), name);
            const QByteArray greeting = pj.line();
            pj.socket.write(
                QCryptographicHash::hash(greeting.mid(9) + password, QCryptographicHash::Md5).toHex() +
                "%1INPT 13\r");
            QTRY_VERIFY2(onWire("A001C0D") + onWire("A001C06") + onWire("A001C07") >
                             mqttBefore + httpBefore + pjlinkBefore,
                         name);
            step.change();
            bridge.reload(config(shape));
            QTRY_VERIFY2(bridge.stderrText().count("reload: ") > reloadsBefore, name);
            const QByteArray said = bridge.stderrText().mid(bridge.stderrText().lastIndexOf("reload: "));
            QVERIFY2(said.contains(step.journal), said.constData());

            // Every command reaches the wire, once.
            QTRY_VERIFY2_WITH_TIMEOUT(
                onWire("A001C0D") == mqttBefore + 1 && onWire("A001C06") == httpBefore + 1 &&
                    onWire("A001C07") == pjlinkBefore + 1,
                qPrintable(QStringLiteral("%1: %2 %3 %4; %5")
                               .arg(QLatin1String(name))
                               .arg(onWire("A001C0D") - mqttBefore)
                               .arg(onWire("A001C06") - httpBefore)
                               .arg(onWire("A001C07") - pjlinkBefore)
                               .arg(QString::fromUtf8(bridge.stderrText().right(1500)))),
                10000);
            // Answered on each face that is kept or restarted.
            QVERIFY2(results.waitFor(QStringLiteral("kr7/hall-left/result"),
                                     [&](const peers::Message &m) {
                                         return results.on(m.topic).size() > resultsBefore &&
                                                m.json()[QLatin1String("line")] == QLatin1String("A001C0D\r");
                                     }),
                     name);
            QTRY_VERIFY2(post.answered(), name);
            QCOMPARE(post.status(), 200);
            QVERIFY2(post.in.contains("\"line\":\"A001C06\\r\""), post.in.constData());
            if (step.pjlinkKept) {
                QCOMPARE(pj.line(), QByteArray("%1INPT=OK"));
                QVERIFY2(watcher->socket.state() == QAbstractSocket::ConnectedState, name);
                QCOMPARE(watcher->ask("%1POWR ?"), QByteArray("%1POWR=0"));
            } else {
                QVERIFY2(pj.closedByPeer(), name);
            }
            QVERIFY2(stream->open(), name); // the HTTP face was kept in every step
            // Nothing more comes of them: the line goes on with its polls.
            const qsizetype lines = hall->lines().size();
            QTRY_VERIFY(hall->lines().size() >= lines + 9);
            QCOMPARE(onWire("A001C0D") + onWire("A001C06") + onWire("A001C07"),
                     mqttBefore + httpBefore + pjlinkBefore + 3);
            QVERIFY2(bridge.process.state() == QProcess::Running, bridge.stderrText().constData());
            QVERIFY2(!bridge.stderrText().contains("AddressSanitizer") &&
                         !bridge.stderrText().contains("runtime error"),
                     bridge.stderrText().constData());
            const QByteArray m = metrics();
            QVERIFY2(m.contains(QByteArray("kr7_config_last_reload_successful ") +
                                (QByteArray(step.journal).contains("failed") ? "0" : "1") + "\n"),
                     name);
            if (!shape.pjlink)
                QVERIFY2(!m.contains("kr7_pjlink_"), m.constData()); // a face's series leave with it
            if (!step.pjlinkKept && shape.pjlink)
                QVERIFY(connectAll());
        }
        QCOMPARE(bridge.stderrText().count("mqtt: connected"),
                 2); // the first session, and the new client id's
    }
};

QTEST_GUILESS_MAIN(TestReload)
#include "tst_reload.moc"
