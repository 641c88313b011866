#include "monitortext.h"
#include "statusdecoder.h"
#include "statustables.h"

#include <QTest>

#include <optional>

using kr7::decodeStatus;
using kr7::monitorText;

Q_DECLARE_METATYPE(std::optional<QString>)

namespace {
const QString CR = QStringLiteral("\r");
const std::optional<QString> kUnchanged;
std::optional<QString> text(const char *t) {
    return QString::fromUtf8(t);
}
} // namespace

class TestStatus : public QObject {
    Q_OBJECT
  private slots:
    // query code, reply bytes (raw, as received), expected status text
    void decoding_data() {
        QTest::addColumn<QString>("query");
        QTest::addColumn<QString>("reply");
        QTest::addColumn<std::optional<QString>>("expected");
        QTest::newRow("power on") << "CR0"
                                  << "00\r" << text(" Power ON");
        QTest::newRow("standby") << "CR0"
                                 << "80\r" << text(" Stand by");
        QTest::newRow("count down") << "CR0"
                                    << "40\r" << text(" Count down");
        QTest::newRow("no key input keeps its trailing blank") << "CR0"
                                                               << "02\r" << text(" NO Key input ");
        QTest::newRow("Tempereture as written")
            << "CR0"
            << "24" << text(" Lamp OFF & Tempereture Warning by PWR Management");
        QTest::newRow("recoverd as written") << "CR0"
                                             << "88" << text(" Temperature Warning and recoverd");
        QTest::newRow("sutandby as written") << "CR0"
                                             << "81" << text(" Cooling down & sutandby (All Lamp FAIL)");
        QTest::newRow("power code not in table") << "CR0"
                                                 << "99\r" << kUnchanged;
        QTest::newRow("power needs both characters") << "CR0"
                                                     << "0" << kUnchanged;
        QTest::newRow("ACK in front") << "CR0"
                                      << "\x06"
                                         "00\r"
                                      << kUnchanged;
        QTest::newRow("stale byte in front") << "CR0"
                                             << "700\r" << kUnchanged;
        QTest::newRow("input mode 1") << "CR1"
                                      << "1\r" << text(" Input mode 1");
        QTest::newRow("input mode reads the first character only") << "CR1"
                                                                   << "12" << text(" Input mode 1");
        QTest::newRow("input mode 5 unknown") << "CR1"
                                              << "5" << kUnchanged;
        QTest::newRow("orientation normal") << "CR4"
                                            << "11\r" << text(" Normally");
        QTest::newRow("orientation both reversed") << "CR4"
                                                   << "00" << text(" Top/Bottom , Left/Right reversal");
        QTest::newRow("mute off") << "CRA"
                                  << "00\r" << text(" Video & Audio mute OFF");
        QTest::newRow("no signal") << "CRA"
                                   << "80\r" << text(" No signal");
        QTest::newRow("signal standby FF") << "CRA"
                                           << "FF" << text(" Stand by");
        QTest::newRow("signal lower-case ff") << "CRA"
                                              << "ff" << kUnchanged;
        QTest::newRow("lamps 0F all on") << "CR7"
                                         << "0F\r" << text(" All ON  : 4 Lamp mode");
        QTest::newRow("lamps 2B") << "CR7"
                                  << "2B" << text(" No1,2,4 ON  : 2 Lamp mode(2,3)");
        QTest::newRow("lamps 10 all off") << "CR7"
                                          << "10" << text(" All OFF : 2 Lamp mode(1,4)");
        QTest::newRow("lamps lower-case 0f") << "CR7"
                                             << "0f" << kUnchanged;
        QTest::newRow("lamps mode 3 unknown") << "CR7"
                                              << "30" << kUnchanged;
        QTest::newRow("lamp hours short reply") << "CR3"
                                                << "12345\r" << text(" 1 2 3 4 5 CR  Hour Use");
        QTest::newRow("lamp hours four groups")
            << "CR3"
            << "1234 1234 1234 1234\r" << text(" 1 2 3 4   1 2 3 4   1 2 3 4   1 2 3 4 Hour Use");
        QTest::newRow("lamp hours empty reply") << "CR3"
                                                << "" << text("  Hour Use");
        QTest::newRow("temperatures full")
            << "CR6"
            << "123456789012\r" << text("  S1= 1 2 3 4 5 C  ,   S2=  8 9 0 1 C");
        QTest::newRow("temperatures short") << "CR6"
                                            << "25\r" << text("  S1= 2 5 CR  C  ,   S2=  C");
        QTest::newRow("temperatures reach position 15 exactly")
            << "CR6"
            << "1234567" << text("  S1= 1 2 3 4 5 C  ,   S2=   C");
        QTest::newRow("pc type copied") << "CR9"
                                        << "AB\r" << text(" A B CR ");
        QTest::newRow("pressure 512") << "CR PRESSURE"
                                      << "0512\r" << text("650 hPa");
        QTest::newRow("pressure of a bare CR") << "CR PRESSURE"
                                               << "\r" << text("106 hPa");
        QTest::newRow("allpfail is never decoded") << "CR ALLPFAIL"
                                                   << "0000\r" << kUnchanged;
        QTest::newRow("other command ACK") << "C00"
                                           << "\x06" << kUnchanged;
        QTest::newRow("lower-case query") << "cr0"
                                          << "00\r" << kUnchanged;
    }
    void decoding() {
        QFETCH(QString, query);
        QFETCH(QString, reply);
        QFETCH(std::optional<QString>, expected);
        const QString sendLine = query + CR;
        QCOMPARE(decodeStatus(sendLine, QString(), monitorText(reply)), expected);
        // The same with a unit address on both sides.
        QCOMPARE(decodeStatus(QStringLiteral("A003") + sendLine, QStringLiteral("A003"), monitorText(reply)),
                 expected);
    }

