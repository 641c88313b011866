// The panel on lines behind a real gateway (Debian's ser2net, started here on 127.0.0.1) and on lines that go
// away and come back: queries and decoding, speed changes reaching the device, 0xFF both ways, a gateway
// killed and restarted, a symlinked device that vanishes and returns, a refused connection.
#include "ser2net.h"
#include "support.h"

#include <QDir>
#include <QLineEdit>
#include <QMessageBox>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

using namespace kr7;

namespace {
speed_t outputSpeed(const QString &device) {
    const int fd = ::open(device.toLocal8Bit().constData(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    termios t{};
    ::tcgetattr(fd, &t);
    ::close(fd);
    return ::cfgetospeed(&t);
}

int openDescriptors() {
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size());
}

// The simulated projector behind ser2net, and the panel on one of the gateway's ports.
struct Hall {
    std::unique_ptr<sim::ProjectorSim> projector = test::startSim();
    peers::Ser2net gateway;
    std::unique_ptr<Form1> form;

    explicit Hall(QString connectorSettings = QStringLiteral("19200n81"))
        : gateway(projector->devicePath(), std::move(connectorSettings)) {
        if (!gateway.start())
            qFatal("ser2net: %s", qPrintable(gateway.errorString()));
    }
    // Opens the panel on the port; false if it did not open within 5 s.
    bool open(const QString &port) {
        form = std::make_unique<Form1>(PortMap{port, QStringLiteral("/dev/kr7-test-no-such-port")});
        if (form->Form_Load())
            return false;
        form->show();
        QTest::keyClick(form.get(), Qt::Key_K, Qt::ControlModifier);
        return QTest::qWaitFor([this] { return form->MSComm1().portOpen(); }, 5000);
    }
    QString rxd() const { return form->link().rxd().toString(); }
    QString status() const { return form->link().status(); }
    void click(const char *name) {
        auto *w = form->findChild<QWidget *>(QString::fromLatin1(name));
        QTest::mouseClick(w, Qt::LeftButton, Qt::NoModifier, w->rect().center());
    }
};
} // namespace

class TestNetwork : public QObject {
    Q_OBJECT
  private slots:
    void queryThroughTheGateway_data() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("raw") << "raw";
        QTest::newRow("rfc2217") << "rfc2217";
    }
    void queryThroughTheGateway() {
        QFETCH(QString, kind);
        Hall h;
        QVERIFY(h.open(kind == QLatin1String("raw") ? h.gateway.raw() : h.gateway.rfc2217()));
        h.click("Option5"); // 001
        h.click("Command44");
        QTRY_COMPARE(h.status(), QStringLiteral(" Stand by"));
        QCOMPARE(h.form->link().txd(), QStringLiteral(" A 0 0 1 C R 0 CR "));
        QCOMPARE(h.rxd(), QStringLiteral(" 8 0 CR "));
        QCOMPARE(h.projector->lines(), QList<QByteArray>{"A001CR0"});
        // The no-reply marker, as on a local line.
        h.projector->faults.noReply = true;
        h.click("Command17");
        h.form->link().Timer2_Timer();
        QCOMPARE(h.rxd(), Link::kNoReplyMarker);
        // Bytes still in the socket count as waiting: a repeat tick then sends nothing.
        h.form->MSComm1().output("SYNC\r");
        QVERIFY(h.form->link().linePending());
        QTRY_VERIFY(!h.form->link().linePending());
    }

    void speedReachesTheDeviceBehindTheGateway() {
        Hall h(QStringLiteral("9600n81")); // the gateway's own setting differs from the panel's
        QVERIFY(h.open(h.gateway.rfc2217()));
        QTRY_COMPARE(outputSpeed(h.projector->devicePath()), speed_t(B19200));
        h.click("Command33");
        h.click("Option10");
        QTRY_COMPARE(outputSpeed(h.projector->devicePath()), speed_t(B9600));
        h.click("Command33");
        h.click("Option9");
        QTRY_COMPARE(outputSpeed(h.projector->devicePath()), speed_t(B19200));
        QVERIFY2(!h.rxd().contains(QStringLiteral("NOTICE")),
                 qPrintable(h.rxd())); // every answer was as asked
    }

