// The lamps on a played projector: a replacement seen in its hours and one an operator records, in /state,
// /metrics, the history, /api/lamps and kr7-bridge --lamps; and a lamp failure on the wire that reaches an
// e-mail through Debian's Prometheus (with the shipped rules) and Alertmanager, to an SMTP sink.
#include "peers.h"
#include "ser2net.h"
#include "support.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

using namespace kr7;

namespace {

struct Api : peers::ConsolePage {
    using ConsolePage::ConsolePage;
    QJsonObject state() const {
        return QJsonDocument::fromJson(call("GET", QStringLiteral("/state")).body).array().at(0).toObject();
    }
};

QByteArray lampsCli(const QString &config, const QStringList &more = {}) {
    QProcess p;
    p.start(qEnvironmentVariable("KR7_BRIDGE"),
            QStringList{QStringLiteral("--config"), config, QStringLiteral("--lamps")} + more);
    return p.waitForFinished(20000) && p.exitCode() == 0 ? p.readAllStandardOutput()
                                                         : "(failed) " + p.readAllStandardError();
}

} // namespace

class TestLamps : public QObject {
    Q_OBJECT

  private slots:
    void replacementSeenAndRecorded() {
        auto hall = test::startSim({1});
        hall->faults.replies.insert("CR3", "1900 1500 1000 0500\r");
        peers::BridgeProcess bridge;
        const quint16 port = peers::Ser2net::freePort();
        const QByteArray config =
            "listen: 127.0.0.1:" + QByteArray::number(port) +
            "\npoll_interval: 1\nlamps: {life_hours: 2000, warn_at: 0.9}\nhistory: {file: " +
            bridge.path(QStringLiteral("h.sqlite")).toUtf8() +
            "}\nlines:\n  - port: " + hall->devicePath().toUtf8() +
            "\n    projectors: [{name: hall, unit: single}]\n";
        QVERIFY2(bridge.start(config), bridge.stderrText().constData());
        Api api(port);
        QTRY_COMPARE_WITH_TIMEOUT(api.state()[QLatin1String("lamp_remaining_hours")],
                                  QJsonValue(QJsonArray{100, 500, 1000, 1500}), 10000);
        QVERIFY(
            api.state()[QLatin1String("alarms")].toArray().contains(QStringLiteral("lamp 1 near its end")));
        QCOMPARE(
            api.state()[QLatin1String("lamp_forecast_end")],
            QJsonValue(QJsonArray{QJsonValue::Null, QJsonValue::Null, QJsonValue::Null, QJsonValue::Null}));

        // A new lamp 1: its hours fall from 1900 to 3.
        hall->faults.replies.insert("CR3", "0003 1500 1000 0500\r");
        const QString today = QDate::currentDate().toString(Qt::ISODate);
        QTRY_COMPARE_WITH_TIMEOUT(api.state()[QLatin1String("lamp_replaced")].toArray().at(0),
                                  QJsonValue(today), 10000);
        QVERIFY(
            !api.state()[QLatin1String("alarms")].toArray().contains(QStringLiteral("lamp 1 near its end")));
        QVERIFY(bridge.stderrText().contains("projector hall: lamp 1 replaced (1900 h, now 3 h)"));
        QVERIFY(api.call("GET", QStringLiteral("/metrics"))
                    .body.contains("kr7_lamp_replacements_total{projector=\"hall\",lamp=\"1\"} 1\n"));
        const auto lampEvents = [&] {
            return QJsonDocument::fromJson(api.call("GET", QStringLiteral("/api/history?kind=lamp")).body)
                .object()[QLatin1String("events")]
                .toArray();
        };
        QTRY_VERIFY_WITH_TIMEOUT(!lampEvents().isEmpty(), 5000);
        const QJsonObject seen = lampEvents().at(0)[QLatin1String("details")].toObject();
        QCOMPARE(seen[QLatin1String("from")], 1900);
        QCOMPARE(seen[QLatin1String("to")], 3);

        // What an operator records, and what is refused.
        const struct {
            const char *path, *body;
            int status;
            const char *said;
        } rows[] = {
            {"/api/projectors/hall/lamps/1",
             R"({"replaced": "%1", "serial": "KR-7731", "note": "after the opera"})", 200,
             "\"serial\":\"KR-7731\""},
            {"/api/projectors/hall/lamps/2", R"({"replaced": "2026-11-30"})", 200,
             "\"replaced\":\"2026-11-30\""},
            {"/api/projectors/hall/lamps/5", R"({"replaced": "2026-11-30"})", 400, "lamp '5': 1, 2, 3 or 4"},
            {"/api/projectors/nowhere/lamps/1", R"({"replaced": "2026-11-30"})", 404,
             "no projector named 'nowhere'"},
            {"/api/projectors/hall/lamps/1", R"({"replaced": "2999-01-01"})", 400, "is after today"},
            {"/api/projectors/hall/lamps/1", R"({"serial": "x"})", 400, "replaced: a date"},
            {"/api/projectors/hall/lamps", R"({"replaced": "2026-11-30"})", 404,
             "/api/projectors/NAME/lamps/1-4"},
        };
        for (const auto &r : rows) {
            const auto [status, body] =
                api.call("POST", QString::fromLatin1(r.path),
                         QString::fromLatin1(r.body).replace(QLatin1String("%1"), today).toUtf8());
            QVERIFY2(status == r.status && body.contains(r.said), body.constData());
        }
        {
            Api stranger(port);
            stranger.token = "0000";
            QCOMPARE(stranger
                         .call("POST", QStringLiteral("/api/projectors/hall/lamps/1"),
                               R"({"replaced": "2026-11-30"})")
                         .status,
                     403);
        }
        const QJsonObject s = api.state();
        QCOMPARE(s[QLatin1String("lamp_replaced")],
                 QJsonValue(QJsonArray{today, "2026-11-30", QJsonValue::Null, QJsonValue::Null}));
        QVERIFY(api.call("GET", QStringLiteral("/metrics"))
                    .body.contains(
                        "kr7_lamp_replacements_total{projector=\"hall\",lamp=\"1\"} 1\n")); // the same one
        const QJsonArray lamps =
            QJsonDocument::fromJson(api.call("GET", QStringLiteral("/api/lamps")).body).array();
        QCOMPARE(lamps.size(), 4);
        QCOMPARE(lamps[0][QLatin1String("lamp")], 2); // 500 h left: the soonest
        QCOMPARE(lamps[3][QLatin1String("lamp")], 1);
        QCOMPARE(lamps[3][QLatin1String("serial")], QLatin1String("KR-7731"));

        // The report, from the running service and then from the file alone.
        const QString file = bridge.path(QStringLiteral("bridge.yaml"));
        const QList<QByteArray> text = lampsCli(file).trimmed().split('\n');
        QVERIFY2(text.size() == 5 && text[0].startsWith("projector") &&
                     QRegularExpression(QStringLiteral("^hall +2 +1500 +2000 +500 "))
                         .match(QString::fromUtf8(text[1]))
                         .hasMatch() &&
                     text[4].contains("KR-7731"),
                 text.join('\n').constData());
        bridge.process.terminate();
        QVERIFY(bridge.process.waitForFinished(10000));
        const QList<QByteArray> csv = lampsCli(file, {QStringLiteral("--csv")}).trimmed().split('\n');
        QVERIFY2(csv.size() == 5 &&
                     csv[0] ==
                         "projector,lamp,hours,life_hours,remaining_hours,forecast_end,replaced,serial\r" &&
                     csv.join('\n').contains(",2000,") && csv.join('\n').contains("KR-7731"),
                 csv.join('\n').constData());
        // Ten days of lamp 4 burning 10 h a day, as the history's samples: its forecast end is 150 days on.
        QByteArray sql = "BEGIN;";
        const qint64 last = QDateTime::currentMSecsSinceEpoch() - 60000;
        for (int d = 0; d <= 10; ++d)
            sql += "INSERT INTO samples(at, projector, lamp4_hours) VALUES(" +
                   QByteArray::number(last - qint64(10 - d) * 86400000) + ", 'hall', " +
                   QByteArray::number(400 + 10 * d) + ");";
        QProcess sqlite;
        sqlite.start(QStringLiteral("sqlite3"),
                     {bridge.path(QStringLiteral("h.sqlite")), QString::fromLatin1(sql + "COMMIT;")});
        QVERIFY(sqlite.waitForFinished(10000) && sqlite.exitCode() == 0);
        const QString end =
            QDateTime::fromMSecsSinceEpoch(last + 150LL * 86400000).date().toString(Qt::ISODate);
        const QByteArray forecast = lampsCli(file, {QStringLiteral("--csv")});
        QVERIFY2(forecast.contains("hall,4,500,2000,1500," + end.toUtf8() + ","), forecast.constData());
    }

