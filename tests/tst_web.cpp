// The HTTP face secured as Prometheus' exporters are, and the console's commands: the web configuration's
// rules (bad files named with their line), Basic credentials and the failed-login limit, then a bridge on
// HTTPS with users and an operator: client certificates, 401/429, the roles and the page's token, a real
// Prometheus scraping over HTTPS with basic_auth, slow clients from a hundred addresses, a rotated
// certificate served without a restart.
#include "hostnames.h"
#include "peers.h"
#include "ser2net.h"
#include "support.h"
#include "webauth.h"
#include "webtls.h"

#include <QProcess>
#include <QRegularExpression>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>
#include <QTemporaryDir>

#include <memory>

using namespace kr7;
using namespace kr7::bridge;

namespace {

struct Reply {
    int status = 0;
    QByteArray head;
    QByteArray body;
    QSslCertificate certificate;
};

// Designated initializers name only what a request needs.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
struct Ask {
    QByteArray method = "GET";
    QByteArray path = "/metrics";
    QByteArray user, password;
    QByteArray body;
    QList<std::pair<QByteArray, QByteArray>> headers;
    QString from = QStringLiteral("127.0.0.1");
    QString clientCert, clientKey;
};

// One request on a connection of its own, over TLS, from the given loopback address.
Reply fetch(quint16 port, const Ask &a) {
    QSslSocket s;
    s.setPeerVerifyMode(QSslSocket::VerifyNone);
    if (!a.clientCert.isEmpty()) {
        s.setLocalCertificate(a.clientCert);
        s.setPrivateKey(a.clientKey);
    }
    s.bind(QHostAddress(a.from));
    s.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
    Reply r;
    if (!s.waitForEncrypted(5000))
        return r;
    r.certificate = s.peerCertificate();
    QByteArray request =
        a.method + ' ' + a.path + " HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port) +
        "\r\nConnection: close\r\nContent-Length: " + QByteArray::number(a.body.size()) + "\r\n";
    if (!a.user.isEmpty())
        request += "Authorization: Basic " + (a.user + ':' + a.password).toBase64() + "\r\n";
    for (const auto &[k, v] : a.headers)
        request += k + ": " + v + "\r\n";
    s.write(request + "\r\n" + a.body);
    QByteArray in;
    while (s.waitForReadyRead(5000))
        in += s.readAll();
    in += s.readAll();
    const qsizetype end = in.indexOf("\r\n\r\n");
    if (end < 0)
        return r;
    r.head = in.left(end);
    r.body = in.mid(end + 4);
    r.status = in.mid(9, 3).toInt();
    return r;
}

} // namespace

class TestWeb : public QObject {
    Q_OBJECT

