// Every button of the window against the simulated projector: the bytes on the line, the intervals left
// behind, press-and-hold, the free command entry and the status texts.
#include "monitortext.h"
#include "support.h"

#include <QLineEdit>
#include <QRadioButton>

using namespace kr7;

namespace {
QByteArray b(std::string_view s) {
    return QByteArray(s.data(), qsizetype(s.size()));
}

struct FullView : test::Bench {
    FullView() {
        QTest::keyClick(form.get(), Qt::Key_K, Qt::ControlModifier);
        QTest::mouseDClick(get<QWidget>("Image1"), Qt::LeftButton);
    }
    // Clicks a one-shot button and waits until its line has arrived.
    QByteArray clickAndWait(const char *name) {
        const qsizetype before = projector->lines().size();
        click(name);
        if (!QTest::qWaitFor([&] { return projector->lines().size() > before; }, 3000))
            return QByteArray("(nothing)");
        return projector->lines().last();
    }
    // Sends a query, waits for the whole reply (every query's reply ends in a carriage return) and returns
    // the status text it produced.
    QString query(const char *name) {
        clickAndWait(name);
        (void)QTest::qWaitFor([&] { return form->link().ReceiveBuffer().endsWith(QLatin1Char('\r')); }, 3000);
        return text("Label22");
    }
    // Ends the exchange as the timers would, so that its bytes do not stand in front of the next reply.
    void settle() {
        form->link().Timer2_Timer();
        form->link().Timer4_Timer();
    }
    void press(const char *name, Qt::MouseButton button = Qt::LeftButton) {
        QTest::mousePress(get<QWidget>(name), button);
    }
    void release(const char *name, Qt::MouseButton button = Qt::LeftButton) {
        QTest::mouseRelease(get<QWidget>(name), button);
    }
};
} // namespace

class TestEndToEnd : public QObject {
    Q_OBJECT
  private slots:
    void everyOneShotButtonPutsItsLine_data() {
        QTest::addColumn<QString>("option");
        QTest::addColumn<QByteArray>("prefix");
        QTest::newRow("SINGLE") << "Option3" << QByteArray();
        QTest::newRow("ALL") << "Option4" << QByteArray("AFFF");
        QTest::newRow("003") << "Option7" << QByteArray("A003");
    }
    void everyOneShotButtonPutsItsLine() {
        QFETCH(QString, option);
        QFETCH(QByteArray, prefix);
        FullView v;
        v.projector->faults.noReply = true;
        v.click(option.toLatin1().constData());
        QVERIFY(v.projector->received().isEmpty()); // choosing a prefix sends nothing
        int reply = 500, clear = 1000;
        ArrowMode arrowMode = ArrowMode::KeepIntervals;
        for (const OneShot &row : kOneShots) {
            v.click(row.name.data());
            QCOMPARE(v.drain(), prefix + b(row.code) + '\r'); // exactly one line
            if (row.shape == Shape::LongWait) {
                reply = row.wait.replyMs;
                clear = row.wait.clearMs;
            }
            QCOMPARE(v.form->link().Timer2().interval(), reply);
            QCOMPARE(v.form->link().Timer4().interval(), clear);
            if (row.shape == Shape::MenuPacing)
                arrowMode = ArrowMode::MenuIntervals;
            QCOMPARE(v.form->commands().ArrowMode(), arrowMode);
            QCOMPARE(v.text("Label11"), monitorText(QString::fromLatin1(prefix + b(row.code) + '\r')));
        }
        QCOMPARE(v.form->commands().ArrowMode(),
                 ArrowMode::MenuIntervals); // MENU ON and A-PC ADJ were among them
        QCOMPARE(v.form->commands().Timer1().interval(), 200);
        QVERIFY(!v.form->commands().Timer1().isActive());
    }

    void keyboardActivationSendsOneShotsButNotRepeats() {
        FullView v;
        v.projector->faults.noReply = true;
        auto *power = v.get<QWidget>("Command17");
        power->setFocus();
        QTest::keyClick(power, Qt::Key_Space);
        QTRY_COMPARE(v.projector->lines(), QList<QByteArray>{"C00"});
        auto *zoom = v.get<QWidget>("Command15");
        zoom->setFocus();
        QTest::keyClick(zoom, Qt::Key_Space);
        QTest::qWait(100);
        QCOMPARE(v.projector->lines().size(), 1);
        QCOMPARE(v.form->commands().RepeatCode(), 0);
    }