    void byte0xFFBothWays_data() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("raw") << "raw";
        QTest::newRow("rfc2217") << "rfc2217";
    }
    void byte0xFFBothWays() {
        QFETCH(QString, kind);
        Hall h;
        QVERIFY(h.open(kind == QLatin1String("raw") ? h.gateway.raw() : h.gateway.rfc2217()));
        h.projector->faults.noReply = true;
        QTest::mouseDClick(h.form->findChild<QWidget *>(QStringLiteral("Image1")), Qt::LeftButton);
        h.form->findChild<QLineEdit *>(QStringLiteral("Text1"))->setText(QString(QChar(0xFF)) + QChar(0xFF));
        h.click("Command95");
        QTRY_COMPARE(h.projector->received(), QByteArray("\xFF\xFF\r"));
        h.projector->write("\xFF\xFF"
                           "A\xFF");
        QTRY_COMPARE(h.form->link().ReceiveBuffer(), QString::fromLatin1("\xFF\xFF"
                                                                         "A\xFF"));
        QCOMPARE(h.rxd(), QStringLiteral(" ? ? A ? "));
    }

    void gatewayWithoutRfc2217IsSaidOnceAndWorksRaw() {
        Hall h;
        QVERIFY(h.open(h.gateway.telnetOnly()));
        QTRY_VERIFY(h.rxd().startsWith(QStringLiteral(" PORT NOTICE: ")));
        QVERIFY(h.rxd().contains(QStringLiteral("COM-PORT-OPTION")));
        h.click("Command44");
        QTRY_COMPARE(h.status(), QStringLiteral(" Stand by"));
    }

    void gatewayKilledAndRestarted_data() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("raw") << "raw";
        QTest::newRow("rfc2217") << "rfc2217";
    }
    void gatewayKilledAndRestarted() {
        QFETCH(QString, kind);
        Hall h;
        QVERIFY(h.open(kind == QLatin1String("raw") ? h.gateway.raw() : h.gateway.rfc2217()));
        QSignalSpy lost(&h.form->MSComm1(), &SerialLine::portLost);
        QSignalSpy back(&h.form->MSComm1(), &SerialLine::portBack);
        h.gateway.kill();
        QTRY_COMPARE(h.form->MSComm1().state(), SerialLine::State::Waiting);
        QCOMPARE(lost.size(), 1);
        QVERIFY(h.rxd().startsWith(QStringLiteral(" PORT LOST: ")));
        QVERIFY(h.form->windowTitle().contains(QStringLiteral("WAITING")));
        h.click("Command44"); // not sent while waiting
        QVERIFY(h.form->link().txd().startsWith(QStringLiteral(" NOT SENT: port lost")));
        QVERIFY(h.gateway.start());
        QTRY_VERIFY_WITH_TIMEOUT(h.form->MSComm1().portOpen(), 10000);
        QCOMPARE(back.size(), 1);
        QCOMPARE(lost.size(), 1);
        QVERIFY(h.rxd().startsWith(QStringLiteral(" PORT BACK: ")));
        QVERIFY(h.form->windowTitle().contains(QStringLiteral("PORT BACK")));
        h.click("Command44");
        QTRY_COMPARE(h.status(), QStringLiteral(" Stand by"));
    }

    void symlinkedDeviceVanishesAndReturns() {
        QTemporaryDir dir;
        const QString link = dir.filePath(QStringLiteral("projector"));
        auto first = test::startSim();
        QVERIFY(QFile::link(first->devicePath(), link));
        Form1 form(PortMap{link, QString()});
        QVERIFY(!form.Form_Load());
        first->hangUp();
        QVERIFY(QFile::remove(link));
        QTRY_COMPARE(form.MSComm1().state(), SerialLine::State::Waiting);
        form.MSComm1().retryNow(); // the device is not there: still waiting
        QCOMPARE(form.MSComm1().state(), SerialLine::State::Waiting);
        auto second = test::startSim();
        second->faults.noReply = true;
        QVERIFY(QFile::link(second->devicePath(), link));
        QTRY_VERIFY(form.MSComm1().portOpen()); // looked for every half second
        QCOMPARE(form.MSComm1().settings(), QStringLiteral("19200,N,8,1"));
        form.link().send(QStringLiteral("C00\r"));
        QTRY_COMPARE(second->received(), QByteArray("C00\r"));
    }

    void choosingAPortEndsTheWaiting() {
        test::Bench b;
        b.projector->hangUp();
        QTRY_COMPARE(b.form->MSComm1().state(), SerialLine::State::Waiting);
        QVERIFY(b.form->MSComm1().retryTimer().isActive());
        b.click("Command33");
        b.click("Option2"); // a device that is not there: a warning, and no more waiting for COM1
        QVERIFY(b.form->findChild<QMessageBox *>(QStringLiteral("portWarning")));
        QCOMPARE(b.form->MSComm1().state(), SerialLine::State::Closed);
        QVERIFY(!b.form->MSComm1().retryTimer().isActive());
        QVERIFY(b.form->windowTitle().endsWith(QStringLiteral("PORT CLOSED")));
    }

    void refusedAtStartAndOnAChange() {
        const quint16 closed = peers::Ser2net::freePort();
        const QString name = QStringLiteral("tcp://127.0.0.1:%1").arg(closed);
        {
            Form1 form(PortMap{name, QString()});
            QSignalSpy failed(&form, &Form1::startFailed);
            QVERIFY(!form.Form_Load()); // connecting: the window is not held up
            QVERIFY(form.windowTitle().contains(QStringLiteral("CONNECTING")));
            QVERIFY(failed.wait(5000));
            const QString error = failed.first().first().toString();
            QVERIFY2(error.contains(QStringLiteral("127.0.0.1:%1").arg(closed)), qPrintable(error));
            QVERIFY2(error.contains(QStringLiteral("refused")), qPrintable(error));
        }
        test::Bench b(name);
        b.click("Command33");
        b.click("Option2");
        QTRY_VERIFY(b.form->findChild<QMessageBox *>(QStringLiteral("portWarning")));
        QCOMPARE(b.form->MSComm1().commPort(), 1);
        QVERIFY(b.get<QWidget>("Frame8")->isVisible());
        // A malformed name is refused before anything is tried, and quoted.
        Form1 bad(PortMap{QStringLiteral("tcp://gw"), QString()});
        const std::optional<QString> error = bad.Form_Load();
        QVERIFY(error && error->contains(QStringLiteral("'tcp://gw'")));
    }

    // A hundred losses and returns leave the descriptors where they were.
    void hundredLossesLeakNothing_data() {
        QTest::addColumn<bool>("network");
        QTest::newRow("device") << false;
        QTest::newRow("tcp") << true;
    }
    void hundredLossesLeakNothing() {
        QFETCH(bool, network);
        QTemporaryDir dir;
        const QString link = dir.filePath(QStringLiteral("projector"));
        QTcpServer server;
        QList<QTcpSocket *> accepted;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        connect(&server, &QTcpServer::newConnection, &server,
                [&] { accepted << server.nextPendingConnection(); });
        auto projector = test::startSim();
        QVERIFY(QFile::link(projector->devicePath(), link));
        const QString name = network ? QStringLiteral("tcp://127.0.0.1:%1").arg(server.serverPort()) : link;
        SerialLine line(PortMap{name, QString()});
        QSignalSpy back(&line, &SerialLine::portBack);
        line.setPortOpen(true);
        QTRY_VERIFY(line.portOpen());
        int before = 0;
        for (int i = 0; i <= 100; ++i) {
            if (i == 1)
                before = openDescriptors(); // after the first cycle has made what is kept
            if (network) {
                QTRY_COMPARE(accepted.size(), 1);
                delete accepted.takeFirst(); // the gateway drops the connection
            } else {
                projector.reset(); // the adapter is pulled...
                projector = test::startSim();
                QFile::remove(link);
                QVERIFY(QFile::link(projector->devicePath(), link)); // ...and comes back
            }
            QTRY_COMPARE(line.state(), SerialLine::State::Waiting);
            line.retryNow();
            QTRY_VERIFY(line.portOpen());
        }
        QCOMPARE(back.size(), 101);
        QCOMPARE(openDescriptors(), before);
    }
};

QTEST_MAIN(TestNetwork)
#include "tst_network.moc"
