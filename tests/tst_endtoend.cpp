// Every button of the window against the simulated projector: the bytes on the line, the intervals left
// behind, press-and-hold, the free command entry and the status texts.
#include "monitortext.h"
#include "support.h"

#include <QApplication>
#include <QKeyEvent>
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
    // A key event as the keyboard sends it, through the application (and so its event filters).
    void key(QWidget *target, QEvent::Type type, int key, bool autoRepeat = false) {
        const QString text = key == Qt::Key_Space ? QStringLiteral(" ") : QStringLiteral("\r");
        QKeyEvent event(type, key, Qt::NoModifier, text, autoRepeat);
        QApplication::sendEvent(target, &event);
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

    // Space or Enter on a one-shot button is one click, however long the key is held.
    void keyOnAOneShotIsOneClick_data() {
        QTest::addColumn<int>("key");
        QTest::newRow("space") << int(Qt::Key_Space);
        QTest::newRow("enter") << int(Qt::Key_Return);
    }
    void keyOnAOneShotIsOneClick() {
        QFETCH(int, key);
        FullView v;
        v.projector->faults.noReply = true;
        auto *power = v.get<QWidget>("Command17");
        power->setFocus();
        v.key(power, QEvent::KeyPress, key);
        for (int i = 0; i < 30; ++i) { // a second of the keyboard's own repeats, as X11 sends them
            v.key(power, QEvent::KeyRelease, key, true);
            v.key(power, QEvent::KeyPress, key, true);
        }
        v.key(power, QEvent::KeyRelease, key);
        QCOMPARE(v.drain(), QByteArray("C00\r"));
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

    // Enter in CMD is SEND: the same line and intervals, once however long it is held.
    void enterInTheCommandFieldSends() {
        FullView v;
        auto *text = v.get<QLineEdit>("Text1");
        text->setFocus();
        QTest::keyClicks(text, QStringLiteral("CR PRESSURE"));
        v.key(text, QEvent::KeyPress, Qt::Key_Return);
        for (int i = 0; i < 5; ++i)
            v.key(text, QEvent::KeyPress, Qt::Key_Return, true);
        v.key(text, QEvent::KeyRelease, Qt::Key_Return);
        QTRY_COMPARE(v.text("Label22"), QStringLiteral("1013 hPa"));
        QCOMPARE(v.drain(), QByteArray("CR PRESSURE\r"));
        QCOMPARE(v.form->link().Timer2().interval(), 2000);
        QCOMPARE(v.form->link().Timer4().interval(), 2500);
        QCOMPARE(text->text(), QStringLiteral("CR PRESSURE"));
        text->clear();
        QTest::keyClick(text, Qt::Key_Enter, Qt::KeypadModifier);
        QCOMPARE(v.drain(), QByteArray("\r")); // an empty field: what SEND sends
    }

    void shortPressSendsOneLine() {
        FullView v;
        v.projector->faults.noReply = true;
        v.press("Command15");
        v.release("Command15");
        QVERIFY(!v.form->commands().Timer1().isActive());
        QCOMPARE(v.drain(), QByteArray("C47\r"));
    }

    // Held a second by any mouse button, by Space or by Enter: the same lines at the repeat timer's pace, and
    // the release ends it at once.
    void holdingRepeatsAtThePaceThenStopsAtOnce_data() {
        QTest::addColumn<int>("button");
        QTest::addColumn<int>("key");
        QTest::newRow("left") << int(Qt::LeftButton) << 0;
        QTest::newRow("right") << int(Qt::RightButton) << 0;
        QTest::newRow("middle") << int(Qt::MiddleButton) << 0;
        QTest::newRow("space") << 0 << int(Qt::Key_Space);
        QTest::newRow("enter") << 0 << int(Qt::Key_Return);
    }
    void holdingRepeatsAtThePaceThenStopsAtOnce() {
        QFETCH(int, button);
        QFETCH(int, key);
        FullView v;
        v.click("Option5");
        auto *zoom = v.get<QWidget>("Command15");
        QTimer autoRepeat; // the keyboard's own repeats while the key is down: they must change nothing
        if (key) {
            zoom->setFocus();
            v.key(zoom, QEvent::KeyPress, key);
            connect(&autoRepeat, &QTimer::timeout, zoom, [&] {
                v.key(zoom, QEvent::KeyRelease, key, true);
                v.key(zoom, QEvent::KeyPress, key, true);
            });
            autoRepeat.start(33);
        } else {
            v.press("Command15", Qt::MouseButton(button));
        }
        QCOMPARE(v.projector->received().size(), 0); // not yet read, but already written:
        QTRY_COMPARE(v.projector->lines().value(0), QByteArray("A001C47"));
        QTest::qWait(1000);
        const qsizetype held = v.projector->lines().size();
        QVERIFY2(held >= 13 && held <= 25, qPrintable(QString::number(held))); // ~21 at 50 ms
        for (const QByteArray &line : v.projector->lines())
            QCOMPARE(line, QByteArray("A001C47"));
        QCOMPARE(v.form->link().Timer2().interval(), 25);
        autoRepeat.stop();
        if (key)
            v.key(zoom, QEvent::KeyRelease, key);
        else
            v.release("Command15", Qt::MouseButton(button));
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

    // Whatever takes the focus from a button held by the keyboard releases it: Tab, a click elsewhere,
    // another window.
    void focusTakenFromAKeyHeldButtonReleasesIt_data() {
        QTest::addColumn<QString>("how");
        QTest::newRow("tab") << "tab";
        QTest::newRow("another control") << "other";
        QTest::newRow("another window") << "window";
    }
    void focusTakenFromAKeyHeldButtonReleasesIt() {
        QFETCH(QString, how);
        FullView v;
        v.projector->faults.noReply = true;
        QApplication::setActiveWindow(v.form.get());
        auto *lens = v.get<QWidget>("Command59");
        lens->setFocus();
        v.key(lens, QEvent::KeyPress, Qt::Key_Space);
        QCOMPARE(v.form->commands().RepeatCode(), 21);
        QWidget other;
        if (how == QLatin1String("tab")) {
            QTest::keyClick(lens, Qt::Key_Tab);
        } else if (how == QLatin1String("other")) {
            v.get<QWidget>("Text1")->setFocus();
        } else {
            other.show();
            QApplication::setActiveWindow(&other);
        }
        QVERIFY(!lens->hasFocus());
        QCOMPARE(v.form->commands().RepeatCode(), 0);
        QVERIFY(!v.form->commands().Timer1().isActive());
        QCOMPARE(v.text("Label11"), QString());
        const QByteArray sent = v.drain();
        QVERIFY(sent.startsWith("C5D\r"));
        v.key(QApplication::focusWidget() ? QApplication::focusWidget() : lens, QEvent::KeyRelease,
              Qt::Key_Space);
        QCOMPARE(v.drain(), QByteArray()); // the late key-up changes nothing
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
