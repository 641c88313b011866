// The history against a real SQLite file: every kind of event from every face, read back through /api/history
// and kr7-bridge --history; filters, pages written while read, CSV; and the faults a file meets: damaged, of
// a newer schema, a read-only directory, a full disk, the bridge killed in a burst, rows past their days or
// the file's size.
#include "mqttpeers.h"
#include "peers.h"
#include "ser2net.h"
#include "support.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrlQuery>

#include <csignal>
#include <sys/resource.h>
#include <unistd.h>

using namespace kr7;

namespace {

qint64 nowMs() {
    return QDateTime::currentMSecsSinceEpoch();
}

// A connection of the test's own to a history file: another program, as a migration or an import would be.
struct File {
    QString name = QStringLiteral("test-%1").arg(quintptr(this));
    explicit File(const QString &path) {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(path);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
        db.open();
    }
    ~File() {
        QSqlDatabase::database(name, false).close();
        QSqlDatabase::removeDatabase(name);
    }
    QSqlDatabase db() const { return QSqlDatabase::database(name, false); }
    // The first column of the first row, as text.
    QString one(const QString &sql) const {
        QSqlQuery q(db());
        return q.exec(sql) && q.next() ? q.value(0).toString()
                                       : QStringLiteral("(%1)").arg(q.lastError().text());
    }
    bool exec(const QString &sql) const {
        QSqlQuery q(db());
        return q.exec(sql);
    }
    // An event as another program writes it.
    bool event(qint64 at, const QString &projector, const QString &kind, const QString &origin,
               const QJsonObject &details) const {
        QSqlQuery q(db());
        q.prepare(QStringLiteral(
            "INSERT INTO events(at, projector, line, kind, origin, details) VALUES(?, ?, ?, ?, ?, ?)"));
        q.addBindValue(at);
        q.addBindValue(projector);
        q.addBindValue(QStringLiteral("/dev/ttyUSB0"));
        q.addBindValue(kind);
        q.addBindValue(origin.isEmpty() ? QVariant(QMetaType(QMetaType::QString)) : QVariant(origin));
        q.addBindValue(QString::fromUtf8(QJsonDocument(details).toJson(QJsonDocument::Compact)));
        return q.exec();
    }
};

// GET of the bridge's API as JSON (or its raw body), with optional headers.
peers::HttpReply get(quint16 port, const QString &pathAndQuery) {
    return peers::httpRequest(QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(pathAndQuery)));
}
QJsonArray eventsOf(quint16 port, const QString &query) {
    return QJsonDocument::fromJson(get(port, QStringLiteral("/api/history?") + query).body)
        .object()[QLatin1String("events")]
        .toArray();
}

// The fields of an RFC 4180 text, record by record.
QList<QStringList> parseCsv(const QByteArray &text) {
    QList<QStringList> records;
    QStringList record;
    QString field;
    bool quoted = false;
    const QString s = QString::fromUtf8(text);
    for (qsizetype i = 0; i < s.size(); ++i) {
        const QChar c = s[i];
        if (quoted) {
            if (c == QLatin1Char('"') && i + 1 < s.size() && s[i + 1] == QLatin1Char('"'))
                field += c, ++i;
            else if (c == QLatin1Char('"'))
                quoted = false;
            else
                field += c;
        } else if (c == QLatin1Char('"')) {
            quoted = true;
        } else if (c == QLatin1Char(',')) {
            record << std::exchange(field, {});
        } else if (c == QLatin1Char('\r') && i + 1 < s.size() && s[i + 1] == QLatin1Char('\n')) {
            record << std::exchange(field, {});
            records << std::exchange(record, {});
            ++i;
        } else {
            field += c;
        }
    }
    return records;
}

// A command as the console sends it: with the token of the page this bridge served (no users: loopback only).
struct Console {
    quint16 port;
    QByteArray token;
    explicit Console(quint16 p) : port(p) {
        token = QRegularExpression(QStringLiteral("kr7-token\" content=\"([0-9a-f]{64})\""))
                    .match(QString::fromLatin1(get(port, QStringLiteral("/")).body))
                    .captured(1)
                    .toLatin1();
    }
    QByteArray post(const QByteArray &body) const {
        QNetworkAccessManager m;
        QNetworkRequest r(QUrl(QStringLiteral("http://127.0.0.1:%1/api/projectors/hall-a").arg(port)));
        r.setRawHeader("X-KR7-Token", token);
        r.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
        QNetworkReply *reply = m.post(r, body);
        (void)QTest::qWaitFor([&] { return reply->isFinished(); }, 10000);
        const QByteArray out = reply->readAll();
        delete reply;
        return out;
    }
};

