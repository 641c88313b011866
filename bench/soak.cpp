// A venue left alone with kr7-bridge, in fast motion: 16 lines of 4 simulated projectors (half on
// pseudo-terminals, half behind Debian's ser2net), MQTT to a real Mosquitto, HTTP scraped by a real
// Prometheus, and a fault every few seconds, drawn from a seeded generator (the seed is printed, so a failure
// can be replayed): a gateway killed and restarted, a unit silent for a while, garbage and late replies, the
// broker restarted, bursts of MQTT commands (good and hostile), slow HTTP clients, SIGHUP with a changed
// configuration. Then a quiet spell, and the checks: the bridge never died; its memory after the first
// minute grew by at most 2 MB; its open descriptors are back to their count before the faults; every
// projector's state is what its simulated projector now replies; no line went out that nobody asked for.
// Exit status 0 when every check holds.
//
//   soak --bridge PATH [--minutes N] [--seed S]
#include "peers.h"
#include "procstat.h"
#include "projectorsim.h"
#include "readings.h"
#include "ser2net.h"
#include "setrequest.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <signal.h>

using namespace kr7;
using namespace kr7::bridge;

namespace {

constexpr int kLines = 16;
constexpr int kUnits = 4;
constexpr int kQuietS = 20;
constexpr int kRssBudgetKb = 2048;

struct Line {
    sim::ProjectorSim *sim = nullptr; // lives on the simulators' thread
    std::unique_ptr<peers::Ser2net> gateway;
    QString port;
};

// Runs f on the thread of o and waits for it.
template <typename F> void on(QObject *o, F &&f) {
    QMetaObject::invokeMethod(o, std::forward<F>(f), Qt::BlockingQueuedConnection);
}

void waitFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

int countFds(qint64 pid) {
    return int(QDir(QStringLiteral("/proc/%1/fd").arg(pid))
                   .entryList(QDir::NoDotAndDotDot | QDir::AllEntries)
                   .size());
}

class Soak : public QObject {
  public:
    Soak(QString bridge, int minutes, quint32 seed)
        : m_bridgePath(std::move(bridge)), m_minutes(minutes), m_seed(seed), m_random(seed) {}

    int run();

  private:
    bool setUp();
    QByteArray config(bool changed) const;
    void writeConfig(bool changed);
    void hangUp();
    void fault();
    void undoAll();
    void mqttBurst();
    void slowClients();
    void publish(const QString &topic, const QByteArray &payload, bool retain = false);
    bool checkState(QStringList *problems);

