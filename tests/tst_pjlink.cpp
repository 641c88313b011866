// The PJLink face: every row of the query and setting tables against a projector's readings, the session's
// greeting, digest and line rules, and the face on the wire, against a client written here from the
// PJLink standard: settings reach the projector's line, authentication, sixteen controllers at once, a
// connection per command, idle and overlong lines, a listener address taken at start, a projector that goes
// down and comes back.
#include "peers.h"
#include "pjlinkprotocol.h"
#include "ser2net.h"
#include "support.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

using namespace kr7;
using namespace kr7::bridge;
using kr7::peers::PjlinkController;

namespace {

Readings readingsOf(const QHash<QByteArray, QByteArray> &replies) {
    Readings r;
    for (auto it = replies.begin(); it != replies.end(); ++it)
        r.read(std::string_view(it.key().constData(), size_t(it.key().size())), it.value());
    return r;
}

int fdsOf(qint64 pid) {
    return int(QDir(QStringLiteral("/proc/%1/fd").arg(pid))
                   .entryList(QDir::NoDotAndDotDot | QDir::AllEntries)
                   .size());
}

} // namespace

class TestPjlink : public QObject {
    Q_OBJECT

  private slots:
    // Each row: the projector's power code, lamp reply and signal code, whether it is available, a request,
    // and the answer's value with the line it sends first (if any).
    void answers_data() {
        QTest::addColumn<QByteArray>("power");
        QTest::addColumn<QByteArray>("lamps");
        QTest::addColumn<QByteArray>("signal");
        QTest::addColumn<bool>("available");
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<QString>("code");
        const auto row = [](const char *name, const char *power, const char *request, const char *value,
                            const char *code = "", const char *lamps = "0F", const char *signal = "01",
                            bool available = true) {
            QTest::newRow(name) << QByteArray(power) << QByteArray(lamps) << QByteArray(signal) << available
                                << QByteArray(request) << QByteArray(value) << QString::fromLatin1(code);
        };
        for (const char *on : {"00", "02", "04", "08"})
            row(qPrintable(QStringLiteral("POWR on %1").arg(QLatin1String(on))), on, "%1POWR ?", "1");
        for (const char *off : {"80", "88", "81", "10"})
            row(qPrintable(QStringLiteral("POWR off %1").arg(QLatin1String(off))), off, "%1POWR ?", "0");
        row("POWR warm-up", "40", "%1POWR ?", "3");
        for (const char *cooling : {"20", "28", "24", "21"})
            row(qPrintable(QStringLiteral("POWR cooling %1").arg(QLatin1String(cooling))), cooling,
                "%1POWR ?", "2");
        row("POWR not read", "", "%1POWR ?", "ERR3");
        row("POWR as class 2", "00", "%2POWR ?", "1");
        row("INPT the configured code", "00", "%1INPT ?", "32");
        row("AVMT video mute", "00", "%1AVMT ?", "11", "", "0F", "01");
        row("AVMT audio mute", "00", "%1AVMT ?", "21", "", "0F", "02");
        row("AVMT both", "00", "%1AVMT ?", "31", "", "0F", "03");
        row("AVMT no mute", "00", "%1AVMT ?", "30", "", "0F", "00");
        row("AVMT no signal", "00", "%1AVMT ?", "30", "", "0F", "80");
        row("ERST all well", "00", "%1ERST ?", "000000");
        row("ERST a lamp of mode 0 off while on", "00", "%1ERST ?", "010000", "", "0E");
        row("ERST mode 1 burns lamps 1 and 4", "02", "%1ERST ?", "000000", "", "19");
        row("ERST mode 1 with lamp 1 off", "08", "%1ERST ?", "011000", "", "18");
        row("ERST a lamp off in standby is no warning", "80", "%1ERST ?", "000000", "", "00");
        row("ERST lamp failure", "21", "%1ERST ?", "020000");
        row("ERST all lamps failed", "81", "%1ERST ?", "020000");
        for (const char *hot : {"28", "24", "88"})
            row(qPrintable(QStringLiteral("ERST temperature %1").arg(QLatin1String(hot))), hot, "%1ERST ?",
                "001000");
        row("ERST power fail", "10", "%1ERST ?", "000002");
        row("ERST not read", "", "%1ERST ?", "ERR3");
        row("LAMP", "00", "%1LAMP ?", "1234 1 1201 1 987 1 1010 1");
        row("LAMP without lamp states", "00", "%1LAMP ?", "ERR3", "", "");
        row("INST", "", "%1INST ?", "31 32 11 21");
        row("NAME", "", "%1NAME ?", "hall-left");
        row("INF1", "", "%1INF1 ?", "VANO");
        row("INF2", "", "%1INF2 ?", "KR7");
        row("INFO as configured, never the line", "", "%1INFO ?", "KR7 in hall B");
        row("CLSS", "", "%1CLSS ?", "2");
        row("CLSS as class 2", "", "%2CLSS ?", "2");
        row("SVER", "", "%2SVER ?", "kr7-bridge 1.40");
        row("SNUM", "", "%2SNUM ?", "");
        row("INNM", "", "%2INNM ?32", "Input 2");
        row("INNM another code", "", "%2INNM ?15", "ERR2");
        row("FREZ", "00", "%2FREZ ?", "0");
        for (const char *none : {"IRES", "RRES", "FILT", "RLMP", "RFIL", "SVOL", "MVOL"})
            row(qPrintable(QStringLiteral("%1 not reported").arg(QLatin1String(none))), "00",
                (QByteArray("%2") + none + " ?").constData(), "ERR1");
        row("unknown body", "00", "%1ABCD ?", "ERR1");
        row("a class 2 body as class 1", "00", "%1FREZ ?", "ERR1");
        row("a query's body with a parameter", "00", "%1ERST 1", "ERR2");
        row("down: the projector's values", "00", "%1POWR ?", "ERR4", "", "0F", "01", false);
        row("down: LAMP", "00", "%1LAMP ?", "ERR4", "", "0F", "01", false);
        row("down: NAME still", "00", "%1NAME ?", "hall-left", "", "0F", "01", false);
        row("down: INST still", "00", "%1INST ?", "31 32 11 21", "", "0F", "01", false);

        row("POWR 1", "80", "%1POWR 1", "OK", "C00");
        row("POWR 1 while on", "00", "%1POWR 1", "OK", "C00");
        row("POWR 0", "00", "%1POWR 0", "OK", "C01");
        row("POWR 1 while cooling: nothing sent", "20", "%1POWR 1", "ERR3");
        row("POWR 2", "00", "%1POWR 2", "ERR2");
        row("INPT to the input carrying 11", "00", "%1INPT 11", "OK", "C07");
        row("INPT 21 is input 4", "00", "%1INPT 21", "OK", "C08");
        row("INPT an unknown code", "00", "%1INPT 15", "ERR2");
        for (const char *on : {"11", "31"})
            row(qPrintable(QStringLiteral("AVMT %1").arg(QLatin1String(on))), "00",
                QByteArray("%1AVMT ").append(on).constData(), "OK", "C0D");
        for (const char *off : {"10", "30"})
            row(qPrintable(QStringLiteral("AVMT %1").arg(QLatin1String(off))), "00",
                QByteArray("%1AVMT ").append(off).constData(), "OK", "C0E");
        for (const char *audio : {"21", "20"})
            row(qPrintable(QStringLiteral("AVMT %1: no audio mute here").arg(QLatin1String(audio))), "00",
                QByteArray("%1AVMT ").append(audio).constData(), "ERR2");
        row("FREZ 1", "00", "%2FREZ 1", "OK", "C43");
        row("FREZ 0", "00", "%2FREZ 0", "OK", "C44");
        row("FREZ 2", "00", "%2FREZ 2", "ERR2");
        row("down: a setting sends nothing", "80", "%1POWR 1", "ERR4", "", "0F", "01", false);
    }
    void answers() {
        QFETCH(QByteArray, power);
        QFETCH(QByteArray, lamps);
        QFETCH(QByteArray, signal);
        QFETCH(bool, available);
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, value);
        QFETCH(QString, code);
        QHash<QByteArray, QByteArray> replies{{"input", "2\r"}, {"lamp-hours", "1234 1201 0987 1010\r"}};
        if (!power.isEmpty())
            replies["power"] = power + '\r';
        if (!lamps.isEmpty())
            replies["lamps"] = lamps + '\r';
        replies["signal"] = signal + '\r';
        const Readings readings = readingsOf(replies);
        PjlinkProjector p;
        p.name = QStringLiteral("hall-left");
        p.port = QStringLiteral("/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
        p.unit = QStringLiteral("1");
        p.available = available;
        p.readings = &readings;
        p.inputs = {QStringLiteral("31"), QStringLiteral("32"), QStringLiteral("11"), QStringLiteral("21")};
        p.version = QStringLiteral("1.40");
        p.info = "KR7 in hall B";
        PjlinkSession session({}, {});
        const auto events = session.feed(request + '\r');
        QCOMPARE(events.size(), 1);
        const PjlinkAnswer a = pjlinkAnswer(events.first().request, p);
        QCOMPARE(a.value, value);
        QCOMPARE(a.code, code);
        QCOMPARE(pjlinkReply(events.first().request, a.value), request.left(6) + '=' + value + '\r');
    }

