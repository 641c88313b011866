// The window as the operator and a screen reader meet it: start-up, views, port and speed, the chord,
// and every control where the layout puts it.
#include "builder.h"
#include "layout.h"
#include "readingorder.h"
#include "support.h"

#include <QAccessible>
#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

using namespace kr7;
using namespace kr7::panel;

namespace {
QString q(std::string_view s) {
    return QString::fromUtf8(s.data(), qsizetype(s.size()));
}

int clientPixels(const Form1 &f, int outerTwips) {
    return twipsToPixels(outerTwips - kNominalFrame, f.dpi());
}

// Another process holds the device, as a second program on the same adapter would.
struct Holder {
    QProcess process;
    explicit Holder(const QString &device) {
        process.start(qEnvironmentVariable("KR7_SIM"), {QStringLiteral("--device"), device});
        if (!process.waitForReadyRead(10000))
            qFatal("the holding process did not start");
    }
    ~Holder() {
        process.terminate();
        process.waitForFinished(5000);
    }
};

QMessageBox *portWarning(const Form1 &f) {
    return f.findChild<QMessageBox *>(QStringLiteral("portWarning"));
}

speed_t outputSpeed(const QString &device) {
    const int fd = ::open(device.toLocal8Bit().constData(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    termios t{};
    ::tcgetattr(fd, &t);
    ::close(fd);
    return ::cfgetospeed(&t);
}
} // namespace

class TestWindow : public QObject {
    Q_OBJECT
  private slots:
    void startUp() {
        test::Bench b;
        Form1 &f = *b.form;
        QCOMPARE(f.windowTitle(), QStringLiteral("VANO   KR7    CONTROL   Ver.1.40"));
        QCOMPARE(f.outerHeightTwips(), 5350);
        QCOMPARE(f.height(), clientPixels(f, 5350));
        QCOMPARE(f.width(), twipsToPixels(9495, f.dpi()));
        QCOMPARE(f.minimumSize(), f.maximumSize()); // not resizable
        QVERIFY(!(f.windowFlags() & Qt::WindowMaximizeButtonHint));
        QVERIFY(f.MSComm1().portOpen());
        QCOMPARE(f.MSComm1().commPort(), 1);
        QCOMPARE(f.MSComm1().settings(), QStringLiteral("19200,N,8,1"));
        QCOMPARE(outputSpeed(b.projector->devicePath()), speed_t(B19200));
        QVERIFY(b.get<QRadioButton>("Option1")->isChecked());
        QVERIFY(!b.get<QRadioButton>("Option2")->isChecked());
        QVERIFY(b.get<QRadioButton>("Option9")->isChecked());
        QVERIFY(b.get<QRadioButton>("Option3")->isChecked());
        QVERIFY(b.get<QWidget>("Frame8")->isHidden());
        QVERIFY(b.get<QWidget>("Command34")->isHidden());
        QCOMPARE(f.commands().AddressPrefix(), QString());
        QVERIFY(!f.commands().Timer1().isActive());
        QVERIFY(!f.link().Timer2().isActive());
        QVERIFY(!f.Timer3().isActive());
        QVERIFY(!f.link().Timer4().isActive());
        for (const char *field : {"Label11", "Label12", "Label22"})
            QCOMPARE(b.text(field), QString());
        QCOMPARE(b.get<QLineEdit>("Text1")->text(), QString());
        // Compact: the cursor cross and the buttons above band 5 in view, the monitor below the edge.
        QVERIFY(b.get<QWidget>("Command3")->geometry().bottom() < f.height());
        QVERIFY(b.get<QWidget>("Command16")->geometry().bottom() < f.height());
        QVERIFY(b.get<QWidget>("Frame9")->geometry().top() >= f.height());
        QVERIFY(b.get<QWidget>("Frame11")->geometry().top() >= f.height());
    }

    void startUpOnAMissingPortFails() {
        Form1 f(PortMap{QStringLiteral("/dev/kr7-test-missing"), QString()});
        const std::optional<QString> error = f.Form_Load();
        QVERIFY(error);
        QVERIFY(error->contains(QStringLiteral("/dev/kr7-test-missing")));
        QVERIFY(!f.MSComm1().portOpen());
    }

    void startUpOnAHeldPortFails() {
        auto projector = test::startSim();
        Holder holder(projector->devicePath());
        Form1 f(PortMap{projector->devicePath(), QString()});
        const std::optional<QString> error = f.Form_Load();
        QVERIFY(error);
        QVERIFY(error->contains(projector->devicePath()));
    }

    void views_data() {
        QTest::addColumn<QString>("steps");
        QTest::addColumn<int>("height");
        QTest::addColumn<bool>("serviceView");
        QTest::addColumn<QString>("caption"); // empty: the button is still hidden
        const QString close = QStringLiteral("CLOSE");
        const QString show = QStringLiteral("データを表示する");
        const QString hide = QStringLiteral("データを表示しない");
        QTest::newRow("start") << "" << 5350 << false << "";
        QTest::newRow("double-click before the chord") << "dbl" << 5350 << false << "";
        QTest::newRow("chord") << "chord" << 7200 << true << close;
        QTest::newRow("chord, double-click") << "chord dbl" << 9100 << true << close;
        QTest::newRow("chord in the full view") << "chord dbl chord" << 7200 << true << close;
        QTest::newRow("toggle from enlarged") << "chord toggle" << 5350 << false << show;
        QTest::newRow("toggle from full") << "chord dbl toggle" << 5350 << false << show;
        QTest::newRow("toggle twice") << "chord toggle toggle" << 6645 << false << hide;
        QTest::newRow("toggle three times") << "chord toggle toggle toggle" << 5350 << false << show;
        QTest::newRow("double-click after the toggle") << "chord toggle toggle dbl" << 6645 << false << hide;
        QTest::newRow("chord again opens the full view")
            << "chord toggle toggle chord dbl" << 9100 << true << close;
    }
    void views() {
        QFETCH(QString, steps);
        QFETCH(int, height);
        QFETCH(bool, serviceView);
        QFETCH(QString, caption);
        test::Bench b;
        for (const QString &step : steps.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
            if (step == QLatin1String("chord"))
                QTest::keyClick(b.form.get(), Qt::Key_K, Qt::ControlModifier);
            else if (step == QLatin1String("dbl"))
                QTest::mouseDClick(b.get<QWidget>("Image1"), Qt::LeftButton);
            else
                b.click("Command34");
        }
        QCOMPARE(b.form->outerHeightTwips(), height);
        QCOMPARE(b.form->height(), clientPixels(*b.form, height));
        QCOMPARE(b.form->ServiceViewOpen(), serviceView);
        auto *toggle = b.get<QPushButton>("Command34");
        QCOMPARE(toggle->isHidden(), caption.isEmpty());
        if (!caption.isEmpty())
            QCOMPARE(toggle->text(), caption);
    }

    void chordWorksFromTheTextField() {
        test::Bench b;
        auto *text = b.get<QLineEdit>("Text1");
        text->setFocus();
        QTest::keyClicks(text, QStringLiteral("ab"));
        QTest::keyClick(text, Qt::Key_K, Qt::ControlModifier);
        QCOMPARE(b.form->outerHeightTwips(), 7200);
        QCOMPARE(text->text(), QStringLiteral("ab")); // the K never reaches the field
        QCOMPARE(text->cursorPosition(), 2);          // nor does Ctrl+K's line editing
    }

    void chordNeedsCtrlAlone() {
        test::Bench b;
        auto *text = b.get<QLineEdit>("Text1");
        text->setFocus();
        for (Qt::KeyboardModifiers mods :
             {Qt::KeyboardModifiers(Qt::ControlModifier | Qt::ShiftModifier),
              Qt::KeyboardModifiers(Qt::ControlModifier | Qt::AltModifier),
              Qt::KeyboardModifiers(Qt::ShiftModifier), Qt::KeyboardModifiers(Qt::AltModifier),
              Qt::KeyboardModifiers(Qt::NoModifier)}) {
            QTest::keyClick(text, Qt::Key_K, mods);
            QTest::keyClick(b.form.get(), Qt::Key_K, mods);
            QCOMPARE(b.form->outerHeightTwips(), 5350);
            QVERIFY(!b.form->ServiceViewOpen());
        }
        QTest::keyClick(text, Qt::Key_J, Qt::ControlModifier);
        QCOMPARE(b.form->outerHeightTwips(), 5350);
    }

    void settingsFrameTimer() {
        test::Bench b;
        auto *frame = b.get<QWidget>("Frame8");
        b.click("Command33");
        QVERIFY(frame->isVisible());
        QVERIFY(b.form->Timer3().isActive());
        QCOMPARE(b.form->Timer3().interval(), 5000);
        // Drawn over the COM button.
        QCOMPARE(b.form->childAt(b.get<QWidget>("Command33")->geometry().center())->parentWidget() == frame ||
                     b.form->childAt(b.get<QWidget>("Command33")->geometry().center()) == frame,
                 true);
        b.form->Timer3_Timer();
        QVERIFY(frame->isHidden());
        QVERIFY(!b.form->Timer3().isActive());
        // A choice hides the frame at once and leaves the timer running.
        b.click("Command33");
        b.click("Option10");
        QVERIFY(frame->isHidden());
        QVERIFY(b.form->Timer3().isActive());
        // The toggle restarts the timer.
        QTest::keyClick(b.form.get(), Qt::Key_K, Qt::ControlModifier);
        b.form->Timer3().stop();
        b.click("Command34");
        QVERIFY(b.form->Timer3().isActive());
    }

    void speedChangeOnAnOpenPort() {
        test::Bench b;
        b.click("Command33");
        b.click("Option10");
        QCOMPARE(b.form->LineSettings(), QStringLiteral("9600,N,8,1"));
        QVERIFY(b.form->MSComm1().portOpen());
        QCOMPARE(outputSpeed(b.projector->devicePath()), speed_t(B9600));
        QVERIFY(b.get<QRadioButton>("Option1")->isChecked()); // the port group is separate
        b.click("Command33");
        b.click("Option9");
        QCOMPARE(outputSpeed(b.projector->devicePath()), speed_t(B19200));
    }

    void portChangeToAMissingDeviceAndBack() {
        test::Bench b;
        Form1 &f = *b.form;
        b.click("Command33");
        b.click("Option2");
        QMessageBox *box = portWarning(f);
        QVERIFY(box);
        QVERIFY(box->text().contains(QStringLiteral("/dev/kr7-test-no-such-port")));
        QCOMPARE(box->icon(), QMessageBox::Warning);
        QVERIFY(!f.MSComm1().portOpen());
        QCOMPARE(f.MSComm1().commPort(), 1);
        QVERIFY(b.get<QWidget>("Frame8")->isVisible());
        QVERIFY(b.get<QRadioButton>("Option2")->isChecked());
        QVERIFY(b.get<QRadioButton>("Option9")->isChecked());
        QVERIFY(f.windowTitle().contains(QStringLiteral("PORT CLOSED")));
        box->close();
        // Choosing the working port opens it: the frame hides only because it worked.
        b.click("Option1");
        QVERIFY(f.MSComm1().portOpen());
        QVERIFY(b.get<QWidget>("Frame8")->isHidden());
        QCOMPARE(f.windowTitle(), QStringLiteral("VANO   KR7    CONTROL   Ver.1.40"));
        QVERIFY(!portWarning(f) || !portWarning(f)->isVisible());
        b.projector->faults.noReply = true;
        b.click("Command17");
        QTRY_COMPARE(b.projector->received(), QByteArray("C00\r"));
    }

    void portChangeToAHeldDevice() {
        auto second = test::startSim();
        Holder holder(second->devicePath());
        test::Bench b(second->devicePath());
        b.click("Command33");
        b.click("Option2");
        QMessageBox *box = portWarning(*b.form);
        QVERIFY(box);
        QVERIFY(box->text().contains(second->devicePath()));
        QVERIFY(!b.form->MSComm1().portOpen());
        QCOMPARE(b.form->MSComm1().commPort(), 1);
        box->close();
    }

    void portChangeToAWorkingSecondPort() {
        auto second = test::startSim();
        test::Bench b(second->devicePath());
        b.click("Command33");
        b.click("Option2");
        QVERIFY(!portWarning(*b.form));
        QCOMPARE(b.form->MSComm1().commPort(), 2);
        QVERIFY(b.get<QWidget>("Frame8")->isHidden());
        b.click("Command17");
        QTRY_COMPARE(second->received(), QByteArray("C00\r"));
        QCOMPARE(b.projector->received(), QByteArray());
    }

    void endClosesThePortAndTheWindow() {
        test::Bench b;
        QVERIFY(b.form->isVisible());
        b.click("Command16");
        QVERIFY(!b.form->MSComm1().portOpen());
        QVERIFY(!b.form->isVisible());
    }

    void everyControlAsAScreenReaderMeetsIt() {
        test::Bench b;
        for (const Control &c : kControls) {
            QWidget *w = b.get<QWidget>(c.name.data());
            const QString name = q(c.name);
            QCOMPARE(w->parentWidget()->objectName(),
                     c.container.empty() ? QStringLiteral("Form1") : q(c.container));
            // Labels show line data: never as markup.
            if (auto *label = qobject_cast<QLabel *>(w); label && c.kind == Kind::Label) {
                QCOMPARE(label->textFormat(), Qt::PlainText);
                QCOMPARE(label->text(), q(c.caption));
            }
            if (c.kind == Kind::Button || c.kind == Kind::Option) {
                // What a screen reader says is the caption, and then what the control does.
                QAccessibleInterface *ai = QAccessible::queryAccessibleInterface(w);
                QVERIFY(ai);
                if (name != QLatin1String("Command34"))
                    QVERIFY2(ai->text(QAccessible::Name) == q(c.caption), qPrintable(name));
                QVERIFY2(!ai->text(QAccessible::Description).isEmpty(),
                         qPrintable(name + w->accessibleDescription()));
            }
        }
        for (const Line &l : kLines)
            QCOMPARE(b.get<QWidget>(l.name.data())->parentWidget(), b.form.get());
        // Every command button says what it sends; held buttons that they repeat; arrows their direction.
        for (const OneShot &row : kOneShots) {
            const QString about = b.get<QWidget>(row.name.data())->accessibleDescription();
            QVERIFY2(about.endsWith(QStringLiteral(": sends ") + q(row.code)), qPrintable(about));
        }
        const QHash<QString, QString> directions{{"↑", "up"}, {"↓", "down"}, {"←", "left"}, {"→", "right"}};
        for (const Repeat &row : kRepeats) {
            const QString about = b.get<QWidget>(row.name.data())->accessibleDescription();
            QVERIFY2(about.contains(QStringLiteral(": sends ") + q(row.code) +
                                    QStringLiteral(", repeats while held")),
                     qPrintable(about));
            const QString caption = q(findControl(row.name)->caption);
            if (directions.contains(caption))
                QVERIFY2(about.contains(QStringLiteral(" ") + directions[caption] + QStringLiteral(":")),
                         qPrintable(about));
        }
        QCOMPARE(b.get<QWidget>("Command17")->accessibleDescription(), QStringLiteral("POWER ON: sends C00"));
        QCOMPARE(b.get<QWidget>("Command59")->accessibleDescription(),
                 QStringLiteral("Lens shift up: sends C5D, repeats while held"));
        // The fonts render the Japanese captions with the IPA faces where the original faces are missing.
        QCOMPARE(QFontInfo(b.get<QWidget>("Label9")->font()).family(), QStringLiteral("IPAGothic"));
        QCOMPARE(QFontInfo(b.get<QWidget>("Command17")->font()).family(), QStringLiteral("IPAPGothic"));
    }

    // Tab walks the visible controls in reading order: frame by frame, each frame's controls as one run, rows
    // top to bottom and left to right inside each; Shift+Tab walks it backwards.
    void tabOrderFollowsTheReadingOrder_data() {
        QTest::addColumn<bool>("portFrame");
        QTest::newRow("port settings hidden") << false;
        QTest::newRow("port settings shown") << true;
    }
    void tabOrderFollowsTheReadingOrder() {
        QFETCH(bool, portFrame);
        test::Bench b;
        QTest::keyClick(b.form.get(), Qt::Key_K, Qt::ControlModifier);
        QTest::mouseDClick(b.get<QWidget>("Image1"), Qt::LeftButton);
        if (portFrame)
            b.click("Command33");
        QApplication::setActiveWindow(b.form.get());
        QWidget *start = b.get<QWidget>("Image1");
        start->setFocus();
        const auto walk = [&](Qt::KeyboardModifiers mods) {
            QStringList seen;
            for (int i = 0; i < 200; ++i) {
                QWidget *w = QApplication::focusWidget();
                if (i > 0 && w == start)
                    break;
                seen << w->objectName();
                QTest::keyClick(w, Qt::Key_Tab, mods);
            }
            return seen;
        };
        const QStringList forward = walk(Qt::NoModifier);
        QStringList backward = walk(Qt::ShiftModifier);
        std::reverse(backward.begin() + 1, backward.end());
        QCOMPARE(backward, forward);
        // Every visible control that takes the focus, once; hidden ones not at all; an option group at its
        // chosen option (the arrow keys choose within it).
        QStringList expected;
        for (const Control &c : kControls) {
            QWidget *w = b.get<QWidget>(c.name.data());
            auto *option = qobject_cast<QRadioButton *>(w);
            if (takesFocus(c) && w->isVisibleTo(b.form.get()) && (!option || option->isChecked()))
                expected << q(c.name);
        }
        QCOMPARE(QStringList(forward).size(), expected.size());
        QCOMPARE(QSet<QString>(forward.begin(), forward.end()),
                 QSet<QString>(expected.begin(), expected.end()));
        QCOMPARE(forward.contains(QStringLiteral("Option1")), portFrame);
        // Where two controls are met one after the other, the first comes first in reading order at the level
        // of the window or frame where their containers part: a higher row, or the same row further left.
        const auto chain = [](const Control *c) {
            QList<const Control *> path{c};
            while (!path.first()->container.empty())
                path.prepend(findControl(path.first()->container));
            return path;
        };
        QSet<QString> finished; // frames whose run has ended
        QString previousFrame;
        for (qsizetype i = 1; i < forward.size(); ++i) {
            const auto a = chain(findControl(forward[i - 1].toStdString())),
                       z = chain(findControl(forward[i].toStdString()));
            qsizetype level = 0;
            while (a[level] == z[level])
                ++level;
            const int rise = z[level]->top - a[level]->top;
            QVERIFY2(rise > kRowTolerance ||
                         (std::abs(rise) <= kRowTolerance && z[level]->left > a[level]->left),
                     qPrintable(forward[i - 1] + QStringLiteral(" before ") + forward[i]));
            // Each frame is visited as one run.
            for (qsizetype l = level; l < a.size() - 1; ++l)
                finished.insert(q(a[l]->name));
            for (const Control *c : z)
                QVERIFY2(!finished.contains(q(c->name)),
                         qPrintable(forward[i] + QStringLiteral(" after its frame")));
        }
    }

    void focusShowsOnEveryKindOfControl() {
        test::Bench b;
        QTest::keyClick(b.form.get(), Qt::Key_K, Qt::ControlModifier);
        QApplication::setActiveWindow(b.form.get());
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab); // the keyboard is in use from here on
        for (const char *name : {"Command17", "Command59", "Command6", "Command3", "Command44", "Command33",
                                 "Option3", "Image1"}) {
            QWidget *w = b.get<QWidget>(name);
            b.get<QWidget>("Command18")->setFocus();
            const QImage before = w->grab().toImage();
            w->setFocus(Qt::TabFocusReason); // the focus a keyboard user moves
            QVERIFY(w->hasFocus());
            QVERIFY2(w->grab().toImage() != before, name);
        }
    }

    void arrowKeysChooseWithinAGroup() {
        test::Bench b;
        QTest::keyClick(b.form.get(), Qt::Key_K, Qt::ControlModifier);
        QApplication::setActiveWindow(b.form.get());
        auto *single = b.get<QRadioButton>("Option3");
        single->setFocus();
        QTest::keyClick(single, Qt::Key_Right);
        QVERIFY(b.get<QRadioButton>("Option4")->isChecked());
        QCOMPARE(b.form->commands().AddressPrefix(), QStringLiteral("AFFF"));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Right);
        QCOMPARE(b.form->commands().AddressPrefix(), QStringLiteral("A001"));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Left);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Left);
        QCOMPARE(b.form->commands().AddressPrefix(), QString());
        b.click("Command33");
        auto *fast = b.get<QRadioButton>("Option9");
        fast->setFocus();
        QTest::keyClick(fast, Qt::Key_Right);
        QCOMPARE(b.form->MSComm1().settings(), QStringLiteral("9600,N,8,1"));
        QVERIFY(b.get<QRadioButton>("Option1")->isChecked()); // the port group is another group
    }

    void thePictureOpensTheFullViewFromTheKeyboard() {
        test::Bench b;
        QApplication::setActiveWindow(b.form.get());
        QCOMPARE(QApplication::focusWidget(), b.get<QWidget>("Command17")); // where the keyboard starts
        auto *picture = b.get<QWidget>("Image1");
        picture->setFocus();
        QTest::keyClick(picture, Qt::Key_Space);
        QCOMPARE(b.form->outerHeightTwips(), 5350); // not before the chord
        QTest::keyClick(picture, Qt::Key_K, Qt::ControlModifier);
        QTest::keyClick(picture, Qt::Key_Return);
        QCOMPARE(b.form->outerHeightTwips(), 9100);
    }

    void heldButtonEndsWhenTheViewChanges() {
        test::Bench b;
        b.projector->faults.noReply = true;
        QWidget *zoom = b.get<QWidget>("Command15");
        QTest::mousePress(zoom, Qt::LeftButton);
        QCOMPARE(b.form->commands().RepeatCode(), 7);
        QTest::keyClick(b.form.get(), Qt::Key_K, Qt::ControlModifier);
        QCOMPARE(b.form->commands().RepeatCode(), 0);
        QVERIFY(!b.form->commands().Timer1().isActive());
        QTest::mouseRelease(zoom, Qt::LeftButton);
        QCOMPARE(b.form->commands().RepeatCode(), 0);
    }
};

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
