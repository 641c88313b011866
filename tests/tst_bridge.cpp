// kr7-bridge from the outside, as systemd and Prometheus meet it: simulated projectors on pseudo-terminals
// and one behind ser2net, a real Prometheus scraping it, and its own faults (a silent unit, garbage, a
// gateway that dies and comes back, SIGTERM, a bad configuration).
#include "peers.h"
#include "readings.h"
#include "record.h"
#include "ser2net.h"
#include "support.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <cmath>
#include <csignal>
#include <cstring>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>

using namespace kr7;

namespace {

// A sample's value in an exposition, by its series as written; nothing when the series is absent.
std::optional<double> sample(const QByteArray &metrics, const QByteArray &series) {
    for (const QByteArray &line : metrics.split('\n'))
        if (line.startsWith(series + ' '))
            return line.mid(series.size() + 1).toDouble();
    return std::nullopt;
}

struct BridgeRun {
    QTemporaryDir dir;
    QProcess process;
    quint16 port = peers::Ser2net::freePort();
    QByteArray err;

    ~BridgeRun() {
        if (process.state() != QProcess::NotRunning) {
            process.terminate();
            process.waitForFinished(10000);
        }
    }
    QString path(const char *file) const { return dir.filePath(QString::fromLatin1(file)); }
    bool start(const QByteArray &body) {
        QFile config(path("bridge.yaml"));
        if (!config.open(QIODevice::WriteOnly))
            return false;
        config.write("listen: 127.0.0.1:" + QByteArray::number(port) + "\n" + body);
        config.close();
        process.start(qEnvironmentVariable("KR7_BRIDGE"), {QStringLiteral("--config"), config.fileName(),
                                                           QStringLiteral("--log"), path("traffic.log")});
        return QTest::qWaitFor([&] { return stderrText().contains(" started: "); }, 15000);
    }
    const QByteArray &stderrText() {
        err += process.readAllStandardError();
        return err;
    }
    QByteArray metrics() { return peers::httpRequest(QUrl(url("/metrics"))).body; }
    QString url(const char *path) const {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(QLatin1String(path));
    }
    QJsonObject projector(const QString &name) {
        const QJsonArray all = QJsonDocument::fromJson(peers::httpRequest(QUrl(url("/state"))).body).array();
        for (const QJsonValue &p : all)
            if (p[QLatin1String("name")] == name)
                return p.toObject();
        return {};
    }
    bool available(const QString &name) { return projector(name)[QLatin1String("available")].toBool(); }
};

} // namespace

class TestBridge : public QObject {
    Q_OBJECT
    std::unique_ptr<sim::ProjectorSim> m_hall;  // units 1 and 2 on one line
    std::unique_ptr<sim::ProjectorSim> m_foyer; // alone, behind the gateway
    std::unique_ptr<peers::Ser2net> m_gateway;
    BridgeRun m_bridge;

  private slots:
    void initTestCase() {
        m_hall = test::startSim({1, 2});
        m_hall->model().handleLine("A002C07", 0); // unit 2 on input 3
        m_foyer = test::startSim({1});
        m_gateway = std::make_unique<peers::Ser2net>(m_foyer->devicePath());
        QVERIFY2(m_gateway->start(), qPrintable(m_gateway->errorString()));
        const QByteArray config = "poll_interval: 1\noffline_after: 2\nlines:\n"
                                  "  - port: " +
                                  m_hall->devicePath().toUtf8() +
                                  "\n    projectors:\n      - {name: hall-left, unit: 1}\n"
                                  "      - {name: hall-right, unit: 2}\n"
                                  "  - port: " +
                                  m_gateway->rfc2217().toUtf8() +
                                  "\n    projectors: [{name: foyer, unit: single}]\n";
        QVERIFY2(m_bridge.start(config), m_bridge.stderrText().constData());
        QTRY_VERIFY_WITH_TIMEOUT(m_bridge.available(QStringLiteral("hall-right")) &&
                                     m_bridge.available(QStringLiteral("foyer")),
                                 20000);
    }