    // The greeting, the digest (the PJLink standard's own example), lines split anyhow, stray LF and NUL,
    // lower-case bodies, what is no request, and the two ways a session ends.
    void sessions() {
        QCOMPARE(pjlinkDigest("498e4a67", "JBMIAProjectorLink"),
                 QByteArray("5d8409bc1c3fa39749434aa3a5c38682"));
        using K = PjlinkSession::Event::Kind;
        PjlinkSession open({}, "00000000");
        QCOMPARE(open.greeting(), QByteArray("PJLINK 0\r"));
        QList<PjlinkSession::Event> got = open.feed("%1po");
        QVERIFY(got.isEmpty());
        got = open.feed("wr ?\r\n\0%2inpt ?\rhello\r%1POWR\r"_qba);
        QCOMPARE(got.size(), 2);
        QCOMPARE(got[0].request.body, QByteArray("POWR"));
        QCOMPARE(got[0].request.cls, '1');
        QCOMPARE(got[1].request.body, QByteArray("INPT"));
        QCOMPARE(got[1].request.cls, '2');
        got = open.feed(QByteArray(137, 'x'));
        QCOMPARE(got.size(), 1);
        QCOMPARE(got[0].kind, K::Overlong);
        QVERIFY(open.feed("%1POWR ?\r").isEmpty()); // closed

        PjlinkSession guarded("JBMIAProjectorLink", "498e4a67");
        QCOMPARE(guarded.greeting(), QByteArray("PJLINK 1 498e4a67\r"));
        got = guarded.feed("5D8409BC1C3FA39749434AA3A5C38682%1POWR ?\r%1INPT ?\r"
                           "5d8409bc1c3fa39749434aa3a5c38682%1AVMT ?\r");
        QCOMPARE(got.size(), 3);
        QVERIFY(std::all_of(got.begin(), got.end(), [](const auto &e) { return e.kind == K::Request; }));
        for (const QByteArray &bad :
             {QByteArray("%1POWR ?\r"), QByteArray("5d8409bc1c3fa39749434aa3a5c38683%1POWR ?\r")}) {
            PjlinkSession s("JBMIAProjectorLink", "498e4a67");
            got = s.feed(bad);
            QCOMPARE(got.size(), 1);
            QCOMPARE(got[0].kind, K::AuthFailed);
        }
    }

