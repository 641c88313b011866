// The traffic log: escaping that gives every byte back, records a script can read, a writer that keeps
// order and time and survives a kill, a full disk and a path it cannot write, and the panel's whole session
// in it.
#include "escape.h"
#include "peers.h"
#include "record.h"
#include "support.h"
#include "trafficlog.h"

#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <csignal>

using namespace kr7;
using namespace kr7::traffic;

namespace {
QList<Record> readLog(const QString &path, bool *allParse = nullptr, QByteArray *fragment = nullptr) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QByteArray text = f.readAll();
    QList<Record> out;
    if (allParse)
        *allParse = true;
    const qsizetype lastLf = text.lastIndexOf('\n');
    if (fragment)
        *fragment = text.mid(lastLf + 1);
    for (const QByteArray &line : text.left(lastLf + 1).split('\n')) {
        if (line.isEmpty())
            continue;
        if (const std::optional<Record> r = parseRecord(line))
            out << *r;
        else if (allParse) {
            qWarning("unparsable: %s", line.constData());
            *allParse = false;
        }
    }
    return out;
}
QByteArray join(const QList<Record> &records, Kind kind) {
    QByteArray out;
    for (const Record &r : records)
        if (r.kind == kind)
            out += r.bytes;
    return out;
}
} // namespace

class TestTraffic : public QObject {
    Q_OBJECT
  private slots:
    void escapingGivesEveryByteBack() {
        QByteArray all;
        for (int b = 0; b < 256; ++b) {
            const QByteArray one(1, char(b));
            const QByteArray e = escape(one);
            QCOMPARE(unescape(e), std::optional<QByteArray>(one));
            for (char c : e) // one line of printable ASCII
                QVERIFY(uchar(c) >= 0x20 && uchar(c) <= 0x7E);
            all += one;
        }
        QCOMPARE(unescape(escape(all + all)), std::optional<QByteArray>(all + all));
        QCOMPARE(escape(QByteArray("A\\\r\n\t\x06\xFF z", 9)), QByteArray("A\\\\\\r\\n\\t\\x06\\xff z"));
        for (const char *bad : {"\\", "\\q", "\\x6", "\\xG0", "\\xFF", "a\tb"})
            QVERIFY2(!unescape(QByteArray(bad)), bad);
    }

    void recordsRoundTrip() {
        const QDateTime when =
            QDateTime::fromString(QStringLiteral("2026-12-07T14:03:12.345+01:00"), Qt::ISODateWithMs);
        const QByteArray tx = formatRecord(when, QStringLiteral("COM1"), Kind::TX, "A001CR0\r");
        QVERIFY(QRegularExpression(
                    QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}[+-]\\d\\d:\\d\\d\\t"))
                    .match(QString::fromLatin1(tx))
                    .hasMatch());
        QVERIFY(tx.endsWith("\tCOM1\tTX\tA001CR0\\r\n"));
        const std::optional<Record> r = parseRecord(tx);
        QVERIFY(r);
        QCOMPARE(r->when, when);
        QCOMPARE(r->bytes, QByteArray("A001CR0\r"));
        const std::optional<Record> n = parseRecord(formatRecord(
            when, QStringLiteral("tcp://[::1]:4001"), Kind::NOTSENT, "C47\r", QStringLiteral("port closed")));
        QVERIFY(n && n->port == QStringLiteral("tcp://[::1]:4001") && n->bytes == "C47\r" &&
                n->text == "port closed");
        const std::optional<Record> s = parseRecord(formatRecord(
            when, QStringLiteral("COM2"), Kind::STATUS, {}, QStringLiteral(" No1,2 ON  : 4 Lamp mode")));
        QVERIFY(s && s->kind == Kind::STATUS && s->text == QStringLiteral(" No1,2 ON  : 4 Lamp mode"));
        for (const char *bad :
             {"", "2026-12-07T14:03:12.345+01:00\tCOM1\tTX", "2026-12-07T14:03:12.345+01:00\tCOM1\tXX\ta",
              "2026-12-07 14:03:12\tCOM1\tTX\ta", "2026-12-07T14:03:12.345+01:00\tCOM1\tTX\t\\q"})
            QVERIFY2(!parseRecord(QByteArray(bad)), bad);
    }

