#include "mqttpeers.h"

#include "peers.h"

#include <QTest>

namespace kr7::peers {

namespace {
const QString kReady = QStringLiteral("kr7-test/ready");
}

Subscriber::Subscriber(quint16 port, const QStringList &topics) {
    QStringList args{QStringLiteral("-h"),  QStringLiteral("127.0.0.1"),   QStringLiteral("-p"),
                     QString::number(port), QStringLiteral("-q"),          QStringLiteral("1"),
                     QStringLiteral("-F"),  QStringLiteral("%r\\t%t\\t%p")};
    for (const QString &t : topics)
        args << QStringLiteral("-t") << t;
    args << QStringLiteral("-t") << kReady;
    process.start(Peer::find(QStringLiteral("mosquitto_sub")), args);
    process.waitForStarted();
    QObject::connect(&process, &QProcess::readyReadStandardOutput, &process, [this] { take(); });
    // Subscribed once a message of our own comes back; what came before it stays.
    for (int i = 0; i < 25 && !heard(); ++i) {
        mqttPublish(port, kReady, "1");
        (void)QTest::qWaitFor([&] { return heard(); }, 200);
    }
    messages.erase(
        std::remove_if(messages.begin(), messages.end(), [](const Message &m) { return m.topic == kReady; }),
        messages.end());
}

Subscriber::~Subscriber() {
    process.kill();
    process.waitForFinished();
}

bool Subscriber::heard() const {
    return std::any_of(messages.begin(), messages.end(), [](const Message &m) { return m.topic == kReady; });
}

void Subscriber::take() {
    pending += process.readAllStandardOutput();
    qsizetype end;
    while ((end = pending.indexOf('\n')) >= 0) {
        const QList<QByteArray> f = pending.left(end).split('\t');
        pending.remove(0, end + 1);
        if (f.size() >= 3)
            messages << Message{f[0] == "1", QString::fromUtf8(f[1]), f.mid(2).join('\t')};
    }
}

QList<Message> Subscriber::on(const QString &topic) const {
    QList<Message> out;
    for (const Message &m : messages)
        if (m.topic == topic)
            out << m;
    return out;
}

std::optional<Message> Subscriber::waitFor(const QString &topic,
                                           const std::function<bool(const Message &)> &pred, int ms) {
    std::optional<Message> found;
    (void)QTest::qWaitFor(
        [&] {
            for (const Message &m : messages)
                if (m.topic == topic && pred(m))
                    found = m;
            return found.has_value();
        },
        ms);
    return found;
}

void mqttPublish(quint16 port, const QString &topic, const QByteArray &payload, bool retain) {
    QProcess pub;
    QStringList args{
        QStringLiteral("-h"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"), QString::number(port),
        QStringLiteral("-q"), QStringLiteral("1"),         QStringLiteral("-t"), topic,
        QStringLiteral("-m"), QString::fromUtf8(payload)};
    if (retain)
        args << QStringLiteral("-r");
    pub.start(Peer::find(QStringLiteral("mosquitto_pub")), args);
    pub.waitForFinished(10000);
}

} // namespace kr7::peers
