// kr7-query from the outside, as a shell or a monitoring system runs it, against simulated projectors on
// pseudo-terminals and behind ser2net: its output, its exit statuses, its log and its usage errors.
#include "catalogue.h"
#include "peers.h"
#include "record.h"
#include "ser2net.h"
#include "support.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <csignal>

using namespace kr7;

namespace {
struct Run {
    int status = -1;
    QByteArray out;
    QString err;
};
// Runs kr7-query while this event loop serves the simulated projectors.
Run query(const QStringList &args, int waitMs = 20000) {
    QProcess p;
    p.start(qEnvironmentVariable("KR7_QUERY"), args);
    QSignalSpy done(&p, &QProcess::finished);
    Run r;
    if (!done.wait(waitMs)) {
        p.kill();
        p.waitForFinished();
        r.err = QStringLiteral("(did not finish)");
        return r;
    }
    r.status = p.exitCode();
    r.out = p.readAllStandardOutput();
    r.err = QString::fromLocal8Bit(p.readAllStandardError());
    return r;
}
} // namespace

class TestQuery : public QObject {
    Q_OBJECT
  private slots:
    void queryNamesAreThePanelsCodes() {
        const QList<std::pair<const char *, const char *>> names{
            {"power", "CR0"},       {"input", "CR1"},       {"lamp-hours", "CR3"},
            {"orientation", "CR4"}, {"temperature", "CR6"}, {"lamps", "CR7"},
            {"pc-type", "CR9"},     {"signal", "CRA"},      {"pressure", "CR PRESSURE"}};
        QCOMPARE(qsizetype(kQueries.size()), names.size());
        for (const auto &[name, code] : names)
            QCOMPARE(queryCode(name), std::string_view(code));
        QVERIFY(queryCode("C00").empty());
    }