  private slots:
    void badWebConfigs_data() {
        QTest::addColumn<QByteArray>("yaml");
        QTest::addColumn<QString>("error");
        const QByteArray hash = "$2y$10$" + QByteArray(53, 'a');
        QTest::newRow("unknown key") << QByteArray("basic_auth_user:\n  alice: x\n")
                                     << ":1:1: web config: unknown key";
        QTest::newRow("header not of the five")
            << QByteArray("http_server_config:\n  headers:\n    X-Powered-By: me\n")
            << ":3:5: headers: 'X-Powered-By' is not one of";
        QTest::newRow("not bcrypt") << QByteArray("basic_auth_users:\n  alice: secret\n")
                                    << ":2:10: basic_auth_users: alice: not a bcrypt hash";
        QTest::newRow("md5 hash") << QByteArray(
                                         "basic_auth_users:\n  alice: $apr1$abc$defghijklmnopqrstuvwx\n")
                                  << ":2:10: basic_auth_users: alice: not a bcrypt hash";
        QTest::newRow("operator no user")
            << "basic_auth_users: {alice: '" + hash + "'}\nkr7_operators: [bob]\n"
            << ":2:17: kr7_operators: 'bob' is not among basic_auth_users";
        QTest::newRow("rate limit") << QByteArray("rate_limit: {interval: 1s, burst: 10}\n")
                                    << ":1:13: 'rate_limit' is not supported by kr7-bridge";
        QTest::newRow("client auth without CA")
            << QByteArray("tls_server_config:\n  cert_file: CERT\n  key_file: KEY\n"
                          "  client_auth_type: RequireAndVerifyClientCert\n")
            << ":4:21: client_auth_type: RequireAndVerifyClientCert needs client_ca_file";
        QTest::newRow("old TLS")
            << QByteArray("tls_server_config: {cert_file: CERT, key_file: KEY, min_version: TLS11}\n")
            << "min_version: 'TLS11': TLS12 or TLS13";
        QTest::newRow("key of another")
            << QByteArray("tls_server_config:\n  cert_file: CERT\n  key_file: OTHER\n")
            << ":2:14: CERT and OTHER: the certificate does not match its key";
        QTest::newRow("unreadable cert")
            << QByteArray("tls_server_config:\n  cert_file: /nonexistent.crt\n  key_file: KEY\n")
            << ":2:14: cert_file /nonexistent.crt: No such file or directory";
        QTest::newRow("CA not a certificate")
            << QByteArray("tls_server_config:\n  cert_file: CERT\n  key_file: KEY\n  client_ca_file: KEY\n"
                          "  client_auth_type: RequireAndVerifyClientCert\n")
            << ":4:19: client_ca_file KEY: holds no PEM certificate";
    }
    void badWebConfigs() {
        QFETCH(QByteArray, yaml);
        QFETCH(QString, error);
        const QString cert = m_certs.file("server.crt"), key = m_certs.file("server.key");
        yaml.replace("CERT", cert.toUtf8())
            .replace("OTHER", m_certs.file("other.key").toUtf8())
            .replace("KEY", key.toUtf8());
        error.replace(QLatin1String("CERT"), cert)
            .replace(QLatin1String("OTHER"), m_certs.file("other.key"))
            .replace(QLatin1String("KEY"), key);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("web.yml"));
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(yaml) == yaml.size());
        f.close();
        const auto loaded = loadWebConfig(path);
        QVERIFY(std::holds_alternative<QString>(loaded));
        const QString got = std::get<QString>(loaded);
        QVERIFY2(got.startsWith(path + QLatin1Char(':')) && got.contains(error), qPrintable(got));
    }

    // Credentials and the failed-login limit, step by step on a made-up clock.
    void loginRules() {
        QCOMPARE(basicCredentials("Basic " + QByteArray("alice:pa:ss").toBase64())->password,
                 QByteArray("pa:ss"));
        QCOMPARE(basicCredentials("basic " + QByteArray("alice:").toBase64())->user, QStringLiteral("alice"));
        for (const QByteArray &bad :
             {QByteArray("Bearer abc"), QByteArray("Basic !!!"), "Basic " + QByteArray(":nouser").toBase64(),
              "Basic " + QByteArray("nocolon").toBase64()})
            QVERIFY2(!basicCredentials(bad), bad.constData());
        LoginLimiter l;
        for (int i = 0; i < 4; ++i)
            l.failed(QStringLiteral("a"), i * 1000);
        QVERIFY(!l.blocked(QStringLiteral("a"), 4000));
        l.failed(QStringLiteral("a"), 61000); // the first fell out of the minute
        QVERIFY(!l.blocked(QStringLiteral("a"), 61000));
        l.failed(QStringLiteral("a"), 61500);
        QVERIFY(!l.blocked(QStringLiteral("a"), 61500));
        l.failed(QStringLiteral("a"), 61600); // 2000, 3000, 61000, 61500, 61600
        QVERIFY(l.blocked(QStringLiteral("a"), 61600));
        QVERIFY(!l.blocked(QStringLiteral("b"), 61600));
        QVERIFY(l.blocked(QStringLiteral("a"), 121599));
        QVERIFY(!l.blocked(QStringLiteral("a"), 121600));
        QVERIFY(sameOrigin("https://127.0.0.1:9727", true, "127.0.0.1:9727"));
        QVERIFY(!sameOrigin("http://127.0.0.1:9727", true, "127.0.0.1:9727"));
        QVERIFY(!sameOrigin("https://evil.example", true, "127.0.0.1:9727"));
    }

    // The Host names served: IP literals with or without a port, localhost, the machine's and the configured
    // names; any other name is another site's (DNS rebinding).
    void servedHosts_data() {
        QTest::addColumn<QByteArray>("host");
        QTest::addColumn<bool>("served");
        const std::pair<const char *, bool> rows[] = {
            {"127.0.0.1:9727", true},
            {"127.0.0.1", true},
            {"10.0.0.20:9727", true},
            {"[::1]:9727", true},
            {"[fe80::1]", true},
            {"localhost", true},
            {"LOCALHOST:9727", true},
            {"kr7.venue.example", true},
            {"KR7.Venue.Example.:443", true},
            {"booth-pc", true},
            {"booth-pc.lan:9727", true},
            {"evil.example:9727", false},
            {"127.0.0.1.evil.example", false},
            {"localhost.evil.example", false},
            {"venue.example", false},
            {"", false},
            {"127.0.0.1:99999", false},
            {"127.0.0.1:", false},
            {"[::1", false},
            {"[::1]x", false},
            {"::1", false},
            {"user@127.0.0.1", false},
            {"127.0.0.1 :80", false},
            {"kr7.venue.example/x", false},
            {"[127.0.0.1]", false},
        };
        for (const auto &[host, served] : rows)
            QTest::newRow(*host ? host : "(empty)") << QByteArray(host) << served;
        QTest::newRow("a NUL in an IPv6 literal") << QByteArray("[::1\0\0]:9727", 13) << false;
    }
    void servedHosts() {
        QFETCH(QByteArray, host);
        QFETCH(bool, served);
        const ServedHosts hosts({QStringLiteral("kr7.venue.example")},
                                {QStringLiteral("booth-pc"), QStringLiteral("booth-pc.lan")});
        QCOMPARE(hosts.serves(host), served);
    }

    void initTestCase() { QVERIFY(m_certs.make()); }

    // A bridge on HTTPS with alice (operator) and bob (viewer).
    void securedBridge() {
        auto hall = test::startSim({1, 2});
        QTemporaryDir dir;
        const quint16 port = peers::Ser2net::freePort();
        const QString web = dir.filePath(QStringLiteral("web.yml"));
        const QString tlsCert = dir.filePath(QStringLiteral("tls.crt")),
                      tlsKey = dir.filePath(QStringLiteral("tls.key"));
        QVERIFY(QFile::copy(m_certs.file("server.crt"), tlsCert) &&
                QFile::copy(m_certs.file("server.key"), tlsKey));
        const QByteArray webYaml =
            "tls_server_config:\n  cert_file: " + tlsCert.toUtf8() + "\n  key_file: " + tlsKey.toUtf8() +
            "\nbasic_auth_users:\n  alice: " + peers::bcryptHash("wonder") +
            "\n  bob: " + peers::bcryptHash("builder") +
            "\nkr7_operators: [alice]\nhttp_server_config:\n  headers:\n"
            "    Strict-Transport-Security: max-age=31536000\n    X-Frame-Options: sameorigin\n";
        QFile w(web);
        QVERIFY(w.open(QIODevice::WriteOnly) && w.write(webYaml) == webYaml.size());
        w.close();
        QFile config(dir.filePath(QStringLiteral("bridge.yaml")));
        QVERIFY(config.open(QIODevice::WriteOnly));
        config.write("listen: 127.0.0.1:" + QByteArray::number(port) +
                     "\npoll_interval: 1\nlines:\n  - port: " + hall->devicePath().toUtf8() +
                     "\n    projectors:\n      - {name: hall-left, unit: 1}\n"
                     "      - {name: hall-right, unit: 2}\n");
        config.close();
        QProcess bridge;
        bridge.setProcessChannelMode(QProcess::ForwardedOutputChannel);
        bridge.start(qEnvironmentVariable("KR7_BRIDGE"), {QStringLiteral("--config"), config.fileName(),
                                                          QStringLiteral("--web.config.file"), web});
        QVERIFY(QTest::qWaitFor([&] { return peers::Peer::listening(port); }, 10000));

        // Users: none, right, wrong, unknown; configured headers replace the bridge's own.
        Reply r = fetch(port, {});
        QCOMPARE(r.status, 401);
        QVERIFY(r.head.contains("WWW-Authenticate: Basic"));
        r = fetch(port, {.user = "bob", .password = "builder"});
        QCOMPARE(r.status, 200);
        QVERIFY(r.body.contains("kr7_up"));
        for (const char *h :
             {"X-Content-Type-Options: nosniff", "X-Frame-Options: sameorigin",
              "Strict-Transport-Security: max-age=31536000", "Content-Security-Policy: default-src 'none'"})
            QVERIFY2(r.head.contains(h), h);
        QVERIFY(!r.head.contains("X-Frame-Options: deny"));
        QCOMPARE(fetch(port, {.user = "bob", .password = "wrong"}).status, 401);
        QCOMPARE(fetch(port, {.user = "nobody", .password = "builder"}).status, 401);

        // Five failures from one address: a minute of 429, the right password included; others go on.
        const QString greedy = QStringLiteral("127.0.2.9");
        for (int i = 0; i < 5; ++i)
            QCOMPARE(fetch(port, {.user = "alice", .password = "guess", .from = greedy}).status, 401);
        QCOMPARE(fetch(port, {.user = "alice", .password = "wonder", .from = greedy}).status, 429);
        QCOMPARE(fetch(port, {.user = "alice", .password = "wonder"}).status, 200);

        // The page: buttons and a token for alice, none for bob.
        const Reply alicePage = fetch(port, {.path = "/", .user = "alice", .password = "wonder"});
        const Reply bobPage = fetch(port, {.path = "/", .user = "bob", .password = "builder"});
        QVERIFY(alicePage.body.contains("name=\"kr7-operator\" content=\"yes\""));
        QVERIFY(bobPage.body.contains("name=\"kr7-operator\" content=\"no\""));
        const QByteArray token = QRegularExpression(QStringLiteral("kr7-token\" content=\"([0-9a-f]{64})\""))
                                     .match(QString::fromLatin1(alicePage.body))
                                     .captured(1)
                                     .toLatin1();
        QVERIFY(!token.isEmpty());

        // Commands: refused for a viewer, without the token, from a foreign page; carried out for alice.
        const QByteArray origin = "https://127.0.0.1:" + QByteArray::number(port);
        const auto post = [&](const QByteArray &user, const QByteArray &password, const QByteArray &t,
                              const QByteArray &from, const QByteArray &body = R"({"power": "OFF"})") {
            return fetch(
                port,
                {.method = "POST",
                 .path = "/api/projectors/hall-left",
                 .user = user,
                 .password = password,
                 .body = body,
                 .headers = {{"X-KR7-Token", t}, {"Origin", from}, {"Content-Type", "application/json"}}});
        };
        hall->clearReceived();
        QCOMPARE(post("bob", "builder", token, origin).status, 403);
        QCOMPARE(post("alice", "wonder", "", origin).status, 403);
        QCOMPARE(post("alice", "wonder", token, "https://evil.example").status, 403);
        r = post("alice", "wonder", token, origin, R"({"command": "C99 free text"})");
        QCOMPARE(r.status, 400);
        QVERIFY(r.body.contains("\"error\""));
        r = post("alice", "wonder", token, origin, R"({"input": 2})");
        QCOMPARE(r.status, 200);
        QVERIFY2(r.body.contains("\"line\":\"A001C06") && r.body.contains("\"replied\":"),
                 r.body.constData());
        QTRY_VERIFY(hall->lines().contains("A001C06")); // the simulator reads once the test's loop turns
        QVERIFY(!hall->lines().contains("A001C01"));    // a refused one would have gone out before it

        // Client certificates are not asked for here; a real Prometheus scrapes over HTTPS with basic_auth.
        peers::Prometheus prometheus;
        QFile secret(dir.filePath(QStringLiteral("scrape-password")));
        QVERIFY(secret.open(QIODevice::WriteOnly) && secret.write("builder\n") > 0);
        secret.close();
        QVERIFY2(prometheus.start(
                     QStringLiteral("127.0.0.1:%1").arg(port),
                     "    scheme: https\n    tls_config: {ca_file: " + m_certs.file("ca.crt").toUtf8() +
                         ", server_name: localhost}\n    basic_auth: {username: bob, password_file: " +
                         secret.fileName().toUtf8() + "}\n"),
                 qPrintable(prometheus.errorString()));
        QTRY_COMPARE_WITH_TIMEOUT(prometheus.value(QStringLiteral("kr7_up{projector=\"hall-right\"}")),
                                  std::optional<double>(1), 20000);

        // A hundred slow clients from a hundred addresses, each sending half a request: the scrapes go on.
        const auto answeredScrapes = [&] {
            return prometheus.value(QStringLiteral("sum_over_time(up{job=\"kr7\"}[1h])")).value_or(0);
        };
        const double before = answeredScrapes();
        std::vector<std::unique_ptr<QSslSocket>> slow;
        for (int i = 0; i < 100; ++i) {
            auto s = std::make_unique<QSslSocket>();
            s->setPeerVerifyMode(QSslSocket::VerifyNone);
            s->bind(QHostAddress(QStringLiteral("127.0.3.%1").arg(i + 1)));
            s->connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
            connect(s.get(), &QSslSocket::encrypted, s.get(),
                    [raw = s.get()] { raw->write("GET /metrics HTTP/1.1\r\n"); });
            slow.push_back(std::move(s));
        }
        QTRY_VERIFY_WITH_TIMEOUT(std::all_of(slow.begin(), slow.end(),
                                             [](const auto &s) {
                                                 return s->isEncrypted() ||
                                                        s->state() == QAbstractSocket::UnconnectedState;
                                             }),
                                 10000);
        QTRY_VERIFY_WITH_TIMEOUT(answeredScrapes() >= before + 4, 15000);
        QCOMPARE(prometheus.value(QStringLiteral("min_over_time(up{job=\"kr7\"}[3s])")),
                 std::optional<double>(1));
        QCOMPARE(fetch(port, {.user = "bob", .password = "builder"}).status, 200);
        slow.clear();

        // A rotated certificate is served without a restart.
        QCOMPARE(fetch(port, {.user = "bob", .password = "builder"})
                     .certificate.subjectInfo(QSslCertificate::CommonName),
                 QStringList{QStringLiteral("first")});
        QFile::remove(tlsCert);
        QFile::remove(tlsKey);
        QVERIFY(QFile::copy(m_certs.file("second.crt"), tlsCert) &&
                QFile::copy(m_certs.file("second.key"), tlsKey));
        QTRY_COMPARE_WITH_TIMEOUT(fetch(port, {.user = "bob", .password = "builder"})
                                      .certificate.subjectInfo(QSslCertificate::CommonName),
                                  QStringList{QStringLiteral("second")}, 5000);
        bridge.terminate();
        QVERIFY(bridge.waitForFinished(10000));
    }

    // Client certificates required: none is refused at the handshake, one of the CA is served.
    void clientCertificates() {
        auto hall = test::startSim({1});
        QTemporaryDir dir;
        const quint16 port = peers::Ser2net::freePort();
        QFile web(dir.filePath(QStringLiteral("web.yml")));
        QVERIFY(web.open(QIODevice::WriteOnly));
        web.write("tls_server_config:\n  cert_file: " + m_certs.file("server.crt").toUtf8() +
                  "\n  key_file: " + m_certs.file("server.key").toUtf8() +
                  "\n  client_auth_type: RequireAndVerifyClientCert\n"
                  "  client_ca_file: " +
                  m_certs.file("ca.crt").toUtf8() + "\n  min_version: TLS13\n");
        web.close();
        QFile config(dir.filePath(QStringLiteral("bridge.yaml")));
        QVERIFY(config.open(QIODevice::WriteOnly));
        config.write("listen: 127.0.0.1:" + QByteArray::number(port) + "\nweb_config_file: " +
                     web.fileName().toUtf8() + "\nlines:\n  - port: " + hall->devicePath().toUtf8() +
                     "\n    projectors: [{name: a, unit: 1}]\n");
        config.close();
        QProcess check;
        check.start(qEnvironmentVariable("KR7_BRIDGE"),
                    {QStringLiteral("--config"), config.fileName(), QStringLiteral("--check-config")});
        QVERIFY(check.waitForFinished(10000));
        QCOMPARE(check.exitCode(), 0);
        QProcess bridge;
        bridge.setProcessChannelMode(QProcess::ForwardedOutputChannel);
        bridge.start(qEnvironmentVariable("KR7_BRIDGE"), {QStringLiteral("--config"), config.fileName()});
        QVERIFY(QTest::qWaitFor([&] { return peers::Peer::listening(port); }, 10000));
        QCOMPARE(fetch(port, {}).status, 0);
        QCOMPARE(
            fetch(port, {.clientCert = m_certs.file("client.crt"), .clientKey = m_certs.file("client.key")})
                .status,
            200);
        bridge.terminate();
        QVERIFY(bridge.waitForFinished(10000));
    }

  private:
    peers::Certificates m_certs;
};

QTEST_GUILESS_MAIN(TestWeb)
#include "tst_web.moc"
