// What a port name means, and the Telnet/RFC 2217 client fed with a real gateway's bytes split every way.
#include "portname.h"
#include "telnetclient.h"

#include <QTest>

using namespace kr7;

namespace {
using T = TelnetClient;
QByteArray bytes(std::initializer_list<int> values) {
    QByteArray out;
    for (int v : values)
        out.append(char(v));
    return out;
}
// What ser2net 4.3 says right after accepting a telnet(rfc2217) connection.
const QByteArray kGreeting =
    bytes({255, 251, 3, 255, 253, 3, 255, 251, 1, 255, 254, 1, 255, 253, 0, 255, 251, 0, 255, 253, 44});
QByteArray sub(std::initializer_list<int> payload) {
    return bytes({255, 250, 44}) + bytes(payload) + bytes({255, 240});
}
// The server's answers to the five settings, as ser2net gives them for 19200 8N1 without flow control.
const QByteArray kAnswers19200 =
    sub({101, 0, 0, 0x4B, 0}) + sub({102, 8}) + sub({103, 1}) + sub({104, 1}) + sub({105, 1});

// Feeds the bytes to a fresh client in pieces of the given sizes (cycled), and gathers what comes out.
T::Read feed(T &client, const QByteArray &in, QList<int> pieces) {
    T::Read all;
    qsizetype at = 0;
    for (int i = 0; at < in.size(); ++i) {
        const qsizetype n = std::min<qsizetype>(pieces[i % pieces.size()], in.size() - at);
        T::Read r = client.receive(QByteArrayView(in).sliced(at, n));
        all.data += r.data;
        all.reply += r.reply;
        all.agreedNow |= r.agreedNow;
        all.refusedNow |= r.refusedNow;
        all.notices += r.notices;
        at += n;
    }
    return all;
}
} // namespace