QByteArray historyCli(const QString &config, const QStringList &args) {
    QProcess p;
    p.start(qEnvironmentVariable("KR7_BRIDGE"),
            QStringList{QStringLiteral("--config"), config, QStringLiteral("--history")} + args);
    return p.waitForFinished(20000) && p.exitCode() == 0 ? p.readAllStandardOutput()
                                                         : "(failed) " + p.readAllStandardError();
}

bool root() {
    return ::geteuid() == 0;
}

// A folder the bridge cannot write into, and then can again: root writes everywhere but into an immutable
// folder (chattr +i); anyone else is kept out by the mode.
bool setWritable(const QString &dir, bool writable) {
    if (root()) {
        QProcess chattr;
        chattr.start(QStringLiteral("chattr"), {writable ? QStringLiteral("-i") : QStringLiteral("+i"), dir});
        return chattr.waitForFinished(10000) && chattr.exitCode() == 0;
    }
    return QFile::setPermissions(dir, writable ? QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                               : QFile::ReadOwner | QFile::ExeOwner);
}

} // namespace

class TestHistory : public QObject {
    Q_OBJECT

  private slots:
    // Commands from the console (a user, an address), MQTT (its topic) and PJLink (its address); the power,
    // input, lamps, a projector down and up, a line lost and back, a pause; an alarm raised and cleared; the
    // service started, reloaded and stopped: each read back through the API and the command line.
    void everyKindFromEveryFace() {
        auto hall = test::startSim({1});
        peers::Mosquitto broker;
        QVERIFY2(broker.start(), qPrintable(broker.errorString()));
        QTcpServer gateway; // a gateway the test holds: the annex's line goes when the test lets it go
        QVERIFY(gateway.listen(QHostAddress::LocalHost));
        QList<QTcpSocket *> gatewayed;
        connect(&gateway, &QTcpServer::newConnection, this,
                [&] { gatewayed << gateway.nextPendingConnection(); });
        peers::BridgeProcess bridge;
        const quint16 port = peers::Ser2net::freePort(), pj = peers::Ser2net::freePort();
        QVERIFY(bridge.writeFile(QStringLiteral("web.yml"),
                                 "basic_auth_users:\n  alice: " + peers::bcryptHash("wonder") +
                                     "\nkr7_operators: [alice]\n"));
        const QString file = bridge.path(QStringLiteral("history.sqlite"));
        const QByteArray config =
            "listen: 127.0.0.1:" + QByteArray::number(port) +
            "\npoll_interval: 1\noffline_after: 1\nweb_config_file: " +
            bridge.path(QStringLiteral("web.yml")).toUtf8() + "\nhistory: {file: " + file.toUtf8() +
            "}\nlines:\n  - port: " + hall->devicePath().toUtf8() +
            "\n    projectors: [{name: hall-a, unit: single, pjlink: {listen: '127.0.1.61:" +
            QByteArray::number(pj) +
            "'}}]\n  - port: tcp://127.0.0.1:" + QByteArray::number(gateway.serverPort()) +
            "\n    projectors: [{name: annex, unit: single}]\nmqtt: {host: 127.0.0.1, port: " +
            QByteArray::number(broker.port()) + "}\n";
        QVERIFY2(bridge.start(config), bridge.stderrText().constData());
        peers::Subscriber events(broker.port(), {QStringLiteral("kr7/+/event")});
        QTRY_VERIFY_WITH_TIMEOUT(bridge.stderrText().contains("projector hall-a: up") &&
                                     bridge.stderrText().contains("mqtt: connected"),
                                 20000);
        const QByteArray alice = "Basic " + QByteArray("alice:wonder").toBase64();
        const auto api = [&](const QByteArray &method, const QString &path, const QByteArray &body = {},
                             const QList<std::pair<QByteArray, QByteArray>> &headers = {}) {
            QNetworkAccessManager m;
            QNetworkRequest r(QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(path)));
            r.setRawHeader("Authorization", alice);
            for (const auto &[k, v] : headers)
                r.setRawHeader(k, v);
            QNetworkReply *reply = m.sendCustomRequest(r, method, body);
            (void)QTest::qWaitFor([&] { return reply->isFinished(); }, 10000);
            const QByteArray out = reply->readAll();
            delete reply;
            return out;
        };
        const QByteArray token = QRegularExpression(QStringLiteral("kr7-token\" content=\"([0-9a-f]{64})\""))
                                     .match(QString::fromLatin1(api("GET", QStringLiteral("/"))))
                                     .captured(1)
                                     .toLatin1();
        QVERIFY(!token.isEmpty());
        const auto console = [&](const QByteArray &body) {
            return api("POST", QStringLiteral("/api/projectors/hall-a"), body,
                       {{"X-KR7-Token", token}, {"Content-Type", "application/json"}});
        };
        QVERIFY(console(R"({"input": 2})").contains("\"replied\":true"));
        QVERIFY(console(R"({"power": "ON"})").contains("\"replied\":true"));
        peers::mqttPublish(broker.port(), QStringLiteral("kr7/hall-a/set"), R"({"command": "C0D"})");
        {
            peers::PjlinkController c;
            c.socket.bind(QHostAddress(QStringLiteral("127.0.7.1")));
            QCOMPARE(c.session(QStringLiteral("127.0.1.61"), pj, {}, "%1INPT 13"), QByteArray("%1INPT=OK"));
        }
        QTRY_VERIFY(hall->lines().contains("C07"));
        QVERIFY(console(R"({"pause": 1})").contains("\"accepted\":true"));
        QTRY_VERIFY_WITH_TIMEOUT(bridge.stderrText().contains("pause over"), 10000);
        hall->faults.replies.insert("CR0", "08\r"); // a temperature warning while on
        QTRY_VERIFY_WITH_TIMEOUT(api("GET", QStringLiteral("/state")).contains("\"temperature warning\""),
                                 10000);
        hall->faults.replies.remove("CR0");
        QTRY_VERIFY_WITH_TIMEOUT(!api("GET", QStringLiteral("/state")).contains("\"temperature warning\""),
                                 10000);
        QTRY_VERIFY(gatewayed.size() == 1);
        delete gatewayed.takeFirst(); // the annex's gateway goes; it comes back by itself
        QTRY_VERIFY_WITH_TIMEOUT(gatewayed.size() == 1, 15000);
        bridge.reload(config);
        QTRY_VERIFY(bridge.stderrText().contains("reload: "));