    // One command, as text and as JSON: a decoded reply, one that does not decode, none, an ACK alone, a
    // reply in pieces.
    void answers_data() {
        QTest::addColumn<QString>("command");
        QTest::addColumn<int>("pieceMs");
        QTest::addColumn<bool>("silent");
        QTest::addColumn<QString>("result");
        QTest::addColumn<QString>("reply");
        QTest::addColumn<QString>("monitor");
        QTest::addColumn<QString>("status"); // empty: null
        QTest::addColumn<int>("exitStatus");
        QTest::newRow("decoded") << "power" << 0 << false << "Stand by"
                                 << "80\r"
                                 << " 8 0 CR "
                                 << " Stand by" << 0;
        QTest::newRow("computed text") << "temperature" << 0 << false << "S1= 0 2 4 . 5 C  ,   S2=  2 4 . 0 C"
                                       << "024.5, 24.0\r"
                                       << " 0 2 4 . 5 ,   2 4 . 0 CR "
                                       << "  S1= 0 2 4 . 5 C  ,   S2=  2 4 . 0 C" << 0;
        QTest::newRow("not decoded") << "CR ALLPFAIL" << 0 << false << "0 0 0 0 CR"
                                     << "0000\r"
                                     << " 0 0 0 0 CR "
                                     << "" << 0;
        QTest::newRow("ACK alone") << "C00" << 0 << false << "ACK"
                                   << "\x06"
                                   << " ACK "
                                   << "" << 0;
        QTest::newRow("in pieces") << "lamps" << 30 << false << "All OFF : 4 Lamp mode"
                                   << "00\r"
                                   << " 0 0 CR "
                                   << " All OFF : 4 Lamp mode" << 0;
        QTest::newRow("no reply") << "power" << 0 << true << "no reply"
                                  << ""
                                  << " X X X X"
                                  << "" << 2;
    }
    void answers() {
        QFETCH(QString, command);
        QFETCH(int, pieceMs);
        QFETCH(bool, silent);
        QFETCH(QString, result);
        QFETCH(QString, reply);
        QFETCH(QString, monitor);
        QFETCH(QString, status);
        QFETCH(int, exitStatus);
        auto projector = test::startSim();
        projector->faults.pieceGapMs = pieceMs;
        projector->faults.noReply = silent;
        const QString port = projector->devicePath();
        const Run text = query(
            {QStringLiteral("--port"), port, QStringLiteral("--timeout"), QStringLiteral("300"), command});
        QCOMPARE(text.status, exitStatus);
        QCOMPARE(QString::fromUtf8(text.out),
                 port + QLatin1Char('\t') + command + QLatin1Char('\t') + result + '\n');
        const Run json =
            query({QStringLiteral("--port"), port, QStringLiteral("--json"), QStringLiteral("--unit"),
                   QStringLiteral("all"), QStringLiteral("--timeout"), QStringLiteral("300"), command});
        QCOMPARE(json.status, exitStatus);
        QVERIFY(json.out.endsWith('\n') && json.out.count('\n') == 1);
        for (char c : json.out)
            QVERIFY(uchar(c) < 0x80); // every byte above 0x7E is escaped
        QJsonParseError error;
        const QJsonObject o = QJsonDocument::fromJson(json.out, &error).object();
        QCOMPARE(error.error, QJsonParseError::NoError);
        QCOMPARE(o.value(QLatin1String("port")).toString(), port);
        QCOMPARE(o.value(QLatin1String("unit")).toString(), QStringLiteral("all"));
        const QString code = queryCode(command.toStdString()).empty()
                                 ? command
                                 : QString::fromLatin1(queryCode(command.toStdString()).data());
        QCOMPARE(o.value(QLatin1String("command")).toString(), code);
        QCOMPARE(o.value(QLatin1String("line")).toString(),
                 QStringLiteral("AFFF") + code + QLatin1Char('\r'));
        QCOMPARE(o.value(QLatin1String("replied")).toBool(), !silent);
        QCOMPARE(o.value(QLatin1String("reply")).toString(), reply);
        QCOMPARE(o.value(QLatin1String("monitor")).toString(), monitor);
        QCOMPARE(o.value(QLatin1String("status")).isNull(), status.isEmpty());
        QCOMPARE(o.value(QLatin1String("status")).toString(), status);
        const double elapsed = o.value(QLatin1String("elapsed_ms")).toDouble();
        QVERIFY(elapsed > 0 && elapsed < (silent ? 5000 : 2000));
        if (silent)
            QVERIFY(elapsed >= 300);
    }

    // Several ports at once, one of them missing: the others are asked, the output keeps the order given,
    // and the missing one is named on stderr with status 1. The log holds every byte of both lines.
    void aVenueWithAMissingProjector() {
        QTemporaryDir dir;
        const QString logPath = dir.filePath(QStringLiteral("venue.log"));
        auto first = test::startSim({1}); // unit 2 is not on this line: it ends last, and still prints first
        auto second = test::startSim({2});
        const QString missing = QStringLiteral("/dev/kr7-test-no-such-port");
        const Run r = query({QStringLiteral("--port"), first->devicePath(), QStringLiteral("--port"), missing,
                             QStringLiteral("--port"), second->devicePath(), QStringLiteral("--unit"),
                             QStringLiteral("2"), QStringLiteral("--log"), logPath, QStringLiteral("power"),
                             QStringLiteral("input")});
        QCOMPARE(r.status, 1);
        QVERIFY2(r.err.contains(missing), qPrintable(r.err));
        const QList<QByteArray> lines = r.out.split('\n');
        QCOMPARE(lines.size(), 5);
        QVERIFY(lines[0].startsWith(first->devicePath().toUtf8() + "\tpower\tno reply"));
        QVERIFY(lines[1].startsWith(first->devicePath().toUtf8() + "\tinput\tno reply"));
        QVERIFY(lines[2].startsWith(second->devicePath().toUtf8() + "\tpower\tStand by"));
        QVERIFY(lines[3].startsWith(second->devicePath().toUtf8() + "\tinput\tInput mode 1"));
        QFile log(logPath);
        QVERIFY(log.open(QIODevice::ReadOnly));
        QByteArray tx, rx;
        for (const QByteArray &line : log.readAll().split('\n')) {
            if (line.isEmpty())
                continue;
            const std::optional<traffic::Record> record = traffic::parseRecord(line);
            QVERIFY2(record, line.constData());
            if (record->port == second->devicePath() && record->kind == traffic::Kind::TX)
                tx += record->bytes;
            if (record->port == second->devicePath() && record->kind == traffic::Kind::RX)
                rx += record->bytes;
        }
        QCOMPARE(tx, second->received());
        QCOMPARE(rx, second->sent());
    }