    // Prometheus scrapes the bridge; what it stores is what the projectors replied.
    void prometheusReadsWhatTheProjectorsSaid() {
        peers::Prometheus prometheus;
        QVERIFY2(prometheus.start(QStringLiteral("127.0.0.1:%1").arg(m_bridge.port)),
                 qPrintable(prometheus.errorString()));
        QTRY_COMPARE_WITH_TIMEOUT(prometheus.value(QStringLiteral("up{job=\"kr7\"}")),
                                  std::optional<double>(1), 20000);
        const std::pair<QByteArray, double> expected[] = {
            {"kr7_up{projector=\"foyer\"}", 1},
            {"kr7_input{projector=\"hall-right\"}", 3},
            {"kr7_input{projector=\"hall-left\"}", 1},
            {"kr7_power_status_code{projector=\"hall-left\"}", 0x80},
            {"kr7_power_on{projector=\"foyer\"}", 0},
            {"kr7_lamp_mode{projector=\"foyer\"}", 0},
            {"kr7_lamp_on{projector=\"hall-right\",lamp=\"4\"}", 0},
            {"kr7_lamp_used_seconds{projector=\"foyer\",lamp=\"2\"}", 1201 * 3600},
            {"kr7_temperature_celsius{projector=\"hall-left\",sensor=\"1\"}", 24.5},
            {"kr7_temperature_celsius{projector=\"hall-left\",sensor=\"2\"}", 24.0},
            {"kr7_pressure_hpa{projector=\"hall-right\"}", 1013},
            {"kr7_status_info{projector=\"hall-right\",query=\"input\",text=\"Input mode 3\"}", 1},
            {"kr7_status_info{projector=\"foyer\",query=\"pc_type\",text=\"----\"}", 1},
            {"kr7_line_up{line=\"" + m_gateway->rfc2217().toLatin1() + "\"}", 1},
            {"kr7_bridge_info{version=\"1.40\"}", 1},
        };
        for (const auto &[query, value] : expected)
            QCOMPARE(prometheus.value(QString::fromLatin1(query)), std::optional<double>(value));
        QVERIFY(prometheus.value(QStringLiteral("kr7_exchanges_total{projector=\"hall-left\"}")) >= 9);

        // The exposition is clean for promtool, lint included.
        QProcess promtool;
        promtool.start(peers::Peer::find(QStringLiteral("promtool")),
                       {QStringLiteral("check"), QStringLiteral("metrics")});
        promtool.write(m_bridge.metrics());
        promtool.closeWriteChannel();
        QVERIFY(promtool.waitForFinished(20000));
        const QByteArray lint = promtool.readAll() + promtool.readAllStandardError();
        QVERIFY2(promtool.exitCode() == 0 && lint.isEmpty(), lint.constData());

        // /state: one object per projector, in the order configured.
        const QJsonArray state =
            QJsonDocument::fromJson(peers::httpRequest(QUrl(m_bridge.url("/state"))).body).array();
        QCOMPARE(state.size(), 3);
        QCOMPARE(state[0][QLatin1String("name")], QJsonValue(QStringLiteral("hall-left")));
        const QJsonObject right = state[1].toObject();
        QCOMPARE(right[QLatin1String("unit")], QJsonValue(QStringLiteral("2")));
        QCOMPARE(right[QLatin1String("power")], QJsonValue(QStringLiteral("OFF")));
        QCOMPARE(right[QLatin1String("power_code")], QJsonValue(QStringLiteral("80")));
        QCOMPARE(right[QLatin1String("input")], QJsonValue(3));
        QCOMPARE(right[QLatin1String("lamp_hours")], QJsonValue(QJsonArray{1234, 1201, 987, 1010}));
        QVERIFY(QRegularExpression(
                    QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}[+-]\\d\\d:\\d\\d$"))
                    .match(right[QLatin1String("last_seen")].toString())
                    .hasMatch());
        QCOMPARE(state[2][QLatin1String("unit")], QJsonValue(QStringLiteral("single")));

        // Only GET, only the paths served, only small requests.
        QCOMPARE(peers::httpRequest(QUrl(m_bridge.url("/nothing"))).status, 404);
        QCOMPARE(peers::httpRequest(QUrl(m_bridge.url("/metrics")), "POST", "x").status, 405);
        QCOMPARE(peers::httpRequest(QUrl(m_bridge.url("/state")), "GET", QByteArray(70 * 1024, 'x')).status,
                 413);
        QCOMPARE(peers::httpRequest(QUrl(m_bridge.url("/metrics"))).status, 200);
    }