class TestWire : public QObject {
    Q_OBJECT
  private slots:
    void portNames_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("kind"); // -1: malformed
        QTest::addColumn<QString>(
            "where"); // device, or host:port; for a malformed name a piece of the message
        QTest::newRow("device") << "/dev/ttyUSB0" << int(PortName::Kind::Device) << "/dev/ttyUSB0";
        QTest::newRow("by-id") << "/dev/serial/by-id/usb-FTDI_FT232R-if00-port0"
                               << int(PortName::Kind::Device)
                               << "/dev/serial/by-id/usb-FTDI_FT232R-if00-port0";
        QTest::newRow("windows name") << "COM3" << int(PortName::Kind::Device) << "COM3";
        QTest::newRow("raw, address")
            << "tcp://192.168.1.20:4001" << int(PortName::Kind::Tcp) << "192.168.1.20:4001";
        QTest::newRow("raw, name") << "tcp://hall-b-gw.local:23" << int(PortName::Kind::Tcp)
                                   << "hall-b-gw.local:23";
        QTest::newRow("rfc2217, IPv6")
            << "rfc2217://[fe80::1]:2217" << int(PortName::Kind::Rfc2217) << "[fe80::1]:2217";
        QTest::newRow("trailing slash") << "tcp://gw:4001/" << int(PortName::Kind::Tcp) << "gw:4001";
        QTest::newRow("empty") << "" << -1 << "empty";
        QTest::newRow("no port") << "tcp://gw" << -1 << "no port";
        QTest::newRow("empty port") << "tcp://gw:" << -1 << "no port";
        QTest::newRow("port 0") << "tcp://gw:0" << -1 << "out of range";
        QTest::newRow("port too big") << "rfc2217://gw:65536" << -1 << "out of range";
        QTest::newRow("port far too big") << "tcp://gw:99999999999999999999" << -1 << "out of range";
        QTest::newRow("port not a number") << "tcp://gw:telnet" << -1 << "not a number";
        QTest::newRow("signed port") << "tcp://gw:+23" << -1 << "not a number";
        QTest::newRow("unknown scheme") << "telnet://gw:23" << -1 << "unknown scheme 'telnet'";
        QTest::newRow("no host") << "tcp://:4001" << -1 << "no host";
        QTest::newRow("bare IPv6") << "tcp://fe80::1:4001" << -1 << "brackets";
        QTest::newRow("unclosed bracket") << "tcp://[fe80::1:4001" << -1 << "closing";
        QTest::newRow("IPv4 in brackets") << "tcp://[10.0.0.1]:4001" << -1 << "not an IPv6";
        QTest::newRow("blank in host") << "tcp://gw 2:4001" << -1 << "not a host";
    }
    void portNames() {
        QFETCH(QString, text);
        QFETCH(int, kind);
        QFETCH(QString, where);
        const auto parsed = parsePortName(text);
        if (kind < 0) {
            const QString *error = std::get_if<QString>(&parsed);
            QVERIFY(error);
            QVERIFY2(error->contains(QLatin1Char('\'') + text + QLatin1Char('\'')), qPrintable(*error));
            QVERIFY2(error->contains(where), qPrintable(*error));
            return;
        }
        const PortName *name = std::get_if<PortName>(&parsed);
        QVERIFY(name);
        QCOMPARE(int(name->kind), kind);
        QCOMPARE(name->isNetwork() ? name->endpoint() : name->device, where);
    }

    // The same bytes give the same result however the reads cut them.
    void negotiationWhateverTheSplit_data() {
        QTest::addColumn<QList<int>>("pieces");
        QTest::newRow("whole") << QList<int>{1 << 20};
        QTest::newRow("byte by byte") << QList<int>{1};
        QTest::newRow("twos") << QList<int>{2};
        QTest::newRow("uneven") << QList<int>{3, 1, 5, 2};
        QTest::newRow("sevens") << QList<int>{7};
    }
    void negotiationWhateverTheSplit() {
        QFETCH(QList<int>, pieces);
        T client(19200);
        QCOMPARE(client.greeting(), bytes({255, 251, 44, 255, 251, 0, 255, 253, 0}));
        // Greeting, a modem-state notice, the answers, data with a doubled 0xFF and an IAC NOP in it.
        const QByteArray data = bytes({'0', '0', 255, 255, '\r', 255, 241, 6});
        const T::Read r = feed(client, kGreeting + sub({107, 0}) + kAnswers19200 + data, pieces);
        QCOMPARE(r.data, bytes({'0', '0', 255, '\r', 6}));
        // Agree to suppress-go-ahead, refuse echo; the server's requests for what we offered need no answer.
        QVERIFY(r.reply.startsWith(bytes({255, 253, 3, 255, 251, 3, 255, 254, 1})));
        QVERIFY(r.agreedNow);
        QVERIFY(!r.refusedNow);
        QCOMPARE(client.comPort(), T::ComPort::Agreed);
        // Then the line is set: 19200 bit/s, 8 data bits, no parity, one stop bit, no flow control.
        QVERIFY(r.reply.endsWith(sub({1, 0, 0, 0x4B, 0}) + sub({2, 8}) + sub({3, 1}) + sub({4, 1}) +
                                 sub({5, 1})));
        QCOMPARE(r.notices, QStringList());
    }

    void speedAnswersAreChecked() {
        T client(19200);
        client.greeting();
        feed(client, kGreeting, {64});
        // 9600 = 0x2580; 19200 with a 0xFF byte would be doubled in the value.
        QCOMPARE(client.setBaud(9600),
                 sub({1, 0, 0, 0x25, 0x80}) + sub({2, 8}) + sub({3, 1}) + sub({4, 1}) + sub({5, 1}));
        // Answers come in the order asked: the first five answer the settings made on agreement.
        QCOMPARE(feed(client, kAnswers19200, {1}).notices, QStringList());
        const T::Read r = feed(
            client, sub({101, 0, 0, 0x4B, 0}) + sub({102, 7}) + sub({103, 3}) + sub({104, 1}) + sub({105, 3}),
            {1});
        QCOMPARE(r.notices.size(), 4);
        QVERIFY(r.notices[0].contains(QStringLiteral("19200 bit/s, not 9600")));
        QVERIFY(r.notices[1].contains(QStringLiteral("7 data bits")));
        QVERIFY(r.notices[2].contains(QStringLiteral("even")));
        // Answers nobody asked for say nothing.
        QCOMPARE(feed(client, sub({101, 0, 0, 0, 1}), {1}).notices, QStringList());
        // A speed of 0xFF..: the value byte is doubled on the wire.
        QCOMPARE(client.setBaud(0x0100FF00).left(9), bytes({255, 250, 44, 1, 1, 0, 255, 255, 0}));
    }

    void refusalIsSaidOnceAndTheLineGoesOnRaw() {
        T client(19200);
        client.greeting();
        const T::Read r = feed(client, bytes({255, 254, 44, 255, 254, 44, 'o', 'k'}), {1});
        QVERIFY(r.refusedNow);
        QCOMPARE(client.comPort(), T::ComPort::Refused);
        QCOMPARE(r.data, QByteArray("ok"));
        QCOMPARE(r.reply, QByteArray()); // a DONT for what is off needs no answer
        QVERIFY(!feed(client, bytes({255, 254, 44}), {1}).refusedNow);
        QVERIFY(!client.giveUp()); // already said
    }

    void unknownOptionsAreRefusedOnce() {
        T client;
        client.greeting();
        // DO terminal-type, WILL NAWS, DO linemode (twice), WONT for what is already off.
        const T::Read r = feed(client, bytes({255, 253, 24, 255, 251, 31, 255, 253, 34, 255, 252, 5}), {1});
        QCOMPARE(r.reply, bytes({255, 252, 24, 255, 254, 31, 255, 252, 34}));
        QCOMPARE(r.data, QByteArray());
    }

    void brokenSubnegotiationsDoNotLeakIntoTheData() {
        T client;
        client.greeting();
        QByteArray longSub = bytes({255, 250, 44, 101});
        longSub += QByteArray(200, 'x');
        longSub += bytes({255, 240});
        // An overlong subnegotiation, one cut short by a command, then data.
        const T::Read r = feed(client, longSub + bytes({255, 250, 44, 1, 255, 251, 3}) + "AB", {3});
        QCOMPARE(r.data, QByteArray("AB"));
        QCOMPARE(r.reply, bytes({255, 253, 3}));
    }

    void outgoingBytes() {
        T client;
        client.greeting();
        // Until binary is agreed, a carriage return goes as CR NUL (RFC 854).
        QCOMPARE(client.encode(bytes({'A', '\r', 255})), bytes({'A', '\r', 0, 255, 255}));
        feed(client, kGreeting, {64});
        QCOMPARE(client.encode(bytes({'A', '\r', 255})), bytes({'A', '\r', 255, 255}));
        // Received CR NUL is a carriage return while the server sends in NVT mode.
        T nvt;
        QCOMPARE(nvt.receive(bytes({'1', '\r', 0, '2'})).data, bytes({'1', '\r', '2'}));
    }
};

QTEST_APPLESS_MAIN(TestWire)
#include "tst_wire.moc"