    void throughTheGateway_data() {
        QTest::addColumn<bool>("rfc2217");
        QTest::newRow("raw") << false;
        QTest::newRow("rfc2217") << true;
    }
    void throughTheGateway() {
        QFETCH(bool, rfc2217);
        auto projector = test::startSim();
        peers::Ser2net gateway(projector->devicePath());
        QVERIFY(gateway.start());
        const QString port = rfc2217 ? gateway.rfc2217() : gateway.raw();
        const Run r = query({QStringLiteral("--port"), port, QStringLiteral("lamps")});
        QCOMPARE(r.status, 0);
        QCOMPARE(r.out, port.toUtf8() + "\tlamps\tAll OFF : 4 Lamp mode\n");
        const Run refused = query({QStringLiteral("--port"),
                                   QStringLiteral("tcp://127.0.0.1:%1").arg(peers::Ser2net::freePort()),
                                   QStringLiteral("power")});
        QCOMPARE(refused.status, 1);
        QVERIFY2(refused.err.contains(QStringLiteral("refused")), qPrintable(refused.err));
    }

    void interruptedEndsCleanly() {
        auto projector = test::startSim();
        projector->faults.noReply = true;
        QProcess p;
        p.start(qEnvironmentVariable("KR7_QUERY"),
                {QStringLiteral("--port"), projector->devicePath(), QStringLiteral("--timeout"),
                 QStringLiteral("60000"), QStringLiteral("power")});
        QVERIFY(p.waitForStarted());
        QTRY_COMPARE(projector->lines(), QList<QByteArray>{"CR0"});
        peers::signalProcess(p, SIGINT);
        QSignalSpy done(&p, &QProcess::finished);
        QVERIFY(done.wait(5000));
        QCOMPARE(p.exitCode(), 128 + SIGINT);
    }

    void usageErrors_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("said");
        QTest::newRow("speed") << QStringList{"--speed", "1200", "power"} << "--speed '1200'";
        QTest::newRow("unit") << QStringList{"--unit", "5", "power"} << "--unit '5'";
        QTest::newRow("timeout not a number")
            << QStringList{"--timeout", "abc", "power"} << "--timeout 'abc'";
        QTest::newRow("timeout zero") << QStringList{"--timeout", "0", "power"} << "--timeout '0'";
        QTest::newRow("malformed port")
            << QStringList{"--port", "rfc2217://gw:99999", "power"} << "rfc2217://gw:99999";
        QTest::newRow("port twice") << QStringList{"--port", "/dev/x", "--port", "/dev/x", "power"}
                                    << "'/dev/x'";
        QTest::newRow("no command") << QStringList{"--port", "/dev/x"} << "no COMMAND";
        QTest::newRow("unknown option") << QStringList{"--colour", "power"} << "colour";
    }
    void usageErrors() {
        QFETCH(QStringList, args);
        QFETCH(QString, said);
        const Run r = query(args);
        QCOMPARE(r.status, 1);
        QVERIFY2(r.err.contains(said), qPrintable(r.err));
        QVERIFY(r.out.isEmpty());
    }
};

QTEST_MAIN(TestQuery)
#include "tst_query.moc"