    void statusTextsFromTheProjector() {
        FullView v;
        QCOMPARE(v.query("Command44"), QStringLiteral(" Stand by"));
        v.settle();
        QCOMPARE(v.query("Command12"), QStringLiteral(" Stand by")); // mute/signal FF in standby
        v.settle();
        QCOMPARE(v.query("Command55"), QStringLiteral(" All OFF : 4 Lamp mode"));
        v.settle();
        v.clickAndWait("Command17"); // POWER ON: count down, then on
        QTRY_COMPARE(v.text("Label12"), QStringLiteral(" ACK "));
        v.settle();
        QCOMPARE(v.query("Command44"), QStringLiteral(" Count down"));
        v.projector->skipTime(700); // the simulated warm-up is 600 ms
        v.settle();
        QCOMPARE(v.query("Command44"), QStringLiteral(" Power ON"));
        v.settle();
        QCOMPARE(v.query("Command55"), QStringLiteral(" All ON  : 4 Lamp mode"));
        v.settle();
        v.clickAndWait("Command57"); // 2 LAMP
        QTRY_COMPARE(v.text("Label12"), QStringLiteral(" ACK "));
        v.settle();
        QCOMPARE(v.query("Command55"), QStringLiteral(" No1,4 ON  : 2 Lamp mode(1,4)"));
        v.settle();
        QCOMPARE(v.query("Command45"), QStringLiteral(" Input mode 1"));
        v.settle();
        v.clickAndWait("Command28");
        QTRY_COMPARE(v.text("Label12"), QStringLiteral(" ACK "));
        v.settle();
        QCOMPARE(v.query("Command45"), QStringLiteral(" Input mode 2"));
        v.settle();
        QCOMPARE(v.query("Command47"), QStringLiteral(" Normally"));
        v.settle();
        QCOMPARE(v.query("Command12"), QStringLiteral(" Video & Audio mute OFF"));
        v.settle();
        v.clickAndWait("Command21"); // NO SHOW ON
        QTRY_COMPARE(v.text("Label12"), QStringLiteral(" ACK "));
        v.settle();
        QCOMPARE(v.query("Command12"), QStringLiteral(" Video mute ON"));
        v.settle();
        QCOMPARE(v.query("Command54"), QStringLiteral("  S1= 0 3 6 . 0 C  ,   S2=  4 7 . 5 C"));
        v.settle();
        QVERIFY(v.query("Command46").endsWith(QStringLiteral(" Hour Use")));
        QVERIFY(v.text("Label22").startsWith(QStringLiteral(" 1 2 3 4   1 2 0 1")));
        v.settle();
        QCOMPARE(v.query("Command38"), QStringLiteral(" 1 0 2 4 X 7 6 8   6 0 H Z CR "));
        v.settle();
        v.get<QLineEdit>("Text1")->setText(QStringLiteral("CR PRESSURE"));
        QCOMPARE(v.query("Command95"), QStringLiteral("1013 hPa"));
        v.settle();
        // P-FAIL's reply shows in the monitor only.
        v.clickAndWait("Command52");
        QTRY_COMPARE(v.text("Label12"), QStringLiteral(" 0 0 0 0 CR "));
        QCOMPARE(v.text("Label22"), QString());
    }

    void addressedQueriesAndAPrefixChangedBeforeTheReply() {
        FullView v;
        v.click("Option6"); // 002
        QCOMPARE(v.query("Command44"), QStringLiteral(" Stand by"));
        v.settle();
        v.projector->faults.replyDelayMs = 150;
        v.clickAndWait("Command44");
        v.click("Option4"); // ALL, before the reply comes
        QTRY_COMPARE(v.text("Label12"), QStringLiteral(" 8 0 CR "));
        QCOMPARE(v.text("Label22"), QString()); // decoded on arrival, against the prefix of now
    }

    void freeCommandEntry() {
        FullView v;
        auto *text = v.get<QLineEdit>("Text1");
        QCOMPARE(v.clickAndWait("Command95"), QByteArray()); // empty field: a lone carriage return
        v.click("Option4");
        QCOMPARE(v.clickAndWait("Command95"), QByteArray("AFFF"));
        text->setText(QStringLiteral("CR0"));
        QCOMPARE(v.query("Command95"), QStringLiteral(" Stand by")); // decoded like the STATUS button
        QCOMPARE(text->text(), QStringLiteral("CR0"));               // kept for sending again
        v.settle();
        v.click("Option3");
        text->setText(QStringLiteral("cr0"));
        QCOMPARE(v.clickAndWait("Command95"), QByteArray("cr0"));
        v.form->link().Hyouji(v.form->link().ReceiveBuffer(), Link::Direction::Receive);
        QCOMPARE(v.text("Label22"), QString()); // lower case is sent but not decoded
        QCOMPARE(v.form->link().Timer2().interval(), 2000);
        QCOMPARE(v.form->link().Timer4().interval(), 2500);
        v.drain();
        v.click("Command96"); // CLS
        QCOMPARE(text->text(), QString());
        QCOMPARE(v.drain(), QByteArray()); // sends nothing
        QCOMPARE(v.clickAndWait("Command95"), QByteArray());
    }