    QString m_bridgePath;
    int m_minutes;
    quint32 m_seed;
    QRandomGenerator m_random;
    QTemporaryDir m_dir;
    QThread m_simThread;
    QObject *m_simHome = nullptr; // on the simulators' thread
    std::vector<Line> m_lines;
    peers::Mosquitto m_broker;
    peers::Prometheus m_prometheus;
    QProcess m_bridge;
    quint16 m_httpPort = peers::Ser2net::freePort();
    bool m_changedConfig = false;
    std::map<QString, int> m_faults;
    std::vector<std::function<void()>> m_undo; // what puts every fault still running right
    std::mutex m_lock;                         // the sets below are read on the simulators' thread
    std::set<QByteArray> m_allowed; // codes the bridge may send: the polls and the commands asked for
    int m_unasked = 0, m_cut = 0;
    QList<QByteArray> m_unaskedLines;
};

QByteArray Soak::config(bool changed) const {
    // The changed configuration polls more slowly and leaves the last projector out.
    QByteArray c = "listen: 127.0.0.1:" + QByteArray::number(m_httpPort) +
                   "\npoll_interval: " + (changed ? "3" : "2") + "\noffline_after: 2\nlines:\n";
    for (int l = 0; l < kLines; ++l) {
        c += "  - port: " + m_lines[size_t(l)].port.toUtf8() + "\n    projectors:\n";
        for (int u = 1; u <= kUnits; ++u)
            if (!(changed && l == kLines - 1 && u == kUnits))
                c += "      - {name: p" + QByteArray::number(l) + "-" + QByteArray::number(u) +
                     ", unit: " + QByteArray::number(u) + "}\n";
    }
    c += "mqtt: {host: 127.0.0.1, port: " + QByteArray::number(m_broker.port()) + ", client_id: kr7-soak}\n";
    return c;
}

// SIGHUP only to the bridge this soak started, and only while it runs: a process id of 0 would signal the
// soak's own process group.
void Soak::hangUp() {
    const qint64 pid = m_bridge.processId();
    if (m_bridge.state() == QProcess::Running && pid > 0)
        ::kill(pid_t(pid), SIGHUP);
}

void Soak::writeConfig(bool changed) {
    QFile f(m_dir.filePath(QStringLiteral("bridge.yaml")));
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write(config(changed));
    m_changedConfig = changed;
}

bool Soak::setUp() {
    m_simThread.start();
    m_simHome = new QObject;
    m_simHome->moveToThread(&m_simThread);
    for (const PolledQuery &q : polledQueries())
        m_allowed.insert(q.code.toLatin1());
    for (int l = 0; l < kLines; ++l) {
        Line line;
        bool opened = false;
        on(m_simHome, [&] {
            line.sim = new sim::ProjectorSim({1, 2, 3, 4}, sim::Timing{600, 300, 60000}, m_simHome);
            line.sim->faults.replyDelayMs = 5;
            opened = line.sim->openPty();
            // Every line a projector gets is one the bridge was asked to send, or a poll.
            QObject::connect(
                line.sim, &sim::ProjectorSim::lineReceived, line.sim, [this](const QByteArray &got) {
                    const QByteArray code = got.startsWith('A') && got.size() >= 4 ? got.mid(4) : got;
                    std::lock_guard g(m_lock);
                    if (m_allowed.count(code))
                        return;
                    // A gateway killed in the middle of a line leaves its first bytes before the next one.
                    for (const QByteArray &a : m_allowed)
                        if (got.endsWith(a)) {
                            ++m_cut;
                            return;
                        }
                    ++m_unasked;
                    if (m_unaskedLines.size() < 10)
                        m_unaskedLines << got;
                });
        });
        if (!opened)
            return false;
        if (l % 2) {
            line.gateway = std::make_unique<peers::Ser2net>(line.sim->devicePath());
            if (!line.gateway->start()) {
                std::fprintf(stderr, "soak: ser2net: %s\n", qPrintable(line.gateway->errorString()));
                return false;
            }
            line.port = l % 4 == 1 ? line.gateway->raw() : line.gateway->rfc2217();
        } else {
            line.port = line.sim->devicePath();
        }
        m_lines.push_back(std::move(line));
    }
    if (!m_broker.start()) {
        std::fprintf(stderr, "soak: mosquitto: %s\n", qPrintable(m_broker.errorString()));
        return false;
    }
    writeConfig(false);
    m_bridge.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_bridge.start(m_bridgePath, {QStringLiteral("--config"), m_dir.filePath(QStringLiteral("bridge.yaml"))});
    if (!m_bridge.waitForStarted(10000))
        return false;
    if (!m_prometheus.start(QStringLiteral("127.0.0.1:%1").arg(m_httpPort))) {
        std::fprintf(stderr, "soak: prometheus: %s\n", qPrintable(m_prometheus.errorString()));
        return false;
    }
    return true;
}

void Soak::publish(const QString &topic, const QByteArray &payload, bool retain) {
    auto *p = new QProcess(this);
    QStringList args{QStringLiteral("-h"), QStringLiteral("127.0.0.1"),
                     QStringLiteral("-p"), QString::number(m_broker.port()),
                     QStringLiteral("-q"), QStringLiteral("1"),
                     QStringLiteral("-t"), topic,
                     QStringLiteral("-s")};
    if (retain)
        args << QStringLiteral("-r");
    connect(p, &QProcess::finished, p, &QObject::deleteLater);
    connect(p, &QProcess::errorOccurred, p, &QObject::deleteLater);
    p->start(peers::Peer::find(QStringLiteral("mosquitto_pub")), args);
    p->write(payload);
    p->closeWriteChannel();
}

void Soak::mqttBurst() {
    static const QList<QByteArray> good = {
        R"({"input": 1})",       R"({"input": 2})",       R"({"input": 3})",      R"({"input": 4})",
        R"({"command": "C0D"})", R"({"command": "C0E"})", R"({"refresh": true})", R"({"power": "OFF"})"};
    static const QList<QByteArray> hostile = {"not json",
                                              R"({"line": "C00"})",
                                              R"({"power": "ON", "input": 2})",
                                              R"({"command": "C00\r"})",
                                              R"({"pause": -1})",
                                              "\xff\xfe\x00",
                                              QByteArray(3000, '{'),
                                              R"({"in\nput": 1})"};
    const int n = 10 + int(m_random.bounded(20));
    for (int i = 0; i < n; ++i) {
        const QString name =
            QStringLiteral("p%1-%2").arg(m_random.bounded(kLines)).arg(1 + m_random.bounded(kUnits));
        if (m_random.bounded(2)) {
            const QByteArray payload = good[m_random.bounded(good.size())];
            const auto parsed = kr7::bridge::parseSetRequest(payload, false);
            if (const auto *r = std::get_if<kr7::bridge::SetRequest>(&parsed)) {
                std::lock_guard g(m_lock);
                m_allowed.insert(r->code.toLatin1());
            }
            publish(QStringLiteral("kr7/%1/set").arg(name), payload);
        } else {
            const int kind = int(m_random.bounded(4));
            const QByteArray payload = hostile[m_random.bounded(hostile.size())];
            if (kind == 0)
                publish(QStringLiteral("kr7/nobody-%1/set").arg(m_random.bounded(100)), payload);
            else if (kind == 1)
                publish(QStringLiteral("kr7/%1/set").arg(name), R"({"command": "C0D"})", true); // retained
            else
                publish(QStringLiteral("kr7/%1/set").arg(name), payload);
        }
    }
    // A retained command is refused; clear it so that it does not stay on the broker.
    for (int l = 0; l < kLines; ++l)
        for (int u = 1; u <= kUnits; ++u)
            if (m_random.bounded(8) == 0)
                publish(QStringLiteral("kr7/p%1-%2/set").arg(l).arg(u), {}, true);
}

void Soak::slowClients() {
    const int n = 5 + int(m_random.bounded(25));
    for (int i = 0; i < n; ++i) {
        auto *s = new QTcpSocket(this);
        s->connectToHost(QHostAddress::LocalHost, m_httpPort);
        auto *drip = new QTimer(s);
        connect(drip, &QTimer::timeout, s, [s, sent = 0]() mutable {
            static const QByteArray request = "GET /metrics HTTP/1.1\r\nHost: soak\r\n";
            if (sent < request.size() && s->state() == QAbstractSocket::ConnectedState)
                s->write(request.mid(sent++, 1));
        });
        drip->start(300 + int(m_random.bounded(700)));
        QTimer::singleShot(3000 + int(m_random.bounded(9000)), s, [s] {
            s->abort();
            s->deleteLater();
        });
    }
}

void Soak::fault() {
    const int kind = int(m_random.bounded(8));
    const int forMs = 1000 + int(m_random.bounded(6000));
    Line &line = m_lines[m_random.bounded(kLines)];
    const int unit = 1 + int(m_random.bounded(kUnits));
    sim::ProjectorSim *sim = line.sim;
    const auto later = [&](std::function<void()> undo) {
        auto shared = std::make_shared<std::function<void()>>(std::move(undo));
        m_undo.push_back([shared] {
            if (*shared)
                std::exchange(*shared, nullptr)();
        });
        QTimer::singleShot(forMs, this, [shared] {
            if (*shared)
                std::exchange(*shared, nullptr)();
        });
    };
    switch (kind) {
    case 0: {
        Line *gated = &m_lines[size_t(1 + 2 * m_random.bounded(kLines / 2))];
        if (!gated->gateway->isRunning())
            return;
        ++m_faults["gateway killed"];
        gated->gateway->kill();
        later([gated] { gated->gateway->start(); });
        break;
    }
    case 1:
        ++m_faults["unit silent"];
        on(m_simHome, [sim, unit] { sim->faults.silentUnits << unit; });
        later([this, sim, unit] { on(m_simHome, [sim, unit] { sim->faults.silentUnits.removeAll(unit); }); });
        break;
    case 2:
        ++m_faults["garbage"];
        on(m_simHome, [sim] { sim->faults.garbage = true; });
        later([this, sim] { on(m_simHome, [sim] { sim->faults.garbage = false; }); });
        break;
    case 3: {
        ++m_faults["late replies"];
        const QList<PolledQuery> queries = polledQueries();
        const QByteArray late =
            QByteArray("A00") + char('0' + unit) + queries[m_random.bounded(queries.size())].code.toLatin1();
        const int ms = 520 + int(m_random.bounded(200));
        on(m_simHome, [sim, late, ms] { sim->faults.lineDelayMs[late] = ms; });
        later([this, sim, late] { on(m_simHome, [sim, late] { sim->faults.lineDelayMs.remove(late); }); });
        break;
    }
    case 4:
        if (!m_broker.isRunning())
            return;
        ++m_faults["broker restarted"];
        m_broker.kill();
        later([this] { m_broker.start(); });
        break;
    case 5:
        ++m_faults["mqtt burst"];
        mqttBurst();
        break;
    case 6:
        ++m_faults["slow http clients"];
        slowClients();
        break;
    case 7:
        if (m_changedConfig)
            return;
        ++m_faults["sighup, changed"];
        writeConfig(true);
        hangUp();
        later([this] {
            writeConfig(false);
            hangUp();
        });
        break;
    }
}

void Soak::undoAll() {
    for (auto &u : std::exchange(m_undo, {}))
        u();
}

bool Soak::checkState(QStringList *problems) {
    const QJsonArray all =
        QJsonDocument::fromJson(
            peers::httpRequest(QUrl(QStringLiteral("http://127.0.0.1:%1/state").arg(m_httpPort))).body)
            .array();
    if (all.size() != kLines * kUnits) {
        *problems << QStringLiteral("/state has %1 projectors, not %2").arg(all.size()).arg(kLines * kUnits);
        return false;
    }
    const ReadingTable table = readingTable();
    for (const QJsonValue &v : all) {
        const QJsonObject shown = v.toObject();
        const QString name = shown[QLatin1String("name")].toString();
        const int l = name.mid(1, name.indexOf(QLatin1Char('-')) - 1).toInt();
        const int u = name.section(QLatin1Char('-'), 1).toInt();
        Readings expected;
        on(m_simHome, [&] {
            for (const PolledQuery &q : polledQueries())
                expected.read(q.name,
                              m_lines[size_t(l)]
                                  .sim->model()
                                  .handleLine(QByteArray("A00") + char('0' + u) + q.code.toLatin1(), 0)
                                  .value_or(QByteArray()));
        });
        if (!shown[QLatin1String("available")].toBool())
            *problems << name + QStringLiteral(": not available");
        for (size_t i = 0; i < table.size(); ++i) {
            if (!table[i].inState)
                continue;
            const QJsonValue got = shown[QLatin1String(table[i].key.data())];
            if (got != expected.at(qsizetype(i)))
                *problems << QStringLiteral("%1 %2: shows %3, the projector says %4")
                                 .arg(name, QLatin1String(table[i].key.data()),
                                      QString::fromUtf8(
                                          QJsonDocument(QJsonArray{got}).toJson(QJsonDocument::Compact)),
                                      QString::fromUtf8(QJsonDocument(QJsonArray{expected.at(qsizetype(i))})
                                                            .toJson(QJsonDocument::Compact)));
        }
    }
    return problems->isEmpty();
}

int Soak::run() {
    std::printf("soak: seed %u, %d minutes, %d lines of %d projectors\n", m_seed, m_minutes, kLines, kUnits);
    std::fflush(stdout);
    if (!setUp())
        return 2;
    const qint64 pid = m_bridge.processId();
    waitFor(15000); // every line open and polled
    if (m_bridge.state() != QProcess::Running) {
        std::fprintf(stderr, "soak: the bridge did not stay up (exit status %d)\n", m_bridge.exitCode());
        return 2;
    }
    const int fdsBefore = countFds(pid);
    QTimer faults;
    connect(&faults, &QTimer::timeout, this, [&] {
        fault();
        faults.start(2000 + int(m_random.bounded(3000)));
    });
    faults.start(2000);
    long rssAtMinute = 0;
    QTimer::singleShot(60000, this, [&] { rssAtMinute = bench::statusKb(pid, "VmRSS"); });
    const int faultMs = std::max(30000, m_minutes * 60000 - 15000 - kQuietS * 1000);
    waitFor(faultMs);
    faults.stop();
    undoAll();
    if (m_changedConfig) {
        writeConfig(false);
        hangUp();
    }
    std::printf("soak: faults over; %d s of quiet\n", kQuietS);
    std::fflush(stdout);
    waitFor(kQuietS * 1000);

    QStringList problems;
    const bool alive = m_bridge.state() == QProcess::Running && m_bridge.processId() == pid;
    if (!alive)
        problems << QStringLiteral("the bridge died (exit status %1)").arg(m_bridge.exitCode());
    const long rssEnd = bench::statusKb(pid, "VmRSS");
    const int fdsAfter = countFds(pid);
    if (alive) {
        if (rssAtMinute && rssEnd - rssAtMinute > kRssBudgetKb)
            problems
                << QStringLiteral("memory grew by %1 kB after the first minute").arg(rssEnd - rssAtMinute);
        if (fdsAfter != fdsBefore)
            problems
                << QStringLiteral("%1 descriptors open, %2 before the faults").arg(fdsAfter).arg(fdsBefore);
        checkState(&problems);
    }
    int unasked = 0, cut = 0;
    QList<QByteArray> unaskedLines;
    {
        std::lock_guard g(m_lock);
        unasked = m_unasked, cut = m_cut, unaskedLines = m_unaskedLines;
    }
    if (unasked)
        problems << QStringLiteral("%1 lines nobody asked for, such as %2")
                        .arg(unasked)
                        .arg(QString::fromLatin1(unaskedLines.first().toPercentEncoding(" ")));
    const std::optional<double> up = m_prometheus.value(QStringLiteral("up{job=\"kr7\"}"));
    if (up != 1.0)
        problems << QStringLiteral("Prometheus does not scrape the bridge");
    const QByteArray metrics =
        peers::httpRequest(QUrl(QStringLiteral("http://127.0.0.1:%1/metrics").arg(m_httpPort))).body;
    double exchanges = 0, late = 0, unreadable = 0;
    for (const QByteArray &line : metrics.split('\n')) {
        const double v = line.mid(line.lastIndexOf(' ') + 1).toDouble();
        if (line.startsWith("kr7_exchanges_total{"))
            exchanges += v;
        else if (line.startsWith("kr7_late_replies_total{"))
            late += v;
        else if (line.startsWith("kr7_reply_unreadable_total{"))
            unreadable += v;
    }

    std::printf("soak: faults:");
    for (const auto &[kind, n] : m_faults)
        std::printf(" %s %d;", kind.toUtf8().constData(), n);
    std::printf("\nsoak: exchanges %.0f, late replies drained %.0f, unreadable %.0f, lines cut by a killed "
                "gateway %d\n",
                exchanges, late, unreadable, cut);
    std::printf("soak: bridge RSS %ld kB after the first minute, %ld kB at the end (%+ld kB); descriptors %d "
                "before the faults, %d after\n",
                rssAtMinute, rssEnd, rssEnd - rssAtMinute, fdsBefore, fdsAfter);
    for (const QString &p : problems)
        std::printf("soak: FAILED: %s\n", qPrintable(p));
    std::printf("soak: seed %u: %s\n", m_seed, problems.isEmpty() ? "every check holds" : "failed");
    std::fflush(stdout);

    m_bridge.terminate();
    m_bridge.waitForFinished(10000);
    // The simulators stay to the end of the process: their pseudo-terminals close with it.
    m_simThread.quit();
    m_simThread.wait();
    return problems.isEmpty() ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    std::signal(SIGPIPE, SIG_IGN);
    QCommandLineParser parser;
    const QCommandLineOption bridge(QStringLiteral("bridge"), QStringLiteral("The kr7-bridge to soak."),
                                    QStringLiteral("PATH"));
    const QCommandLineOption minutes(QStringLiteral("minutes"), QStringLiteral("How long (10)."),
                                     QStringLiteral("N"), QStringLiteral("10"));
    const QCommandLineOption seed(QStringLiteral("seed"), QStringLiteral("The faults' seed (drawn)."),
                                  QStringLiteral("S"));
    parser.addOptions({bridge, minutes, seed});
    parser.addHelpOption();
    parser.process(app);
    const quint32 s =
        parser.isSet(seed) ? parser.value(seed).toUInt() : QRandomGenerator::system()->generate();
    Soak soak(parser.value(bridge), std::max(1, parser.value(minutes).toInt()), s);
    return soak.run();
}