    // Power code 21 on the wire; Prometheus scrapes it every second and evaluates the shipped rules;
    // Alertmanager mails it at once.
    void lampFailureReachesMail() {
        auto hall = test::startSim({1});
        peers::SmtpSink sink;
        QVERIFY2(sink.start(), qPrintable(sink.errorString()));
        peers::Alertmanager alertmanager;
        QVERIFY2(
            alertmanager.start("route: {receiver: mail, group_by: [alertname, projector], group_wait: 1s, "
                               "group_interval: 5s, repeat_interval: 1h}\nreceivers:\n  - name: mail\n"
                               "    email_configs: [{to: booth@venue.example, from: alerts@venue.example, "
                               "smarthost: '127.0.0.1:" +
                               QByteArray::number(sink.port()) + "', require_tls: false}]\n"),
            qPrintable(alertmanager.errorString()));
        peers::BridgeProcess bridge;
        const quint16 port = peers::Ser2net::freePort();
        QVERIFY2(bridge.start(
                     "listen: 127.0.0.1:" + QByteArray::number(port) +
                     "\npoll_interval: 1\nhistory: off\nlines:\n  - port: " + hall->devicePath().toUtf8() +
                     "\n    projectors: [{name: hall, unit: single}]\n"),
                 bridge.stderrText().constData());
        peers::Prometheus prometheus;
        QVERIFY2(prometheus.start(QStringLiteral("127.0.0.1:%1").arg(port), {},
                                  "rule_files: ['" QT_TESTCASE_SOURCEDIR "/../data/kr7-bridge.rules.yml']\n"
                                  "alerting: {alertmanagers: [{static_configs: [{targets: ['127.0.0.1:" +
                                      QByteArray::number(alertmanager.port()) + "']}]}]}\n"),
                 qPrintable(prometheus.errorString()));
        QTRY_VERIFY_WITH_TIMEOUT(prometheus.value(QStringLiteral("kr7_power_status_code")).has_value(),
                                 20000);
        QElapsedTimer clock;
        clock.start();
        hall->faults.replies.insert("CR0", "21\r");
        QTRY_VERIFY_WITH_TIMEOUT(sink.errors().contains("ProjectorLampFailure"), 60000);
        qInfo("a lamp failure on the wire reached the mail sink in %lld ms",
              static_cast<long long>(clock.elapsed()));
        const QByteArray mail = sink.errors();
        QVERIFY2(mail.contains("hall") && mail.contains("booth@venue.example") && mail.contains("FIRING"),
                 mail.right(2000).constData());
        QVERIFY(!mail.contains("ProjectorTemperatureWarning"));
    }
};

QTEST_GUILESS_MAIN(TestLamps)
#include "tst_lamps.moc"