    void shortPressSendsOneLine() {
        FullView v;
        v.projector->faults.noReply = true;
        v.press("Command15");
        v.release("Command15");
        QVERIFY(!v.form->commands().Timer1().isActive());
        QCOMPARE(v.drain(), QByteArray("C47\r"));
    }

    void holdingRepeatsAtThePaceThenStopsAtOnce_data() {
        QTest::addColumn<Qt::MouseButton>("button");
        QTest::newRow("left") << Qt::LeftButton;
        QTest::newRow("right") << Qt::RightButton;
        QTest::newRow("middle") << Qt::MiddleButton;
    }
    void holdingRepeatsAtThePaceThenStopsAtOnce() {
        QFETCH(Qt::MouseButton, button);
        FullView v;
        v.click("Option5");
        v.press("Command15", button);
        QCOMPARE(v.projector->received().size(), 0); // not yet read, but already written:
        QTRY_COMPARE(v.projector->lines().value(0), QByteArray("A001C47"));
        QTest::qWait(500);
        const qsizetype held = v.projector->lines().size();
        QVERIFY2(held >= 6 && held <= 13, qPrintable(QString::number(held))); // ~11 at 50 ms
        for (const QByteArray &line : v.projector->lines())
            QCOMPARE(line, QByteArray("A001C47"));
        QCOMPARE(v.form->link().Timer2().interval(), 25);
        v.release("Command15", button);
        QCOMPARE(v.text("Label11"), QString());
        QCOMPARE(v.text("Label12"), QString());
        QVERIFY(!v.form->link().Timer2().isActive());
        QVERIFY(v.form->link().Timer4().isActive());
        QCOMPARE(v.form->link().ReceiveBuffer(), QString());
        QCOMPARE(v.form->link().Timer4().interval(), 1000);
        QVERIFY(!v.form->commands().Timer1().isActive()); // nothing after the release
        v.drain();
        QVERIFY(v.projector->lines().size() <= held + 1);
        QVERIFY(v.text("Label12") != Link::kNoReplyMarker);
    }

    void cursorPacingAfterDigitalZoomAndMenu() {
        FullView v;
        v.projector->faults.noReply = true;
        v.press("Command48");
        v.release("Command48");
        QCOMPARE(v.form->commands().ArrowMode(), ArrowMode::RapidIntervals);
        v.projector->clearReceived();
        v.press("Command5");
        QCOMPARE(v.form->commands().Timer1().interval(), 5);
        QCOMPARE(v.form->link().Timer2().interval(), 5);
        QCOMPARE(v.form->link().Timer4().interval(), 5);
        QTRY_VERIFY(v.projector->lines().size() >= 5);
        v.release("Command5");
        v.click("Command23"); // MENU ON
        v.press("Command7");
        QCOMPARE(v.form->commands().Timer1().interval(), 200);
        QCOMPARE(v.form->link().Timer2().interval(), 150);
        QCOMPARE(v.form->link().Timer4().interval(), 190);
        v.release("Command7");
        v.press("Command6"); // SELECT paces at 500
        QCOMPARE(v.form->commands().Timer1().interval(), 500);
        v.release("Command6");
    }

    void heldButtonStopsWhenTheLineBacksUp() {
        FullView v;
        v.click("Command33");
        v.click("Option10"); // 9600 bit/s
        QCOMPARE(v.form->MSComm1().settings(), QStringLiteral("9600,N,8,1"));
        // The projector stops reading: the pseudo-terminal fills and the panel's queue backs up behind it.
        v.projector->setReading(false);
        QByteArray fill(200000, 'F');
        v.form->MSComm1().output(fill);
        QTRY_VERIFY(v.form->MSComm1().pendingOutput() > 0);
        v.press("Command15");
        for (int i = 0; i < 4; ++i)
            v.form->commands().Timer1_Timer();
        v.release("Command15");
        // The press could not even queue its line; every tick saw the queue busy and sent nothing.
        QCOMPARE(v.form->link().refusedLines(), 1);
        QCOMPARE(v.form->commands().skippedTicks(), 4);
        v.projector->setReading(true);
        QCOMPARE(v.drain(), fill); // no line came before or after the release
    }
};

QTEST_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