        // Every kind, and each command with who sent it.
        const auto all = [&](const QString &query) {
            return QJsonDocument::fromJson(api("GET", QStringLiteral("/api/history?limit=1000&") + query))
                .object()[QLatin1String("events")]
                .toArray();
        };
        const auto has = [&](const QJsonArray &events, const std::function<bool(const QJsonObject &)> &pred) {
            return std::any_of(events.begin(), events.end(),
                               [&](const QJsonValue &v) { return pred(v.toObject()); });
        };
        const auto detail = [](const QJsonObject &e, const char *key) {
            return e[QLatin1String("details")][QLatin1String(key)];
        };
        QTRY_VERIFY_WITH_TIMEOUT(
            has(all(QStringLiteral("kind=service")),
                [&](const QJsonObject &e) { return detail(e, "event") == QLatin1String("reload"); }),
            10000);
        const QJsonArray commands = all(QStringLiteral("kind=command"));
        QVERIFY(has(commands, [&](const QJsonObject &e) {
            const QJsonObject o = detail(e, "origin").toObject();
            return e[QLatin1String("origin")] == QLatin1String("console") &&
                   o[QLatin1String("user")] == QLatin1String("alice") &&
                   o[QLatin1String("address")] == QLatin1String("127.0.0.1") &&
                   detail(e, "line") == QLatin1String("C06 CR") &&
                   detail(e, "reply") == QLatin1String("ACK") &&
                   e[QLatin1String("projector")] == QLatin1String("hall-a");
        }));
        QVERIFY(has(commands, [&](const QJsonObject &e) {
            return e[QLatin1String("origin")] == QLatin1String("mqtt") &&
                   detail(e, "origin")[QLatin1String("topic")] == QLatin1String("kr7/hall-a/set") &&
                   detail(e, "request")[QLatin1String("command")] == QLatin1String("C0D");
        }));
        QVERIFY(has(commands, [&](const QJsonObject &e) {
            return e[QLatin1String("origin")] == QLatin1String("pjlink") &&
                   detail(e, "origin")[QLatin1String("address")] == QLatin1String("127.0.7.1") &&
                   detail(e, "line") == QLatin1String("C07 CR");
        }));
        const QJsonArray states = all(QStringLiteral("kind=state"));
        for (const char *change :
             {"input", "power", "lamp", "down", "up", "pause begun", "pause ended", "line lost", "line up"})
            QVERIFY2(has(states,
                         [&](const QJsonObject &e) { return detail(e, "change") == QLatin1String(change); }),
                     change);
        QVERIFY(has(states, [&](const QJsonObject &e) {
            return detail(e, "change") == QLatin1String("input") && detail(e, "from") == 1 &&
                   detail(e, "to") == 2;
        }));
        QVERIFY(has(states, [&](const QJsonObject &e) {
            return detail(e, "change") == QLatin1String("power") &&
                   detail(e, "to")[QLatin1String("text")] == QLatin1String("Temperature Warning(Power ON)");
        }));
        const QJsonArray alarms = all(QStringLiteral("kind=alarm&projector=hall-a"));
        for (const bool raised : {true, false})
            QVERIFY2(has(alarms,
                         [&](const QJsonObject &e) {
                             return detail(e, "alarm") == QLatin1String("temperature warning") &&
                                    detail(e, "raised") == raised;
                         }),
                     QJsonDocument(all(QString())).toJson().constData());
        QVERIFY(all(QStringLiteral("origin=pjlink")).size() == 1);
        // MQTT told each event as it happened, not retained.
        QVERIFY(events.waitFor(QStringLiteral("kr7/hall-a/event"), [](const peers::Message &m) {
            return !m.retained && m.json()[QLatin1String("kind")] == QLatin1String("command");
        }));
        QVERIFY(!events.on(QStringLiteral("kr7/bridge/event")).isEmpty());