    void silentProjectorGoesDownItsNeighbourStaysUp() {
        m_hall->faults.silentUnits = {2};
        QTRY_VERIFY_WITH_TIMEOUT(!m_bridge.available(QStringLiteral("hall-right")), 30000);
        const QJsonObject right = m_bridge.projector(QStringLiteral("hall-right"));
        for (const char *key : {"power", "input", "lamp_hours", "temperature", "pressure_hpa", "signal"})
            QVERIFY2(right[QLatin1String(key)].isNull(), key);
        QVERIFY(!right[QLatin1String("last_seen")].isNull()); // it did answer, once
        QVERIFY(m_bridge.available(QStringLiteral("hall-left")));
        QVERIFY(m_bridge.stderrText().contains("projector hall-right: down (no reply in 2 rounds)"));
        // The silent unit costs the line one reply window a round, not one per query: its neighbour is still
        // asked every second (nine silent queries would make a round of some 7 s).
        const qsizetype rounds = m_hall->lines().count("A001CR0");
        QTRY_VERIFY_WITH_TIMEOUT(m_hall->lines().count("A001CR0") >= rounds + 3, 6000);
        const QByteArray metrics = m_bridge.metrics();
        QCOMPARE(sample(metrics, "kr7_up{projector=\"hall-right\"}"), std::optional<double>(0));
        QCOMPARE(sample(metrics, "kr7_input{projector=\"hall-right\"}"), std::nullopt);
        QCOMPARE(sample(metrics, "kr7_input{projector=\"hall-left\"}"), std::optional<double>(1));
        m_hall->faults.silentUnits.clear();
        QTRY_VERIFY_WITH_TIMEOUT(m_bridge.available(QStringLiteral("hall-right")), 20000);
        QVERIFY(m_bridge.stderrText().contains("projector hall-right: up"));
    }

    // Replies of every shape the panel shows, not only the simulator's own: sensors with their unit, a lamp
    // past 9999 hours, a signed pressure, another signal name.
    void readsTheShapesThePanelShows() {
        QProcess other; // the simulator's own program, told how to answer
        other.start(qEnvironmentVariable("KR7_SIM"),
                    {QStringLiteral("--units"), QStringLiteral("1"), QStringLiteral("--reply"),
                     QStringLiteral("CR6=035.5C,40.5C\\r"), QStringLiteral("--reply"),
                     QStringLiteral("CR3=12345 0042 0987 1010\\r"), QStringLiteral("--reply"),
                     QStringLiteral("CR PRESSURE=+0512\\r"), QStringLiteral("--reply"),
                     QStringLiteral("CR9=1024X768 60HZ\\r")});
        QVERIFY(other.waitForReadyRead(10000));
        const QByteArray device = other.readLine().trimmed();
        BridgeRun bridge;
        QVERIFY2(bridge.start("poll_interval: 1\nlines:\n  - port: " + device +
                              "\n    projectors: [{name: shapes, unit: single}]\n"),
                 bridge.stderrText().constData());
        QTRY_VERIFY_WITH_TIMEOUT(
            !bridge.projector(QStringLiteral("shapes"))[QLatin1String("pc_type")].isNull(), 15000);
        const QJsonObject shown = bridge.projector(QStringLiteral("shapes"));
        QCOMPARE(shown[QLatin1String("temperature")], QJsonValue(QJsonArray{35.5, 40.5}));
        QCOMPARE(shown[QLatin1String("lamp_hours")],
                 QJsonValue(QJsonArray{12345, 42, 987, QJsonValue(QJsonValue::Null)}));
        QCOMPARE(shown[QLatin1String("pressure_hpa")], QJsonValue(650));
        QCOMPARE(shown[QLatin1String("pc_type")], QJsonValue(QStringLiteral("1024X768 60HZ")));
        other.terminate();
        other.waitForFinished(5000);
    }

    void garbageCountsAsUnreadableAndChangesNothingElse() {
        const QByteArray unreadable = "kr7_reply_unreadable_total{projector=\"foyer\"}";
        const QByteArray before = m_bridge.metrics();
        m_foyer->faults.garbage = true;
        QTRY_VERIFY_WITH_TIMEOUT(*sample(m_bridge.metrics(), unreadable) >= *sample(before, unreadable) + 9,
                                 20000);
        m_foyer->faults.garbage = false;
        const QByteArray after = m_bridge.metrics();
        QCOMPARE(sample(after, "kr7_up{projector=\"foyer\"}"), std::optional<double>(1));
        QCOMPARE(sample(after, "kr7_no_reply_total{projector=\"foyer\"}"),
                 sample(before, "kr7_no_reply_total{projector=\"foyer\"}"));
        QVERIFY(!m_bridge.stderrText().contains("projector foyer: down"));
        QTRY_VERIFY_WITH_TIMEOUT(sample(m_bridge.metrics(), "kr7_pressure_hpa{projector=\"foyer\"}") == 1013,
                                 20000);
    }