    void writerKeepsOrderAndTimeAndMendsACutRecord() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("s.log"));
        // A previous run, from "the future" (the clock was set back since), killed inside a record.
        QFile old(path);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("2099-01-01T00:00:00.000+00:00\tCOM1\tOPEN\tsession "
                  "start\n2099-01-01T00:00:01.000+00:00\tCOM1\tR");
        old.close();
        {
            TrafficLog log;
            QVERIFY(log.open(path, nullptr));
            for (int i = 0; i < 300; ++i)
                log.bytes(QStringLiteral("COM1"), Kind::TX, QByteArray::number(i) + '\r');
        }
        bool allParse = false;
        QByteArray fragment;
        const QList<Record> records = readLog(path, &allParse, &fragment);
        QVERIFY(allParse);
        QVERIFY(fragment.isEmpty());
        QCOMPARE(records.size(), 301);
        for (qsizetype i = 1; i < records.size(); ++i)
            QVERIFY(records[i].when >= records[i - 1].when);
        QCOMPARE(records[300].bytes, QByteArray("299\r"));
    }

    void pathsThatCannotBeWritten() {
        QTemporaryDir dir;
        TrafficLog log;
        QString error;
        QVERIFY(!log.open(dir.filePath(QStringLiteral("no/such/folder/s.log")), &error));
        QVERIFY(error.contains(QStringLiteral("no/such/folder/s.log")) &&
                error.contains(QStringLiteral("No such file")));
        QVERIFY(!log.open(dir.path(), &error));
        QVERIFY(error.contains(dir.path()) && error.contains(QStringLiteral("directory")));
        // The program says so and stops before anything else, with status 1.
        QProcess panel;
        panel.start(qEnvironmentVariable("KR7_CONTROL"),
                    {QStringLiteral("--log"), dir.filePath(QStringLiteral("no/s.log")),
                     QStringLiteral("--com1"), QStringLiteral("/dev/kr7-test-no-such-port")});
        QVERIFY(panel.waitForFinished(20000));
        QCOMPARE(panel.exitCode(), 1);
        const QString said = QString::fromLocal8Bit(panel.readAllStandardError());
        QVERIFY2(said.contains(QStringLiteral("no/s.log")) &&
                     !said.contains(QStringLiteral("kr7-test-no-such-port")),
                 qPrintable(said));
    }

    void fullDiskStopsTheLogNotThePanel() {
        TrafficLog log;
        QVERIFY(log.open(QStringLiteral("/dev/full"), nullptr));
        QSignalSpy failed(&log, &TrafficLog::failed);
        test::Bench b;
        b.form->setLog(&log);
        b.projector->faults.noReply = true;
        for (int i = 0; i < 5; ++i)
            b.click("Command17");
        QCOMPARE(failed.size(), 1); // once, and never tried again
        QVERIFY(b.form->windowTitle().contains(QStringLiteral("LOG STOPPED: No space left on device")));
        QCOMPARE(b.drain(), QByteArray("C00\rC00\rC00\rC00\rC00\r"));
    }

    // Everything the far end received is in the TX records, everything it sent in the RX records, and every
    // status text shown in a STATUS record.
    void theWholeSessionIsInTheLog() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("visit.log"));
        TrafficLog log;
        QVERIFY(log.open(path, nullptr));
        test::Bench b(QStringLiteral("/dev/kr7-test-no-such-port"), &log);
        QStringList shown;
        connect(&b.form->link(), &Link::statusShown, &log, [&shown](const QString &t) { shown << t; });
        QTest::keyClick(b.form.get(), Qt::Key_K, Qt::ControlModifier);
        QTest::mouseDClick(b.get<QWidget>("Image1"), Qt::LeftButton);
        QVERIFY(b.form->windowTitle().contains(QStringLiteral("LOG: visit.log")));
        for (const char *query : {"Command44", "Command55", "Command46", "Command54"}) {
            b.click(query);
            QTRY_VERIFY(b.form->link().ReceiveBuffer().endsWith(QLatin1Char('\r')));
            b.form->link().Timer2_Timer();
        }
        b.projector->faults.noReply = true;
        b.get<QLineEdit>("Text1")->setText(QString::fromLatin1("\\\t\xFF"));
        b.click("Command95");
        b.form->link().Timer2_Timer(); // no reply
        b.projector->write("unasked\x06");
        QTRY_COMPARE(b.form->link().ReceiveBuffer(), QStringLiteral("unasked\x06"));
        b.click("Command33");
        b.click("Option10");
        b.form->MSComm1().setPortOpen(false);
        b.click("Command18"); // not sent
        const QList<Record> records = readLog(path);
        QTRY_COMPARE(b.projector->received(), join(records, Kind::TX));
        QCOMPARE(join(records, Kind::RX), b.projector->sent());
        QStringList statuses;
        QStringList kinds; // runs of one kind, once each
        for (const Record &r : records) {
            if (r.kind == Kind::STATUS)
                statuses << r.text;
            if (kinds.isEmpty() || kinds.last() != QLatin1String(kindName(r.kind)))
                kinds << QString::fromLatin1(kindName(r.kind));
            // The run's heading names the program; every record of the line names its port.
            QCOMPARE(r.port, &r == &records.first() ? QStringLiteral("kr7-control") : QStringLiteral("COM1"));
        }
        QCOMPARE(statuses, shown);
        QCOMPARE(statuses.first(), QStringLiteral(" Stand by"));
        QCOMPARE(records.first().kind, Kind::OPEN);
        QVERIFY(records.first().text.startsWith(QStringLiteral("session start: kr7-control 1.40")));
        QVERIFY(records.first().text.contains(QStringLiteral("19200,N,8,1")));
        QCOMPARE(kinds.mid(kinds.size() - 6),
                 QStringList({"TX", "NOREPLY", "RX", "SPEED", "CLOSED", "NOTSENT"}));
        QCOMPARE(records.last().bytes, QByteArray("C01\r"));
        QVERIFY(records.last().text.startsWith(QStringLiteral("port closed")));
    }

    // Killed outright mid-session, the panel leaves a log whose every line is a whole record.
    void killedPanelLeavesWholeRecords() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("killed.log"));
        auto projector = test::startSim();
        projector->faults.streamBps = 1920;
        projector->setStreaming(true);
        QProcess panel;
        panel.start(qEnvironmentVariable("KR7_CONTROL"),
                    {QStringLiteral("--com1"), projector->devicePath(), QStringLiteral("--log"), path});
        QTRY_VERIFY_WITH_TIMEOUT(readLog(path).size() > 50, 20000);
        peers::signalProcess(panel, SIGKILL);
        QVERIFY(panel.waitForFinished(5000));
        bool allParse = false;
        QByteArray fragment;
        const QList<Record> records = readLog(path, &allParse, &fragment);
        QVERIFY(allParse);
        QVERIFY(records.size() > 50);
        QVERIFY(fragment.isEmpty() || !fragment.contains('\n')); // at most the record being written is cut
        // What came in is what went out of the projector, in order.
        QVERIFY(projector->sent().startsWith(join(records, Kind::RX)));
    }
};

QTEST_MAIN(TestTraffic)
#include "tst_traffic.moc"
