// The link against a real pseudo-terminal: bytes on the wire, the reply window, the monitor fields and
// the failures of the line.
#include "link.h"
#include "monitortext.h"
#include "support.h"

#include <QRandomGenerator>
#include <QSignalSpy>

using namespace kr7;

class TestLink : public QObject {
    Q_OBJECT

    std::unique_ptr<sim::ProjectorSim> projector;
    std::unique_ptr<SerialLine> serial;
    std::unique_ptr<Link> link;
    QString prefix;

  private slots:
    void init() {
        projector = test::startSim();
        projector->faults.noReply = true; // the tests write the replies themselves
        serial = std::make_unique<SerialLine>(PortMap{projector->devicePath(), QString()});
        link = std::make_unique<Link>(*serial);
        prefix.clear();
        link->setPrefixSource([this] { return prefix; });
        QCOMPARE(serial->setPortOpen(true), SerialLine::OpenResult::Open);
    }
    void cleanup() {
        link.reset();
        serial.reset();
        projector.reset();
    }

    void transmissionPutsExactlyTheLineOnTheWire() {
        link->send(QStringLiteral("A001C00\r"));
        QCOMPARE(link->txd(), QStringLiteral(" A 0 0 1 C 0 0 CR "));
        QVERIFY(link->Timer2().isActive());
        QVERIFY(link->Timer4().isActive());
        QVERIFY(link->ReplyPending());
        QCOMPARE(link->rxd().toString(), QString()); // the RXD field is left alone
        QTRY_COMPARE(projector->received(), QByteArray("A001C00\r"));
        link->send(QStringLiteral("CR PRESSURE\r"));
        QTRY_COMPARE(projector->received(), QByteArray("A001C00\rCR PRESSURE\r"));
    }

    void replyIsShownAndDecoded() {
        link->send(QStringLiteral("CR0\r"));
        projector->write("00\r");
        QTRY_COMPARE(link->rxd().toString(), QStringLiteral(" 0 0 CR "));
        QCOMPARE(link->status(), QStringLiteral(" Power ON"));
        QVERIFY(!link->ReplyPending());
        QVERIFY(link->Timer2().isActive()); // the reply window stays open until it expires
    }

    void replyInSeveralReadsIsDecodedEachTime() {
        link->send(QStringLiteral("CR0\r"));
        QSignalSpy rxd(link.get(), &Link::rxdChanged);
        projector->write("0");
        QTRY_COMPARE(link->rxd().toString(), QStringLiteral(" 0 "));
        QCOMPARE(link->status(), QString());
        projector->write("0");
        QTRY_COMPARE(link->rxd().toString(), QStringLiteral(" 0 0 "));
        QCOMPARE(link->status(), QStringLiteral(" Power ON"));
        projector->write("\r");
        QTRY_COMPARE(link->rxd().toString(), QStringLiteral(" 0 0 CR "));
        QCOMPARE(rxd.size(), 3);
    }

    void missingReplyIsMarked() {
        link->send(QStringLiteral("C00\r"));
        link->Timer2_Timer();
        QCOMPARE(link->rxd().toString(), Link::kNoReplyMarker);
        QVERIFY(!link->Timer2().isActive());
        QVERIFY(!link->ReplyPending());
        // The marker stays until the display-clear timer empties all three fields.
        link->Timer4_Timer();
        QCOMPARE(link->rxd().toString(), QString());
        QCOMPARE(link->txd(), QString());
        QVERIFY(!link->Timer4().isActive());
    }

    void markerAndClearInRealTime() {
        link->setSendIntervals(60, 150);
        link->send(QStringLiteral("C00\r"));
        QTRY_COMPARE_WITH_TIMEOUT(link->rxd().toString(), Link::kNoReplyMarker, 2000);
        QCOMPARE(link->txd(), QStringLiteral(" C 0 0 CR "));
        QTRY_COMPARE_WITH_TIMEOUT(link->txd(), QString(), 2000);
        QCOMPARE(link->rxd().toString(), QString());
    }

    void noMarkerOnceSomethingCame() {
        link->send(QStringLiteral("C00\r"));
        projector->write("?");
        QTRY_COMPARE(link->rxd().toString(), QStringLiteral(" ? "));
        link->Timer2_Timer();
        QCOMPARE(link->rxd().toString(), QStringLiteral(" ? "));
        QCOMPARE(link->ReceiveBuffer(), QString());
    }

    void lateReplyReplacesTheMarker() {
        link->send(QStringLiteral("CR0\r"));
        link->Timer2_Timer();
        QCOMPARE(link->rxd().toString(), Link::kNoReplyMarker);
        projector->write("00\r");
        QTRY_COMPARE(link->rxd().toString(), QStringLiteral(" 0 0 CR "));
        QCOMPARE(link->status(), QStringLiteral(" Power ON")); // still read as the answer to CR0
    }