    void gatewayKilledAndRestarted() {
        const QByteArray lineUp = "kr7_line_up{line=\"" + m_gateway->rfc2217().toLatin1() + "\"}";
        m_gateway->kill();
        QTRY_COMPARE_WITH_TIMEOUT(sample(m_bridge.metrics(), lineUp), std::optional<double>(0), 20000);
        QVERIFY(!m_bridge.available(QStringLiteral("foyer")));
        QVERIFY(m_bridge.available(QStringLiteral("hall-left")));
        QVERIFY2(m_gateway->start(), qPrintable(m_gateway->errorString()));
        QTRY_COMPARE_WITH_TIMEOUT(sample(m_bridge.metrics(), lineUp), std::optional<double>(1), 30000);
        QTRY_VERIFY_WITH_TIMEOUT(m_bridge.available(QStringLiteral("foyer")), 20000);
        QCOMPARE(sample(m_bridge.metrics(),
                        "kr7_line_losses_total{line=\"" + m_gateway->rfc2217().toLatin1() + "\"}"),
                 std::optional<double>(1));
        QVERIFY(m_bridge.stderrText().contains("line " + m_gateway->rfc2217().toUtf8() + ": lost ("));
    }

    // SIGTERM: ports closed, the traffic log complete, exit status 0.
    void stopsCleanlyOnSigterm() {
        peers::signalProcess(m_bridge.process, SIGTERM);
        QVERIFY(m_bridge.process.waitForFinished(10000));
        QCOMPARE(m_bridge.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(m_bridge.process.exitCode(), 0);
        QFile log(m_bridge.path("traffic.log"));
        QVERIFY(log.open(QIODevice::ReadOnly));
        QStringList closed;
        bool sentToUnit2 = false;
        for (const QByteArray &line : log.readAll().split('\n')) {
            const auto r = traffic::parseRecord(line);
            if (r && r->kind == traffic::Kind::CLOSED)
                closed << r->port;
            sentToUnit2 |= r && r->kind == traffic::Kind::TX && r->port == m_hall->devicePath() &&
                           r->bytes == "A002CR0\r";
        }
        QVERIFY(sentToUnit2);
        QCOMPARE(closed, QStringList({m_hall->devicePath(), m_gateway->rfc2217()}));
    }

    // The alert rules the package ships are the README's, and Prometheus takes them.
    void alertRulesOfTheReadme() {
        const QString rules = QStringLiteral(QT_TESTCASE_SOURCEDIR "/../data/kr7-bridge.rules.yml");
        QFile shipped(rules), readme(QStringLiteral(QT_TESTCASE_SOURCEDIR "/../README.md"));
        QVERIFY(shipped.open(QIODevice::ReadOnly) && readme.open(QIODevice::ReadOnly));
        QVERIFY(readme.readAll().contains("```yaml\n" + shipped.readAll() + "```"));
        QProcess promtool;
        promtool.start(peers::Peer::find(QStringLiteral("promtool")),
                       {QStringLiteral("check"), QStringLiteral("rules"), rules});
        QVERIFY(promtool.waitForFinished(20000));
        QVERIFY2(promtool.exitCode() == 0, promtool.readAll().constData());
    }

    void configurationErrorsNameTheFileAndTheLine() {
        QTemporaryDir dir;
        QFile bad(dir.filePath(QStringLiteral("bad.yaml")));
        QVERIFY(bad.open(QIODevice::WriteOnly));
        bad.write(
            "lines:\n  - port: /dev/ttyUSB0\n    projectors:\n      - {name: a, unit: 1}\n    sped: 9600\n");
        bad.close();
        QProcess check;
        check.start(qEnvironmentVariable("KR7_BRIDGE"),
                    {QStringLiteral("--check-config"), QStringLiteral("--config"), bad.fileName()});
        QVERIFY(check.waitForFinished(10000));
        QCOMPARE(check.exitCode(), 1);
        QCOMPARE(
            QString::fromUtf8(check.readAllStandardError()),
            QStringLiteral("kr7-bridge: %1:5:5: line: unknown key 'sped' (known: port, speed, projectors)\n")
                .arg(bad.fileName()));
    }

    // On shared lines where one query's reply comes after its window (0.52, 0.6, 0.7 s while the rest come in
    // 50 ms), or every reply is slow (0.45 s, within the window; 0.6 s, never within it), no reading ever
    // differs from what the projector replied to that query: a late reply is drained, never read as the next.
    void lateRepliesAreNeverTheNextQuerys() {
        struct Case {
            const char *name;
            int allMs;
            QByteArray lateLine;
            int lateMs;
        };
        const Case cases[] = {{"late0", 50, "A001CR3", 520},
                              {"late1", 50, "A001CR1", 600},
                              {"late2", 50, "A002CR7", 700},
                              {"slow0", 450, {}, 0},
                              {"slow1", 600, {}, 0}};
        std::vector<std::unique_ptr<sim::ProjectorSim>> sims;
        QByteArray config = "poll_interval: 1\noffline_after: 100\nlines:\n";
        for (const Case &c : cases) {
            auto s = test::startSim({1, 2});
            s->faults.replyDelayMs = c.allMs;
            if (!c.lateLine.isEmpty())
                s->faults.lineDelayMs[c.lateLine] = c.lateMs;
            s->model().handleLine("A002C07", 0); // unit 2 differs from unit 1 wherever it can
            s->model().handleLine("A002CF LAMPMODE HALF", 0);
            config += "  - port: " + s->devicePath().toUtf8() +
                      "\n    projectors:\n      - {name: " + c.name +
                      "-1, unit: 1}\n      - {name: " + c.name + "-2, unit: 2}\n";
            sims.push_back(std::move(s));
        }
        BridgeRun bridge;
        QVERIFY2(bridge.start(config), bridge.stderrText().constData());
        // Two rounds of every projector.
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                for (const QJsonValue p :
                     QJsonDocument::fromJson(peers::httpRequest(QUrl(bridge.url("/state"))).body).array())
                    if (sample(bridge.metrics(), "kr7_exchanges_total{projector=\"" +
                                                     p[QLatin1String("name")].toString().toUtf8() + "\"}")
                            .value_or(0) < 18)
                        return false;
                return true;
            }(),
            60000);
        const QByteArray metrics = bridge.metrics();
        for (size_t c = 0; c < std::size(cases); ++c) {
            for (int unit = 1; unit <= 2; ++unit) {
                const QString name = QStringLiteral("%1-%2").arg(QLatin1String(cases[c].name)).arg(unit);
                // What this projector says to each query, read as the bridge reads it.
                bridge::Readings expected;
                for (const bridge::PolledQuery &q : bridge::polledQueries()) {
                    const auto reply = sims[c]->model().handleLine(
                        QByteArray("A00") + char('0' + unit) + q.code.toLatin1(), 0);
                    expected.read(q.name, reply.value_or(QByteArray()));
                }
                const QJsonObject shown = bridge.projector(name);
                int read = 0;
                const bridge::ReadingTable table = bridge::readingTable();
                for (size_t i = 0; i < table.size(); ++i) {
                    if (!table[i].inState)
                        continue;
                    const QJsonValue v = shown[QLatin1String(table[i].key.data())];
                    QVERIFY2(v.isNull() || v == expected.at(qsizetype(i)),
                             qPrintable(QStringLiteral("%1 %2: %3")
                                            .arg(name, QLatin1String(table[i].key.data()),
                                                 QString::fromUtf8(QJsonDocument(QJsonArray{v}).toJson()))));
                    read += !v.isNull();
                }
                const bool late = !cases[c].lateLine.isEmpty() &&
                                  cases[c].lateLine.startsWith(QByteArray("A00") + char('0' + unit));
                const double lateCount =
                    sample(metrics, "kr7_late_replies_total{projector=\"" + name.toUtf8() + "\"}")
                        .value_or(-1);
                if (cases[c].allMs > 500) {
                    QCOMPARE(read, 0);
                    QVERIFY(lateCount >= 9);
                } else {
                    QVERIFY2(read >= 10, qPrintable(name)); // all but what the late reply would have said
                    QCOMPARE(lateCount > 0, late);
                }
            }
        }
    }

    // SIGHUP: a bad configuration changes nothing and says why; a good one keeps what stays (the line's port
    // stays open, the projector's counters go on), drops what is gone and starts what is new; the traffic
    // log is opened again, for log rotation.
    void reloadOnSighup() {
        auto hall = test::startSim({1, 2});
        auto foyer = test::startSim({1});
        auto annex = test::startSim({1});
        BridgeRun bridge;
        const QByteArray hallLine = "  - port: " + hall->devicePath().toUtf8() + "\n    projectors:\n";
        QVERIFY2(bridge.start("poll_interval: 1\nlines:\n" + hallLine +
                              "      - {name: left, unit: 1}\n      - {name: right, unit: 2}\n"
                              "  - port: " +
                              foyer->devicePath().toUtf8() +
                              "\n    projectors: [{name: foyer, unit: single}]\n"),
                 bridge.stderrText().constData());
        QTRY_VERIFY_WITH_TIMEOUT(
            bridge.available(QStringLiteral("right")) && bridge.available(QStringLiteral("foyer")), 20000);
        const auto exchanges = [&](const char *name) {
            return sample(bridge.metrics(), QByteArray("kr7_exchanges_total{projector=\"") + name + "\"}");
        };
        QFile config(bridge.path("bridge.yaml"));
        const auto rewrite = [&](const QByteArray &body) {
            QVERIFY(config.open(QIODevice::WriteOnly | QIODevice::Truncate));
            config.write("listen: 127.0.0.1:" + QByteArray::number(bridge.port) + "\n" + body);
            config.close();
            peers::signalProcess(bridge.process, SIGHUP);
        };

        rewrite("poll_interval: 1\nlines:\n  - port: /dev/ttyUSB0\n    projectors: [{name: x, unit: 7}]\n");
        QTRY_VERIFY(bridge.stderrText().contains(
            "SIGHUP: the configuration in force stays: " + config.fileName().toUtf8() + ":5:"));
        QTRY_COMPARE(sample(bridge.metrics(), "kr7_config_last_reload_successful"), std::optional<double>(0));
        QVERIFY(bridge.available(QStringLiteral("right")));

        QVERIFY(QFile::rename(bridge.path("traffic.log"), bridge.path("traffic.log.1")));
        const double before = exchanges("left").value_or(0);
        QVERIFY(before > 0);
        rewrite("poll_interval: 1\nlines:\n" + hallLine +
                "      - {name: left, unit: 1}\n"
                "  - port: " +
                annex->devicePath().toUtf8() + "\n    projectors: [{name: annex, unit: single}]\n");
        QTRY_COMPARE(sample(bridge.metrics(), "kr7_config_last_reload_successful"), std::optional<double>(1));
        QTRY_VERIFY_WITH_TIMEOUT(bridge.available(QStringLiteral("annex")), 20000);
        // Kept, not begun again: the count is every query the projector was ever sent (one may be on the
        // way).
        const auto sentToLeft = [&] {
            return double(std::count_if(hall->lines().begin(), hall->lines().end(),
                                        [](const QByteArray &l) { return l.startsWith("A001"); }));
        };
        QTRY_VERIFY(exchanges("left").value_or(0) > before);
        QTRY_VERIFY(std::abs(exchanges("left").value_or(0) - sentToLeft()) <= 1);
        QVERIFY(bridge.available(QStringLiteral("left")));
        const QByteArray metrics = bridge.metrics();
        QVERIFY(!metrics.contains("projector=\"right\""));
        QVERIFY(!metrics.contains("projector=\"foyer\""));
        QVERIFY(sample(metrics, "kr7_config_last_reload_success_timestamp_seconds").value_or(0) >
                double(QDateTime::currentSecsSinceEpoch() - 60));
        // The hall's line was never closed; the foyer's was, and the annex opened.
        QFile old(bridge.path("traffic.log.1")), fresh(bridge.path("traffic.log"));
        QVERIFY(old.open(QIODevice::ReadOnly) && fresh.open(QIODevice::ReadOnly));
        const QByteArray both = old.readAll() + fresh.readAll();
        QVERIFY(!both.contains(hall->devicePath().toUtf8() + "\tCLOSED"));
        QVERIFY(both.contains(foyer->devicePath().toUtf8() + "\tCLOSED"));
        QVERIFY(fresh.seek(0) &&
                fresh.readLine().contains("session start: kr7-bridge 1.40; log opened again"));
    }

    // --scan: the units that answer, at the speed they answer at, as a section that --check-config takes;
    // a silent port is said, a bad port name is exit status 2.
    void scanFindsTheProjectors() {
        auto hall = test::startSim({1, 2});
        auto old = test::startSim({7}); // answers lines without an address only
        old->faults.onlyBaud = 9600;
        auto mute = test::startSim({1});
        mute->faults.noReply = true;
        const auto run = [](const QStringList &ports) {
            QProcess p;
            p.start(qEnvironmentVariable("KR7_BRIDGE"), QStringList{QStringLiteral("--scan")} + ports);
            // Not waitForFinished: the simulated projectors answer on this thread's event loop.
            if (!QTest::qWaitFor([&] { return p.state() == QProcess::NotRunning; }, 30000))
                return std::pair{-1, QByteArray("(still running)")};
            return std::pair{p.exitCode(), p.readAllStandardOutput()};
        };
        const auto [status, section] = run({hall->devicePath(), old->devicePath(), mute->devicePath()});
        QCOMPARE(status, 0);
        const QByteArray h = hall->devicePath().section(QLatin1Char('/'), -1).toUtf8();
        const QByteArray o = old->devicePath().section(QLatin1Char('/'), -1).toUtf8();
        QVERIFY2(section.contains(
                     "  - port: '" + hall->devicePath().toUtf8() +
                     "'\n    speed: 19200\n    # a projector also answers without an address: the "
                     "numbered units are listed\n    projectors:\n      - {name: " +
                     h + "-1, unit: 1}  # Stand by\n      - {name: " + h + "-2, unit: 2}  # Stand by\n"),
                 section.constData());
        QVERIFY2(section.contains("  - port: '" + old->devicePath().toUtf8() +
                                  "'\n    speed: 9600\n    projectors:\n"
                                  "      - {name: " +
                                  o + ", unit: single}  # Stand by\n"),
                 section.constData());
        QVERIFY(section.contains("  # " + mute->devicePath().toUtf8() + ": no projector answered"));
        QTemporaryDir dir;
        QFile config(dir.filePath(QStringLiteral("scanned.yaml")));
        QVERIFY(config.open(QIODevice::WriteOnly));
        config.write(section);
        config.close();
        QProcess check;
        check.start(qEnvironmentVariable("KR7_BRIDGE"),
                    {QStringLiteral("--check-config"), QStringLiteral("--config"), config.fileName()});
        QVERIFY(check.waitForFinished(10000));
        QVERIFY2(check.exitCode() == 0, check.readAllStandardError().constData());
        QCOMPARE(run({mute->devicePath()}).first, 1);
        QCOMPARE(run({QStringLiteral("hall-gw:4001")}).first, 2);
    }

    // Under systemd (a notify socket in the environment): READY once it listens, the watchdog petted from
    // the event loop at half its interval, RELOADING and READY again around a SIGHUP, STOPPING at the end.
    void tellsSystemd() {
        QTemporaryDir dir;
        const QByteArray path = QFile::encodeName(dir.filePath(QStringLiteral("notify")));
        const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
        QVERIFY(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0);
        QByteArray said;
        const auto heard = [&](const QByteArray &what) {
            char buf[512];
            for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;)
                said += QByteArray(buf, n) + '\n';
            return said.count(what);
        };
        auto projector = test::startSim({1});
        BridgeRun bridge;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("NOTIFY_SOCKET"), QString::fromLocal8Bit(path));
        env.insert(QStringLiteral("WATCHDOG_USEC"), QStringLiteral("400000"));
        bridge.process.setProcessEnvironment(env);
        QVERIFY(bridge.start("lines:\n  - port: " + projector->devicePath().toUtf8() +
                             "\n    projectors: [{name: solo, unit: single}]\n"));
        QTRY_COMPARE(heard("READY=1"), 1);
        QTRY_VERIFY(heard("WATCHDOG=1") >= 4); // every 200 ms
        peers::signalProcess(bridge.process, SIGHUP);
        QTRY_COMPARE(heard("READY=1"), 2);
        QVERIFY(said.contains("RELOADING=1"));
        bridge.process.terminate();
        QTRY_COMPARE(heard("STOPPING=1"), 1);
        ::close(fd);
    }
};

QTEST_GUILESS_MAIN(TestBridge)
#include "tst_bridge.moc"
