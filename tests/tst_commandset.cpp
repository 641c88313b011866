// The command set's rules against a recording send path: lines, intervals, pacing and back-pressure.
#include "commandset.h"

#include <QTest>

using namespace kr7;

namespace {

struct Recorder : SendPath {
    QStringList lines;
    int replyMs = 500, clearMs = 1000;
    bool pending = false;
    QStringList events;
    void setSendIntervals(Wait w) override {
        replyMs = w.replyMs;
        clearMs = w.clearMs;
        events << QStringLiteral("intervals %1/%2").arg(replyMs).arg(clearMs);
    }
    void sendLine(const QString &line) override {
        lines << line;
        events << QStringLiteral("send ") + line.trimmed();
    }
    bool linePending() const override { return pending; }
    void closeExchange() override { events << QStringLiteral("close"); }
    void emptyReceiveBuffer() override { events << QStringLiteral("empty"); }
};

const OneShot &oneShot(std::string_view name) {
    for (const OneShot &b : kOneShots)
        if (b.name == name)
            return b;
    qFatal("no such button");
}
const Repeat &repeat(std::string_view name) {
    for (const Repeat &r : kRepeats)
        if (r.name == name)
            return r;
    qFatal("no such button");
}

} // namespace

class TestCommandSet : public QObject {
    Q_OBJECT
  private slots:
    void prefixes() {
        Recorder rec;
        CommandSet cs(rec);
        cs.click(oneShot("Command17"));
        cs.selectAddress("Option4");
        cs.click(oneShot("Command25"));
        cs.selectAddress("Option5");
        cs.click(oneShot("Command17"));
        cs.selectAddress("Option3");
        cs.click(oneShot("Command17"));
        cs.selectAddress("Option5");
        cs.selectAddress("Option5"); // selecting twice changes nothing
        cs.selectAddress("Option99");
        cs.click(oneShot("Command18"));
        QCOMPARE(rec.lines, QStringList({"C00\r", "AFFFC43\r", "A001C00\r", "C00\r", "A001C01\r"}));
    }

    void intervalsLeftBehind() {
        Recorder rec;
        CommandSet cs(rec);
        cs.click(oneShot("Command44")); // plain: untouched
        QCOMPARE(rec.replyMs, 500);
        cs.click(oneShot("Command94")); // grid
        QCOMPARE(rec.lines.last(), QStringLiteral("CF INPUT4 HD-SDI1\r"));
        cs.click(oneShot("Command44"));
        QCOMPARE(std::pair(rec.replyMs, rec.clearMs), std::pair(5000, 5500));
        cs.click(oneShot("Command52"));
        QCOMPARE(rec.lines.last(), QStringLiteral("CR ALLPFAIL\r"));
        QCOMPARE(std::pair(rec.replyMs, rec.clearMs), std::pair(2000, 2500));
        cs.click(oneShot("Command63"));
        cs.sendText(QStringLiteral("CR0"));
        QCOMPARE(std::pair(rec.replyMs, rec.clearMs), std::pair(2000, 2500));
        // Long wait sets its intervals before the send, so the timers the send starts use them.
        rec.events.clear();
        cs.click(oneShot("Command4"));
        QCOMPARE(rec.events, QStringList({"intervals 2000/2500", "send CF IMAGE STAND"}));
    }

    void menuPacing() {
        Recorder rec;
        CommandSet cs(rec);
        QCOMPARE(cs.Timer1().interval(), 200);
        cs.press(repeat("Command15")); // zoom sets 50
        cs.release(&repeat("Command15"));
        QCOMPARE(cs.Timer1().interval(), 50);
        cs.click(oneShot("Command23")); // MENU ON
        QCOMPARE(cs.Timer1().interval(), 200);
        QVERIFY(!cs.Timer1().isActive());
        QCOMPARE(cs.ArrowMode(), ArrowMode::MenuIntervals);
        cs.click(oneShot("Command24")); // MENU OFF does not undo it
        QCOMPARE(cs.ArrowMode(), ArrowMode::MenuIntervals);
        rec.events.clear();
        cs.press(repeat("Command5"));
        QCOMPARE(rec.events, QStringList({"intervals 150/190", "send C3C"}));
        QCOMPARE(cs.Timer1().interval(), 200);
        cs.release(&repeat("Command5"));
    }

