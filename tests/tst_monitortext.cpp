#include "monitortext.h"

#include <QTest>

using kr7::monitorText;

class TestMonitorText : public QObject {
    Q_OBJECT
  private slots:
    void rendering_data() {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("shown");
        const QChar cr(13), lf(10), ack(6), dc4(20), nul(0);
        QTest::newRow("empty line is one blank") << QString() << " ";
        QTest::newRow("C00 with carriage return") << QString("C00") + cr << " C 0 0 CR ";
        QTest::newRow("addressed C00") << QString("A001C00") + cr << " A 0 0 1 C 0 0 CR ";
        QTest::newRow("reply 00 CR") << QString("00") + cr << " 0 0 CR ";
        QTest::newRow("lone ACK") << QString(ack) << " ACK ";
        QTest::newRow("ACK CR") << QString(ack) + cr << " ACK CR ";
        QTest::newRow("space shows as two blanks") << QString("A B") << " A   B ";
        QTest::newRow("DC4 has no blank after it") << QString(dc4) + "1"
                                                   << " &1 ";
        QTest::newRow("LF CR") << QString(lf) + cr << " LF CR ";
        QTest::newRow("NUL") << QString(nul) << " ? ";
        QTest::newRow("other control code") << QString(QChar(27)) << " ? ";
        QTest::newRow("space and z are printable") << QString(" z") << "   z ";
        QTest::newRow("braces bar tilde DEL") << QString("{|}~") + QChar(127) << " ? ? ? ? ? ";
        QTest::newRow("bytes above 127") << QString(QChar(128)) + QChar(255) << " ? ? ";
        QTest::newRow("outside Latin-1") << QString(QChar(0x3042)) << " ? ";
    }
    void rendering() {
        QFETCH(QString, line);
        QFETCH(QString, shown);
        QCOMPARE(monitorText(line), shown);
    }

    void longLinesRenderTheirFirst32767Characters() {
        const QString longest(32767, QChar('A'));
        QCOMPARE(monitorText(longest).size(), 1 + 2 * 32767);
        const QString tooLong(40000, QChar('A'));
        QCOMPARE(monitorText(tooLong), monitorText(longest));
    }

    // The link extends and cuts the rendering token by token; that must equal rendering the whole line.
    void tokensAddUpToTheRendering() {
        QString line;
        for (int c = 0; c < 256; ++c)
            line.append(QChar(c));
        QString built = QStringLiteral(" ");
        kr7::appendMonitorTokens(built, line);
        QCOMPARE(built, monitorText(line));
        qsizetype firstTen = 0;
        for (int c = 0; c < 10; ++c)
            firstTen += kr7::monitorToken(QChar(c)).size();
        built.remove(1, firstTen);
        QCOMPARE(built, monitorText(line.mid(10)));
    }
};

QTEST_APPLESS_MAIN(TestMonitorText)
#include "tst_monitortext.moc"