        bridge.process.terminate();
        QVERIFY(bridge.process.waitForFinished(10000));
        // The command line reads the same file, oldest first.
        const QByteArray said = historyCli(bridge.path(QStringLiteral("bridge.yaml")),
                                           {QStringLiteral("--kind"), QStringLiteral("service")});
        const QList<QByteArray> lines = said.trimmed().split('\n');
        QVERIFY2(lines.size() == 3 && lines[0].contains("\"event\":\"started\"") &&
                     lines[1].contains("\"reload\"") && lines[2].contains("\"stopped\""),
                 said.constData());
        const QByteArray pjlink = historyCli(bridge.path(QStringLiteral("bridge.yaml")),
                                             {QStringLiteral("--origin"), QStringLiteral("pjlink")});
        QVERIFY2(pjlink.count('\n') == 1 && pjlink.contains("127.0.7.1"), pjlink.constData());
    }

    // Rows another program writes are read as the bridge's own; each filter; pages that hold, while new
    // events are written, neither an event twice nor a gap; CSV quoted as RFC 4180 says and safe in a
    // spreadsheet; a bad parameter named.
    void filtersPagesAndCsv() {
        auto hall = test::startSim({1});
        peers::BridgeProcess bridge;
        const quint16 port = peers::Ser2net::freePort();
        const QString path = bridge.path(QStringLiteral("history.sqlite"));
        QVERIFY2(bridge.start("listen: 127.0.0.1:" + QByteArray::number(port) + "\nhistory: {file: " +
                              path.toUtf8() + "}\nlines:\n  - port: " + hall->devicePath().toUtf8() +
                              "\n    projectors: [{name: hall-a, unit: single}]\n"),
                 bridge.stderrText().constData());
        QTRY_VERIFY(QFile::exists(path));
        File file(path);
        QTRY_COMPARE(file.one(QStringLiteral("PRAGMA user_version")), QStringLiteral("1"));
        const qint64 day = 86400000, t0 = nowMs() - 10 * day;
        const QString tricky = QStringLiteral("a, \"quoted\"\nline");
        for (int i = 0; i < 40; ++i)
            QVERIFY(file.event(t0 + i * 3600000, i % 2 ? QStringLiteral("hall-a") : QStringLiteral("foyer"),
                               i % 4 == 0 ? QStringLiteral("command") : QStringLiteral("state"),
                               i % 4 == 0 ? QStringLiteral("mqtt") : QString(),
                               {{QStringLiteral("note"), i == 5 ? tricky : QString::number(i)}}));
        QVERIFY(file.event(t0, QStringLiteral("=cmd|' /C calc'!A0"), QStringLiteral("state"), {}, {}));
        // Each filter.
        QCOMPARE(eventsOf(port, QStringLiteral("projector=foyer&limit=1000")).size(), 20);
        QCOMPARE(eventsOf(port, QStringLiteral("kind=command&origin=mqtt&limit=1000")).size(), 10);
        const QString since =
            QDateTime::fromMSecsSinceEpoch(t0 + 10 * 3600000, Qt::UTC).toString(Qt::ISODate);
        const QString until =
            QDateTime::fromMSecsSinceEpoch(t0 + 20 * 3600000).toOffsetFromUtc(3600).toString(Qt::ISODate);
        QCOMPARE(eventsOf(port, QStringLiteral("projector=foyer&since=%1&until=%2")
                                    .arg(QString::fromLatin1(QUrl::toPercentEncoding(since)),
                                         QString::fromLatin1(QUrl::toPercentEncoding(until))))
                     .size(),
                 5); // hours 10, 12, 14, 16, 18
        // Pages of 7 of hall-a's, with new ones written between the pages: each event once, none left out.
        const QJsonArray first = eventsOf(port, QStringLiteral("projector=hall-a&limit=7"));
        QCOMPARE(first.size(), 7);
        QList<qint64> seen;
        for (const QJsonValue &e : first)
            seen << qint64(e[QLatin1String("id")].toDouble());
        QJsonValue next =
            QJsonDocument::fromJson(get(port, QStringLiteral("/api/history?projector=hall-a&limit=7")).body)
                .object()[QLatin1String("next")];
        while (!next.isNull()) {
            QVERIFY(file.event(nowMs(), QStringLiteral("hall-a"), QStringLiteral("state"), {}, {}));
            const QJsonObject page =
                QJsonDocument::fromJson(
                    get(port, QStringLiteral("/api/history?projector=hall-a&limit=7&before=%1")
                                  .arg(qint64(next.toDouble())))
                        .body)
                    .object();
            for (const QJsonValue &e : page[QLatin1String("events")].toArray())
                seen << qint64(e[QLatin1String("id")].toDouble());
            next = page[QLatin1String("next")];
        }
        const QString topId = QString::number(seen.first());
        QCOMPARE(
            QString::number(seen.size()),
            file.one(QStringLiteral("SELECT count(*) FROM events WHERE projector = 'hall-a' AND id <= ") +
                     topId));
        QVERIFY(std::is_sorted(seen.rbegin(), seen.rend()) &&
                std::adjacent_find(seen.begin(), seen.end()) == seen.end());
        // CSV, by parameter and by Accept: the same events as JSON, every field whole.
        const QJsonArray json = eventsOf(port, QStringLiteral("limit=1000"));
        const qint64 top = qint64(json[0][QLatin1String("id")].toDouble());
        const peers::HttpReply csv =
            get(port, QStringLiteral("/api/history?limit=1000&format=csv&before=%1").arg(top + 1));
        QVERIFY(csv.status == 200);
        const QList<QStringList> records = parseCsv(csv.body);
        QCOMPARE(records.first(),
                 QStringList({"id", "at", "projector", "line", "kind", "origin", "details"}));
        QCOMPARE(records.size() - 1, json.size());
        for (qsizetype i = 0; i < json.size(); ++i) {
            const QJsonObject e = json[i].toObject();
            QCOMPARE(records[i + 1][0], QString::number(qint64(e[QLatin1String("id")].toDouble())));
            QCOMPARE(QJsonDocument::fromJson(records[i + 1][6].toUtf8()).object(),
                     e[QLatin1String("details")].toObject());
        }
        QVERIFY(std::any_of(records.begin(), records.end(), [](const QStringList &r) {
            return r[2] == QLatin1String("'=cmd|' /C calc'!A0");
        }));
        QVERIFY(csv.body.contains(R"("{""note"":""a, \""quoted\""\nline""}")"));
        QNetworkAccessManager m;
        QNetworkRequest byAccept(QUrl(QStringLiteral("http://127.0.0.1:%1/api/history?limit=3").arg(port)));
        byAccept.setRawHeader("Accept", "text/csv");
        QNetworkReply *r = m.get(byAccept);
        QTRY_VERIFY(r->isFinished());
        QVERIFY(
            r->header(QNetworkRequest::ContentTypeHeader).toString().startsWith(QLatin1String("text/csv")));
        QCOMPARE(parseCsv(r->readAll()).size(), 4);
        delete r;
        // Samples, as another program wrote them.
        QVERIFY(file.exec(
            QStringLiteral("INSERT INTO samples VALUES(%1, 'hall-a', '00', 1234, 1201, NULL, 1010, 36.5, "
                           "47.5, 1013)")
                .arg(nowMs() - day)));
        const QJsonArray samples =
            QJsonDocument::fromJson(get(port, QStringLiteral("/api/samples?projector=hall-a")).body)
                .object()[QLatin1String("samples")]
                .toArray();
        QCOMPARE(samples.size(), 1);
        QCOMPARE(samples[0][QLatin1String("lamp_hours")],
                 QJsonValue(QJsonArray{1234, 1201, QJsonValue(), 1010}));
        QCOMPARE(samples[0][QLatin1String("temperature")], QJsonValue(QJsonArray{36.5, 47.5}));
        const QList<QStringList> samplesCsv =
            parseCsv(get(port, QStringLiteral("/api/samples?projector=hall-a&format=csv")).body);
        QCOMPARE(samplesCsv.size(), 2);
        QCOMPARE(samplesCsv[1].mid(2),
                 QStringList({"00", "1234", "1201", "", "1010", "36.5", "47.5", "1013"}));
        // Bad parameters: 400, naming the one.
        const std::pair<const char *, const char *> bad[] = {
            {"/api/history?limit=0", "'limit'"},
            {"/api/history?limit=1001", "'limit'"},
            {"/api/history?since=yesterday", "'since'"},
            {"/api/history?until=2026-12-09T10:00", "'until'"},
            {"/api/history?kind=gossip", "'kind'"},
            {"/api/history?colour=red", "'colour'"},
            {"/api/history?projector=Hall%20A", "'projector'"},
            {"/api/history?before=x", "'before'"},
            {"/api/history?limit=1&limit=2", "'limit'"},
            {"/api/samples", "'projector'"},
            {"/api/samples?projector=hall-a&format=xml", "'format'"}};
        for (const auto &[query, named] : bad) {
            const peers::HttpReply reply = get(port, QString::fromLatin1(query));
            QVERIFY2(reply.status == 400 && reply.body.contains(named), query);
        }
        QCOMPARE(get(port, QStringLiteral("/api/samples?projector=attic")).status, 404);
    }

    // A file that is no database is moved aside, never deleted, and a new one begun; one of a newer schema is
    // left alone; a folder that cannot be written, then can: the rows wait and are written; a full disk that
    // frees up: the same; killed in a burst: the file is whole and holds all but the last second; old rows
    // and an oversized file are pruned while the bridge runs.
    void faults() {
        std::vector<std::unique_ptr<sim::ProjectorSim>> sims; // a projector for each bridge
        const auto configOf = [&](peers::BridgeProcess &, quint16 port, const QByteArray &history) {
            sims.push_back(test::startSim({1}));
            return "listen: 127.0.0.1:" + QByteArray::number(port) + "\nhistory: " + history +
                   "\nlines:\n  - port: " + sims.back()->devicePath().toUtf8() +
                   "\n    projectors: [{name: hall-a, unit: single}]\n";
        };
        // Pruning takes a minute to begin: its bridge first, looked at last. 2000 events and 1000 samples
        // past their days, and 3 MB of recent events in a file allowed 1 MB.
        peers::BridgeProcess pruned;
        const QString prunedPath = pruned.path(QStringLiteral("history.sqlite"));
        {
            peers::BridgeProcess maker; // a file of the bridge's own schema, filled by another program
            const quint16 p = peers::Ser2net::freePort();
            QVERIFY(maker.start(configOf(maker, p, "{file: " + prunedPath.toUtf8() + "}")));
            QTRY_VERIFY(QFile::exists(prunedPath));
            maker.process.terminate();
            QVERIFY(maker.process.waitForFinished(10000));
            File f(prunedPath);
            QVERIFY(f.db().transaction());
            const qint64 old = nowMs() - 500LL * 86400000, oldSamples = nowMs() - 40LL * 86400000;
            for (int i = 0; i < 2000; ++i)
                QVERIFY(f.event(old + i, QStringLiteral("hall-a"), QStringLiteral("state"), {}, {}));
            for (int i = 0; i < 1000; ++i)
                QVERIFY(f.exec(QStringLiteral("INSERT INTO samples(at, projector) VALUES(%1, 'hall-a')")
                                   .arg(oldSamples + i)));
            const QString pad(1000, QLatin1Char('x'));
            for (int i = 0; i < 3000; ++i)
                QVERIFY(f.event(nowMs() - 3600000 + i, QStringLiteral("hall-a"), QStringLiteral("state"), {},
                                {{QStringLiteral("pad"), pad}, {QStringLiteral("n"), i}}));
            QVERIFY(f.db().commit());
        }
        const quint16 prunedPort = peers::Ser2net::freePort();
        QVERIFY(pruned.start(configOf(pruned, prunedPort, "{file: " + prunedPath.toUtf8() + ", max_mb: 1}")));

        // Damaged: moved aside, a new one begun.
        {
            peers::BridgeProcess b;
            const QString path = b.path(QStringLiteral("history.sqlite"));
            QVERIFY(b.writeFile(QStringLiteral("history.sqlite"), QByteArray(8192, 'z')));
            const quint16 port = peers::Ser2net::freePort();
            QVERIFY2(b.start(configOf(b, port, "{file: " + path.toUtf8() + "}")), b.stderrText().constData());
            QTRY_VERIFY(b.stderrText().contains("is damaged ("));
            const QStringList aside =
                QDir(b.dir.path()).entryList({QStringLiteral("history.sqlite.damaged-*")}, QDir::Files);
            QCOMPARE(aside.size(), 1);
            QCOMPARE(QFile(b.dir.filePath(aside.first())).size(), 8192);
            QTRY_VERIFY(!eventsOf(port, QStringLiteral("kind=service")).isEmpty());
        }
        // A newer schema: read, never written.
        {
            peers::BridgeProcess b;
            const QString path = b.path(QStringLiteral("history.sqlite"));
            {
                File f(path);
                QVERIFY(f.exec(QStringLiteral(
                            "CREATE TABLE events(id INTEGER PRIMARY KEY, at INTEGER, projector TEXT, "
                            "line TEXT, kind TEXT, origin TEXT, details TEXT, weather TEXT)")) &&
                        f.event(nowMs(), QStringLiteral("hall-a"), QStringLiteral("state"), {}, {}) &&
                        f.exec(QStringLiteral("PRAGMA user_version = 99")));
            }
            const quint16 port = peers::Ser2net::freePort();
            QVERIFY(b.start(configOf(b, port, "{file: " + path.toUtf8() + "}")));
            QTRY_VERIFY(b.stderrText().contains("newer than this program's (1); it is read, never written"));
            QTRY_VERIFY_WITH_TIMEOUT(b.stderrText().contains("projector hall-a: up"), 15000);
            QCOMPARE(eventsOf(port, QString()).size(), 1); // read
            b.process.terminate();
            QVERIFY(b.process.waitForFinished(10000));
            File f(path);
            QCOMPARE(f.one(QStringLiteral("SELECT count(*) FROM events")), QStringLiteral("1"));
            QCOMPARE(f.one(QStringLiteral("PRAGMA user_version")), QStringLiteral("99"));
        }
        // A folder that cannot be written into: said once, counted, rows kept; written once it can be.
        {
            peers::BridgeProcess b;
            const QString dir = b.path(QStringLiteral("state"));
            QVERIFY(QDir().mkpath(dir) && setWritable(dir, false));
            const quint16 port = peers::Ser2net::freePort();
            QVERIFY(b.start(configOf(b, port, "{file: " + dir.toUtf8() + "/history.sqlite}")));
            QTRY_VERIFY(b.stderrText().contains("cannot be written: "));
            QTRY_VERIFY(peers::httpRequest(QUrl(QStringLiteral("http://127.0.0.1:%1/metrics").arg(port)))
                            .body.contains("kr7_history_write_errors_total 1\n"));
            QVERIFY(setWritable(dir, true));
            QTRY_VERIFY_WITH_TIMEOUT(b.stderrText().contains("is written again"), 15000);
            QCOMPARE(b.stderrText().count("cannot be written: "), 1);
            File f(dir + QStringLiteral("/history.sqlite"));
            QTRY_VERIFY(
                f.one(QStringLiteral("SELECT count(*) FROM events WHERE kind = 'service' AND details LIKE "
                                     "'%started%'")) == QLatin1String("1"));
        }
        // A full disk (here: a limit on the size of the files the bridge may write) that frees up again.
        {
            peers::BridgeProcess b;
            const QString path = b.path(QStringLiteral("history.sqlite"));
            const quint16 port = peers::Ser2net::freePort();
            std::signal(SIGXFSZ,
                        SIG_IGN); // inherited: a write past the limit then fails as a full disk would
            QVERIFY(b.start(configOf(b, port, "{file: " + path.toUtf8() + "}")));
            std::signal(SIGXFSZ, SIG_DFL);
            QTRY_VERIFY(!eventsOf(port, QStringLiteral("kind=service")).isEmpty());
            QTRY_VERIFY_WITH_TIMEOUT(b.stderrText().contains("projector hall-a: up"), 15000);
            const rlimit full{rlim_t(QFileInfo(path).size() + QFileInfo(path + "-wal").size()),
                              RLIM_INFINITY};
            QVERIFY(::prlimit(pid_t(b.process.processId()), RLIMIT_FSIZE, &full, nullptr) == 0);
            const Console console(port);
            for (int i = 0; i < 200; ++i)
                QVERIFY2(console.post(R"({"refresh": true})").contains("\"accepted\":true"),
                         b.stderrText().constData());
            QTRY_VERIFY_WITH_TIMEOUT(b.stderrText().contains("cannot write "), 10000);
            const rlimit room{RLIM_INFINITY, RLIM_INFINITY};
            QVERIFY(::prlimit(pid_t(b.process.processId()), RLIMIT_FSIZE, &room, nullptr) == 0);
            QTRY_VERIFY_WITH_TIMEOUT(b.stderrText().contains("is written again"), 15000);
            File f(path);
            QTRY_COMPARE(f.one(QStringLiteral("SELECT count(*) FROM events WHERE kind = 'command'")),
                         QStringLiteral("200"));
        }
        // Killed in a burst of commands: the file is whole and holds every command answered a second before.
        {
            peers::BridgeProcess b;
            const QString path = b.path(QStringLiteral("history.sqlite"));
            const quint16 port = peers::Ser2net::freePort();
            QVERIFY(b.start(configOf(b, port, "{file: " + path.toUtf8() + "}")));
            QList<qint64> answered;
            QElapsedTimer burst;
            burst.start();
            QTRY_VERIFY_WITH_TIMEOUT(b.stderrText().contains("projector hall-a: up"), 15000);
            const Console console(port);
            while (burst.elapsed() < 3000)
                if (console.post(R"({"refresh": true})").contains("\"accepted\":true"))
                    answered << nowMs();
            peers::signalProcess(b.process, SIGKILL);
            const qint64 killed = nowMs();
            QVERIFY(b.process.waitForFinished(10000));
            File f(path);
            QCOMPARE(f.one(QStringLiteral("PRAGMA integrity_check")), QStringLiteral("ok"));
            const qsizetype early =
                std::count_if(answered.begin(), answered.end(), [&](qint64 t) { return t <= killed - 1000; });
            QVERIFY2(
                f.one(QStringLiteral("SELECT count(*) FROM events WHERE kind = 'command'")).toLongLong() >=
                    early,
                qPrintable(QStringLiteral("%1 answered a second before the kill").arg(early)));
            QVERIFY(early > 20);
        }
        // Pruned by days and by size, the oldest first.
        QTRY_VERIFY_WITH_TIMEOUT(
            QFileInfo(prunedPath).size() + QFileInfo(prunedPath + "-wal").size() <= 1 << 20, 60000);
        File f(prunedPath);
        QTRY_COMPARE(
            f.one(
                QStringLiteral("SELECT count(*) FROM events WHERE at < %1").arg(nowMs() - 400LL * 86400000)),
            QStringLiteral("0"));
        QCOMPARE(f.one(QStringLiteral("SELECT count(*) FROM samples")), QStringLiteral("0"));
        QCOMPARE(f.one(QStringLiteral("SELECT count(*) FROM events WHERE details LIKE '%\"n\":2999%'")),
                 QStringLiteral("1")); // the newest stay
        QVERIFY(f.one(QStringLiteral("SELECT count(*) FROM events WHERE details LIKE '%\"n\":0,%'")) ==
                QLatin1String("0")); // the oldest went first
        QTRY_VERIFY(peers::httpRequest(QUrl(QStringLiteral("http://127.0.0.1:%1/metrics").arg(prunedPort)))
                        .body.contains("kr7_history_rows{table=\"samples\"} 0\n"));
    }
};

QTEST_GUILESS_MAIN(TestHistory)
#include "tst_history.moc"