    void digitalZoomReleasePacesTheCursorAt5ms() {
        Recorder rec;
        CommandSet cs(rec);
        cs.press(repeat("Command48"));
        QCOMPARE(std::pair(rec.replyMs, rec.clearMs), std::pair(200, 245));
        QCOMPARE(cs.Timer1().interval(), 250);
        cs.release(&repeat("Command48"));
        QCOMPARE(cs.Timer1().interval(), 5);
        QCOMPARE(cs.ArrowMode(), ArrowMode::RapidIntervals);
        cs.press(repeat("Command7"));
        QCOMPARE(std::pair(rec.replyMs, rec.clearMs), std::pair(5, 5));
        QCOMPARE(cs.Timer1().interval(), 5);
        cs.release(&repeat("Command7"));
        // Another repeat button changes the pace but not ArrowMode.
        cs.press(repeat("Command6"));
        cs.release(&repeat("Command6"));
        QCOMPARE(cs.Timer1().interval(), 500);
        cs.press(repeat("Command9"));
        QCOMPARE(std::pair(rec.replyMs, rec.clearMs), std::pair(5, 5));
        cs.release(nullptr); // a lost release ends it as well
        QCOMPARE(cs.RepeatCode(), 0);
        QVERIFY(!cs.Timer1().isActive());
        QCOMPARE(cs.Timer1().interval(), 500);
    }

    void cursorAtStartKeepsTheIntervals() {
        Recorder rec;
        CommandSet cs(rec);
        rec.events.clear();
        cs.press(repeat("Command8"));
        QCOMPARE(rec.events, QStringList({"send C3A"}));
        QCOMPARE(cs.Timer1().interval(), 200);
        QVERIFY(cs.Timer1().isActive());
    }

    void pressTickRelease() {
        Recorder rec;
        CommandSet cs(rec);
        cs.selectAddress("Option6");
        cs.press(repeat("Command15"));
        QCOMPARE(cs.RepeatCode(), 7);
        QCOMPARE(rec.events.mid(0, 2), QStringList({"send A002C47", "intervals 25/25"}));
        cs.selectAddress("Option3"); // the prefix is read afresh for every line
        cs.Timer1_Timer();
        QCOMPARE(rec.lines.last(), QStringLiteral("C47\r"));
        rec.events.clear();
        cs.release(&repeat("Command15"));
        QCOMPARE(rec.events, QStringList({"close", "intervals 500/1000", "empty"}));
        cs.Timer1_Timer(); // a stray tick after release sends nothing
        QCOMPARE(rec.lines.size(), 2);
    }

    void tickSkipsWhileTheLastLineIsQueued() {
        Recorder rec;
        CommandSet cs(rec);
        cs.press(repeat("Command59"));
        rec.pending = true;
        for (int i = 0; i < 10; ++i)
            cs.Timer1_Timer();
        QCOMPARE(rec.lines.size(), 1);
        QCOMPARE(cs.skippedTicks(), 10);
        rec.pending = false;
        cs.Timer1_Timer();
        QCOMPARE(rec.lines.size(), 2);
        // The press itself is the operator's act: it always sends.
        rec.pending = true;
        cs.press(repeat("Command59"));
        QCOMPARE(rec.lines.size(), 3);
    }

    void freeEntry_data() {
        QTest::addColumn<QString>("prefixOption");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("line");
        QTest::newRow("empty field, single") << "Option3"
                                             << ""
                                             << "\r";
        QTest::newRow("empty field, all") << "Option4"
                                          << ""
                                          << "AFFF\r";
        QTest::newRow("typed as is, lower case") << "Option3"
                                                 << " cr0 "
                                                 << " cr0 \r";
        QTest::newRow("pressure query") << "Option4"
                                        << "CR PRESSURE"
                                        << "AFFFCR PRESSURE\r";
        QTest::newRow("own address gets the prefix too") << "Option5"
                                                         << "A002C00"
                                                         << "A001A002C00\r";
        QTest::newRow("Latin-1 passes") << "Option3" << QString(QChar(0xE9)) << QString(QChar(0xE9)) + "\r";
        QTest::newRow("outside Latin-1 is one ?") << "Option3" << QString::fromUtf8("é€😀") << "é??\r";
    }
    void freeEntry() {
        QFETCH(QString, prefixOption);
        QFETCH(QString, typed);
        QFETCH(QString, line);
        Recorder rec;
        CommandSet cs(rec);
        cs.selectAddress(prefixOption.toStdString());
        cs.sendText(typed);
        QCOMPARE(rec.lines, QStringList{line});
        QCOMPARE(std::pair(rec.replyMs, rec.clearMs), std::pair(2000, 2500));
    }
};

QTEST_GUILESS_MAIN(TestCommandSet)
#include "tst_commandset.moc"