    // On the wire, against a bridge with projectors on pseudo-terminals and a listener each on a loopback
    // address of its own.
    void onTheWire() {
        auto hall = test::startSim({1, 2});
        QTemporaryDir dir;
        QFile password(dir.filePath(QStringLiteral("pjlink")));
        QVERIFY(password.open(QIODevice::WriteOnly));
        password.write("JBMIAProjectorLink\n");
        password.close();
        // An address taken at start: the right projector says so once, and listens when it is free.
        QTcpServer squatter;
        const quint16 port = peers::Ser2net::freePort();
        QVERIFY(squatter.listen(QHostAddress(QStringLiteral("127.0.1.12")), port));
        QProcess bridge;
        QTemporaryDir bridgeDir;
        const quint16 httpPort = peers::Ser2net::freePort();
        QFile config(bridgeDir.filePath(QStringLiteral("bridge.yaml")));
        QVERIFY(config.open(QIODevice::WriteOnly));
        config.write(
            "listen: 127.0.0.1:" + QByteArray::number(httpPort) +
            "\npoll_interval: 1\noffline_after: 2\nlines:\n  - port: " + hall->devicePath().toUtf8() +
            "\n    projectors:\n"
            "      - {name: hall-left, unit: 1, pjlink: {listen: '127.0.1.11:" +
            QByteArray::number(port) +
            "', inputs: [31, 32, 11, 21]}}\n"
            "      - {name: hall-right, unit: 2, pjlink: {listen: '127.0.1.12:" +
            QByteArray::number(port) + "'}}\npjlink: {password_file: " + password.fileName().toUtf8() +
            "}\n");
        config.close();
        QByteArray err;
        bridge.start(qEnvironmentVariable("KR7_BRIDGE"), {QStringLiteral("--config"), config.fileName()});
        const auto said = [&] { return err += bridge.readAllStandardError(); };
        QTRY_VERIFY_WITH_TIMEOUT(said().contains("projector hall-right: up"), 15000);
        QVERIFY2(said().contains("pjlink: projector hall-right cannot listen on 127.0.1.12:" +
                                 QByteArray::number(port)),
                 err.constData());
        QCOMPARE(said().count("cannot listen"), 1);
        squatter.close();

        const auto session = [&](PjlinkController &c, const char *host = "127.0.1.11") {
            if (!c.open(QString::fromLatin1(host), port))
                return QByteArray();
            return c.line();
        };
        const auto digestOf = [](const QByteArray &greeting) {
            return pjlinkDigest(greeting.mid(9), "JBMIAProjectorLink");
        };
        {
            PjlinkController c;
            const QByteArray greeting = session(c);
            QVERIFY2(QRegularExpression(QStringLiteral("^PJLINK 1 [0-9a-f]{8}$"))
                         .match(QString::fromLatin1(greeting))
                         .hasMatch(),
                     greeting.constData());
            QCOMPARE(c.ask(digestOf(greeting) + "%1POWR ?"), QByteArray("%1POWR=0"));
            QCOMPARE(c.ask("%1inst ?"), QByteArray("%1INST=31 32 11 21"));
            hall->clearReceived();
            // A setting, and the query right behind it: answered in order, the second from the new state.
            c.socket.write("%1INPT 11\r%1INPT ?\r");
            QCOMPARE(c.line(), QByteArray("%1INPT=OK"));
            QCOMPARE(c.line(), QByteArray("%1INPT=11"));
            QVERIFY(hall->lines().contains("A001C07"));
            QCOMPARE(c.ask("%1POWR 1"), QByteArray("%1POWR=OK"));
            QVERIFY(hall->lines().contains("A001C00"));
            QCOMPARE(c.ask("%1POWR ?"), QByteArray("%1POWR=3")); // warming up, as the projector says now
            QCOMPARE(c.ask("%2FREZ 1"), QByteArray("%2FREZ=OK"));
            QCOMPARE(c.ask("%2FREZ ?"), QByteArray("%2FREZ=1"));
            const auto commands = [&] {
                return std::count_if(hall->lines().begin(), hall->lines().end(),
                                     [](const QByteArray &l) { return !l.mid(4).startsWith("CR"); });
            };
            const auto sent = commands();
            QCOMPARE(c.ask("%1AVMT 21"), QByteArray("%1AVMT=ERR2"));
            QCOMPARE(commands(), sent); // nothing went out for it
            QCOMPARE(c.ask("%1POWR 0"), QByteArray("%1POWR=OK"));
            // Garbage gets nothing; an overlong line closes the connection.
            c.socket.write("garbage\r\x01\x02\r");
            QCOMPARE(c.ask("%1CLSS ?"), QByteArray("%1CLSS=2"));
            c.socket.write(QByteArray(200, 'A'));
            QVERIFY(c.closedByPeer());
        }
        {
            PjlinkController wrong;
            session(wrong);
            QCOMPARE(wrong.ask("00000000000000000000000000000000%1POWR 1"), QByteArray("PJLINK ERRA"));
            QVERIFY(wrong.closedByPeer());
            PjlinkController none;
            session(none);
            QCOMPARE(none.ask("%1POWR ?"), QByteArray("PJLINK ERRA"));
            QVERIFY(none.closedByPeer());
        }
        // The other projector listens now that its address is free.
        QTRY_VERIFY_WITH_TIMEOUT(([&] {
                                     PjlinkController c;
                                     return !session(c, "127.0.1.12").isEmpty();
                                 }()),
                                 15000);

        // Sixteen controllers at once; a seventeenth is closed at once.
        {
            std::vector<std::unique_ptr<PjlinkController>> many;
            for (int i = 0; i < 16; ++i) {
                many.push_back(std::make_unique<PjlinkController>());
                const QByteArray greeting = session(*many.back());
                QVERIFY(greeting.startsWith("PJLINK 1 "));
                QCOMPARE(many.back()->ask(digestOf(greeting) + "%1NAME ?"), QByteArray("%1NAME=hall-left"));
            }
            PjlinkController extra;
            QVERIFY(extra.open(QStringLiteral("127.0.1.11"), port));
            QVERIFY(extra.closedByPeer());
        }

        // One connection per command, as Home Assistant does, for 100 commands: nothing stays open.
        const auto metricsNow = [&] {
            return peers::httpRequest(QUrl(QStringLiteral("http://127.0.0.1:%1/metrics").arg(httpPort))).body;
        };
        QTRY_VERIFY(metricsNow().contains("kr7_pjlink_connections{projector=\"hall-left\"} 0\n"));
        const int before = fdsOf(bridge.processId());
        for (int i = 0; i < 100; ++i) {
            PjlinkController c;
            const QByteArray greeting = session(c);
            QCOMPARE(c.ask(digestOf(greeting) + (i % 2 ? "%1NAME ?" : "%1INPT 31")),
                     i % 2 ? QByteArray("%1NAME=hall-left") : QByteArray("%1INPT=OK"));
        }
        QTRY_COMPARE(fdsOf(bridge.processId()), before);

        // A projector that goes silent answers ERR4 for its values, its name still; back, its values again.
        hall->faults.silentUnits = {1};
        PjlinkController watcher;
        const QByteArray greeting = session(watcher);
        QCOMPARE(watcher.ask(digestOf(greeting) + "%1NAME ?"), QByteArray("%1NAME=hall-left"));
        QTRY_VERIFY_WITH_TIMEOUT(said().contains("projector hall-left: down"), 45000);
        QTRY_COMPARE(watcher.ask("%1POWR ?"), QByteArray("%1POWR=ERR4")); // the copy follows within 200 ms
        QCOMPARE(watcher.ask("%1POWR 1"), QByteArray("%1POWR=ERR4"));
        QCOMPARE(watcher.ask("%1INST ?"), QByteArray("%1INST=31 32 11 21"));
        hall->faults.silentUnits.clear();
        QTRY_COMPARE_WITH_TIMEOUT(watcher.ask("%1POWR ?"), QByteArray("%1POWR=0"), 20000);

        // Idle for 30 s: closed.
        QVERIFY(watcher.closedByPeer(35000));

        // The face's counters reach the state once a second, the exposition twice.
        QTRY_VERIFY(metricsNow().contains("kr7_pjlink_connections{projector=\"hall-left\"} 0\n"));
        const QByteArray metrics = metricsNow();
        for (const QByteArray &series :
             {QByteArray("kr7_pjlink_listening{projector=\"hall-left\"} 1\n"),
              QByteArray("kr7_pjlink_listening{projector=\"hall-right\"} 1\n"),
              QByteArray("kr7_pjlink_auth_failures_total{projector=\"hall-left\"} 2\n")})
            QVERIFY2(metrics.contains(series), series.constData());
        // Every request the controllers above made of hall-left, answered.
        const auto requests = [](const QByteArray &m) {
            const QByteArray series = "kr7_pjlink_requests_total{projector=\"hall-left\"} ";
            const qsizetype at = m.indexOf(series);
            return at < 0 ? -1 : m.mid(at + series.size(), m.indexOf('\n', at) - at - series.size()).toInt();
        };
        QVERIFY2(requests(metrics) >= 11 + 16 + 100 + 5, metrics.constData());
        QProcess promtool;
        promtool.start(peers::Peer::find(QStringLiteral("promtool")),
                       {QStringLiteral("check"), QStringLiteral("metrics")});
        promtool.write(metrics);
        promtool.closeWriteChannel();
        QVERIFY(promtool.waitForFinished(20000));
        const QByteArray lint = promtool.readAll() + promtool.readAllStandardError();
        QVERIFY2(promtool.exitCode() == 0 && lint.isEmpty(), lint.constData());
        bridge.terminate();
        QVERIFY(bridge.waitForFinished(10000));
    }
};

QTEST_GUILESS_MAIN(TestPjlink)
#include "tst_pjlink.moc"