    void unaskedCharactersAccumulate() {
        projector->write("1");
        QTRY_COMPARE(link->rxd().toString(), QStringLiteral(" 1 "));
        projector->write("2\x06");
        QTRY_COMPARE(link->rxd().toString(), QStringLiteral(" 1 2 ACK "));
        link->Timer4_Timer(); // clearing the display keeps the buffer
        QCOMPARE(link->ReceiveBuffer(), QStringLiteral("12\x06"));
        projector->write("3");
        QTRY_COMPARE(link->rxd().toString(), QStringLiteral(" 1 2 ACK 3 "));
    }

    void closeExchangeEndsTheWindowWithoutMarker() {
        link->send(QStringLiteral("C47\r"));
        projector->write("\x06");
        QTRY_COMPARE(link->rxd().toString(), QStringLiteral(" ACK "));
        link->closeExchange();
        link->emptyReceiveBuffer();
        QVERIFY(!link->Timer2().isActive());
        QVERIFY(link->Timer4().isActive());
        QCOMPARE(link->txd(), QString());
        QCOMPARE(link->rxd().toString(), QString());
        QCOMPARE(link->ReceiveBuffer(), QString());
    }

    void sendOnAClosedPortWritesNothingAndSaysSo() {
        serial->setPortOpen(false);
        QSignalSpy txd(link.get(), &Link::txdChanged);
        for (int i = 0; i < 20; ++i) // a held button: no dialog, one notice per line
            link->send(QStringLiteral("C47\r"));
        QVERIFY(link->txd().startsWith(QStringLiteral(" NOT SENT: port closed")));
        QCOMPARE(link->refusedLines(), 20);
        QVERIFY(!link->ReplyPending());
        QVERIFY(!link->Timer2().isActive());
        QVERIFY(link->Timer4().isActive()); // the notice clears like any exchange
        // Nothing was queued for later either: reopened, the line carries only what is sent now.
        QCOMPARE(serial->setPortOpen(true), SerialLine::OpenResult::Open);
        serial->output("SYNC\r");
        QTRY_COMPARE(projector->received(), QByteArray("SYNC\r"));
    }

    void vanishedDeviceClosesOnceWithoutAStorm_data() {
        QTest::addColumn<bool>("reopen");
        QTest::addColumn<SerialLine::State>("after");
        QTest::addColumn<QString>("notice");
        QTest::newRow("waits for it") << true << SerialLine::State::Waiting << " PORT LOST: ";
        QTest::newRow("stays closed") << false << SerialLine::State::Closed << " PORT CLOSED: ";
    }
    void vanishedDeviceClosesOnceWithoutAStorm() {
        QFETCH(bool, reopen);
        QFETCH(SerialLine::State, after);
        QFETCH(QString, notice);
        serial->setReopenWhenBack(reopen);
        QSignalSpy lost(serial.get(), &SerialLine::portLost);
        link->send(QStringLiteral("C00\r"));
        QTRY_COMPARE(projector->received(), QByteArray("C00\r"));
        projector->hangUp();
        QTRY_COMPARE(serial->state(), after);
        QCOMPARE(lost.size(), 1);
        QVERIFY(link->rxd().startsWith(notice));
        QVERIFY(link->rxd().contains(projector->devicePath()));
        QVERIFY(!link->Timer4().isActive()); // the notice stays until the operator acts
        const int errors = serial->errorCount();
        QVERIFY2(errors < 50, qPrintable(QString::number(errors)));
        QTest::qWait(200); // watch for a while: a closed port must not keep reporting
        QCOMPARE(serial->errorCount(), errors);
        QCOMPARE(lost.size(), 1);
        link->send(QStringLiteral("C00\r"));
        QVERIFY(link->txd().startsWith(QStringLiteral(" NOT SENT")));
    }

    void floodOfRandomBytesKeepsTheNewest() {
        QByteArray flood(1 << 20, '\0');
        QRandomGenerator rng(7);
        for (char &c : flood)
            c = char(rng.bounded(256));
        flood.append("\x01END");
        projector->write(flood);
        QTRY_VERIFY_WITH_TIMEOUT(link->ReceiveBuffer().endsWith(QStringLiteral("\x01END")), 30000);
        const qsizetype kept = link->ReceiveBuffer().size();
        QVERIFY2(kept >= Link::kReceiveBufferKept && kept <= Link::kReceiveBufferMax,
                 qPrintable(QString::number(kept)));
        QCOMPARE(link->ReceiveBuffer(), QString::fromLatin1(flood.right(kept)));
        QCOMPARE(link->rxd().toString(), monitorText(link->ReceiveBuffer()));
    }

    void writeQueueIsBounded() {
        projector->setReading(false);
        const QString line = QString(400, QChar('X')) + QLatin1Char('\r');
        qint64 worst = 0;
        for (int i = 0; i < 1000 && link->refusedLines() == 0; ++i) {
            link->send(line);
            worst = std::max(worst, serial->pendingOutput());
            QCoreApplication::processEvents(); // lets QSerialPort hand its buffer to the driver
        }
        QVERIFY(link->refusedLines() > 0);
        QVERIFY(link->txd().contains(QStringLiteral("waiting to go out")));
        QVERIFY(worst <= Link::kMaxQueuedBytes);
        QVERIFY(link->linePending());
    }
};

QTEST_GUILESS_MAIN(TestLink)
#include "tst_link.moc"