    void prefixChangedBeforeTheReply() {
        const QString rxd = monitorText(QStringLiteral("00\r"));
        QCOMPARE(decodeStatus(QStringLiteral("A001CR0\r"), QStringLiteral("A001"), rxd), text(" Power ON"));
        QCOMPARE(decodeStatus(QStringLiteral("A001CR0\r"), QStringLiteral("AFFF"), rxd), kUnchanged);
        QCOMPARE(decodeStatus(QStringLiteral("A001CR0\r"), QString(), rxd), kUnchanged);
        QCOMPARE(decodeStatus(QStringLiteral("CR0"), QString(), rxd), kUnchanged); // no carriage return
        QCOMPARE(decodeStatus(QStringLiteral("CR0\r\r"), QString(), rxd), kUnchanged);
    }

    void replyInPieces() {
        const QString sendLine = QStringLiteral("CR0\r");
        QCOMPARE(decodeStatus(sendLine, QString(), monitorText(QStringLiteral("0"))), kUnchanged);
        QCOMPARE(decodeStatus(sendLine, QString(), monitorText(QStringLiteral("00"))), text(" Power ON"));
    }

    void everyLampRowFollowsTheBitRule() {
        const char *modes[] = {" 4 Lamp mode", " 2 Lamp mode(1,4)", " 2 Lamp mode(2,3)"};
        for (int x = 0; x < 3; ++x) {
            for (int y = 0; y < 16; ++y) {
                QString lamps;
                if (y == 0) {
                    lamps = QStringLiteral("All OFF :");
                } else if (y == 15) {
                    lamps = QStringLiteral("All ON  :");
                } else {
                    QStringList on;
                    for (int bit = 0; bit < 4; ++bit)
                        if (y & (1 << bit))
                            on << QString::number(bit + 1);
                    lamps = QStringLiteral("No") + on.join(QLatin1Char(',')) + QStringLiteral(" ON  :");
                }
                const QString reply = QString::number(x) + QString::number(y, 16).toUpper();
                QCOMPARE(decodeStatus(QStringLiteral("CR7\r"), QString(), monitorText(reply)),
                         QStringLiteral(" ") + lamps + QString::fromLatin1(modes[x]));
            }
        }
    }

    void pressure_data() {
        QTest::addColumn<QString>("reply");
        QTest::addColumn<std::optional<QString>>("expected");
        QTest::newRow("0") << "0\r" << text("106 hPa");
        QTest::newRow("42") << "42\r" << text("150 hPa");
        QTest::newRow("512") << "512\r" << text("650 hPa");
        QTest::newRow("1023") << "1023\r" << text("1194 hPa");
        QTest::newRow("leading zeros and blanks") << " 0 512\r" << text("650 hPa");
        QTest::newRow("half rounds to even, down") << "42.5\r" << text("150 hPa"); // 42
        QTest::newRow("half rounds to even, up") << "43.5\r" << text("152 hPa");   // 44
        QTest::newRow("negative") << "-100\r" << text("-1 hPa");
        QTest::newRow("top of the range") << "6553\r" << text("7077 hPa");
        QTest::newRow("bottom of the range") << "-6553\r" << text("-6865 hPa");
        QTest::newRow("rounds into the range") << "6553.4\r" << text("7077 hPa");
        QTest::newRow("rounds out of the range") << "6553.5\r" << kUnchanged;
        QTest::newRow("just outside") << "6554\r" << kUnchanged;
        QTest::newRow("below") << "-6554\r" << kUnchanged;
        QTest::newRow("beyond 16 bits") << "99999\r" << kUnchanged;
        QTest::newRow("beyond a double") << QString(400, QChar('9')) << kUnchanged;
        QTest::newRow("no number") << "ABC\r" << text("106 hPa");
        QTest::newRow("sign alone") << "-\r" << text("106 hPa");
        QTest::newRow("second decimal point ends the number") << "1.5.5\r" << text("108 hPa");
    }
    void pressure() {
        QFETCH(QString, reply);
        QFETCH(std::optional<QString>, expected);
        QCOMPARE(decodeStatus(QStringLiteral("CR PRESSURE\r"), QString(), monitorText(reply)), expected);
    }

    void tablesHaveDistinctCodes() {
        using namespace kr7::status;
        const auto distinct = [](const auto &table) {
            for (size_t i = 0; i < table.size(); ++i)
                for (size_t j = i + 1; j < table.size(); ++j)
                    if (table[i].code == table[j].code)
                        return false;
            return true;
        };
        QVERIFY(distinct(kPowerStatus));
        QVERIFY(distinct(kInputMode));
        QVERIFY(distinct(kOrientation));
        QVERIFY(distinct(kMuteSignal));
        QVERIFY(distinct(kLamps));
    }
};

QTEST_APPLESS_MAIN(TestStatus)
#include "tst_status.moc"
