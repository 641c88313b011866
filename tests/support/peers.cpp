#include "peers.h"

#include "ser2net.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QUrlQuery>

#include <csignal>

#include <crypt.h>
#include <memory>

namespace kr7::peers {

Peer::Peer(QString program) : m_program(find(program)) {}

Peer::~Peer() {
    stop();
}

QString Peer::find(const QString &name) {
    return QStandardPaths::findExecutable(name, {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin"),
                                                 QStringLiteral("/sbin"), QStringLiteral("/bin")});
}

bool Peer::listening(quint16 port) {
    QFile table(QStringLiteral("/proc/net/tcp"));
    if (!table.open(QIODevice::ReadOnly))
        return false;
    // "0100007F:PPPP 00000000:0000 0A": 127.0.0.1, the port, listening.
    const QByteArray local = "0100007F:" + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    return table.readAll().contains(local + " 00000000:0000 0A");
}

quint16 Peer::choosePort() {
    if (!m_port)
        m_port = Ser2net::freePort();
    return m_port;
}

bool Peer::writeFile(const QString &file, const QByteArray &text) {
    QFile f(path(file));
    if (!f.open(QIODevice::WriteOnly) || f.write(text) != text.size()) {
        m_error = QStringLiteral("cannot write %1").arg(f.fileName());
        return false;
    }
    return true;
}

QByteArray Peer::errors() {
    m_errors += m_process.readAll();
    return m_errors;
}

bool Peer::launch(const QStringList &arguments) {
    if (m_program.isEmpty()) {
        m_error = QStringLiteral("not installed (scripts/setup installs it)");
        return false;
    }
    if (!m_port)
        m_port = Ser2net::freePort();
    m_process.setProcessChannelMode(QProcess::MergedChannels); // what it says, wherever it says it
    m_process.start(m_program, arguments);
    if (!m_process.waitForStarted(5000)) {
        m_error = m_process.errorString();
        return false;
    }
    QElapsedTimer waited;
    waited.start();
    while (!listening(m_port)) {
        if (waited.elapsed() > 15000 || m_process.state() == QProcess::NotRunning) {
            m_error = QStringLiteral("%1 did not listen on port %2: %3")
                          .arg(m_program)
                          .arg(m_port)
                          .arg(QString::fromLocal8Bit(errors().right(2000)));
            return false;
        }
        QThread::msleep(20);
    }
    return true;
}

void Peer::kill() {
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.kill();
    m_process.waitForFinished(5000);
    errors();
}

void Peer::stop() {
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(10000))
        kill();
    errors();
}

Prometheus::Prometheus() : Peer(QStringLiteral("prometheus")) {}

bool Prometheus::start(const QString &target, const QByteArray &job, const QByteArray &top) {
    if (!m_port)
        m_port = Ser2net::freePort();
    const QByteArray config = top +
                              "global: {scrape_interval: 1s, scrape_timeout: 1s, evaluation_interval: 1s}\n"
                              "scrape_configs:\n"
                              "  - job_name: kr7\n    static_configs: [{targets: ['" +
                              target.toUtf8() + "']}]\n" + job;
    if (!writeFile(QStringLiteral("prometheus.yml"), config))
        return false;
    return launch({QStringLiteral("--config.file=") + path(QStringLiteral("prometheus.yml")),
                   QStringLiteral("--storage.tsdb.path=") + path(QStringLiteral("data")),
                   QStringLiteral("--web.listen-address=127.0.0.1:%1").arg(m_port),
                   QStringLiteral("--log.level=warn")});
}

std::optional<double> Prometheus::value(const QString &query) {
    QUrl url(QStringLiteral("http://127.0.0.1:%1/api/v1/query").arg(m_port));
    QUrlQuery q;
    q.addQueryItem(QStringLiteral("query"), QString::fromLatin1(QUrl::toPercentEncoding(query)));
    url.setQuery(q);
    const HttpReply reply = httpRequest(url);
    const QJsonArray result = QJsonDocument::fromJson(reply.body)
                                  .object()[QLatin1String("data")][QLatin1String("result")]
                                  .toArray();
    if (result.size() != 1)
        return std::nullopt;
    // [timestamp, "value"]
    bool ok = false;
    const double v = result[0][QLatin1String("value")][1].toString().toDouble(&ok);
    return ok ? std::optional<double>(v) : std::nullopt;
}

Alertmanager::Alertmanager() : Peer(QStringLiteral("prometheus-alertmanager")) {}

bool Alertmanager::start(const QByteArray &config) {
    if (!writeFile(QStringLiteral("alertmanager.yml"), config))
        return false;
    return launch({QStringLiteral("--config.file=") + path(QStringLiteral("alertmanager.yml")),
                   QStringLiteral("--storage.path=") + path(QStringLiteral("data")),
                   QStringLiteral("--web.listen-address=127.0.0.1:%1").arg(choosePort()),
                   QStringLiteral("--cluster.listen-address="), QStringLiteral("--log.level=warn")});
}

// Debian's Python: a python3 first on the PATH may lack Debian's packages.
SmtpSink::SmtpSink() : Peer(QStringLiteral("/usr/bin/python3")) {}

bool SmtpSink::start() {
    return launch({QStringLiteral("-u"), QStringLiteral("-m"), QStringLiteral("aiosmtpd"),
                   QStringLiteral("-n"), QStringLiteral("-l"),
                   QStringLiteral("127.0.0.1:%1").arg(choosePort())});
}

Mosquitto::Mosquitto() : Peer(QStringLiteral("mosquitto")) {}

bool Mosquitto::start(const QString &user, const QString &password, const std::optional<Tls> &tls,
                      const QByteArray &extra) {
    if (!m_port)
        m_port = Ser2net::freePort();
    // set_tcp_nodelay: small messages go at once rather than after the peer's delayed ACK (40 ms).
    QByteArray config =
        "persistence false\nset_tcp_nodelay true\nlistener " + QByteArray::number(m_port) + " 127.0.0.1\n";
    if (tls) {
        // Started as root, Mosquitto reads its files as its own user, after dropping root.
        for (const QString &f : {tls->certFile, tls->keyFile})
            QFile::setPermissions(f, QFile::permissions(f) | QFile::ReadOther);
        config += "certfile " + tls->certFile.toUtf8() + "\nkeyfile " + tls->keyFile.toUtf8() + "\n";
        if (!m_plainPort)
            m_plainPort = Ser2net::freePort();
        config += "listener " + QByteArray::number(m_plainPort) + " 127.0.0.1\n";
    }
    config += extra;
    config += user.isEmpty() || tls ? "allow_anonymous true\n" : "allow_anonymous false\n";
    if (!user.isEmpty()) {
        const QString file = path(QStringLiteral("passwords"));
        QProcess passwd;
        passwd.start(find(QStringLiteral("mosquitto_passwd")),
                     {QStringLiteral("-c"), QStringLiteral("-b"), file, user, password});
        if (!passwd.waitForFinished(10000) || passwd.exitCode() != 0) {
            m_error = QStringLiteral("mosquitto_passwd failed: ") +
                      QString::fromLocal8Bit(passwd.readAllStandardError());
            return false;
        }
        // Started as root, Mosquitto reads the file as its own user, after dropping root.
        QFile::setPermissions(m_dir.path(),
                              QFile::permissions(m_dir.path()) | QFile::ExeOther | QFile::ReadOther);
        QFile::setPermissions(file, QFile::permissions(file) | QFile::ReadOther);
        config += "password_file " + file.toUtf8() + "\n";
    }
    if (!writeFile(QStringLiteral("mosquitto.conf"), config))
        return false;
    return launch({QStringLiteral("-c"), path(QStringLiteral("mosquitto.conf"))});
}

QByteArray bcryptHash(const QByteArray &password) {
    char salt[CRYPT_GENSALT_OUTPUT_SIZE];
    auto data = std::make_unique<crypt_data>();
    if (!crypt_gensalt_rn("$2y$", 10, nullptr, 0, salt, sizeof salt))
        return {};
    const char *hash = crypt_rn(password.constData(), salt, data.get(), sizeof *data);
    return hash && hash[0] == '$' ? QByteArray(hash) : QByteArray();
}

HttpReply httpRequest(const QUrl &url, const QByteArray &method, const QByteArray &body, int timeoutMs,
                      const QList<std::pair<QByteArray, QByteArray>> &headers) {
    QNetworkAccessManager manager;
    QNetworkRequest request(url);
    request.setTransferTimeout(timeoutMs);
    for (const auto &[name, value] : headers)
        request.setRawHeader(name, value);
    QNetworkReply *reply = manager.sendCustomRequest(request, method, body);
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(timeoutMs + 1000, &loop, &QEventLoop::quit);
    loop.exec();
    HttpReply r;
    if (reply->isFinished()) {
        r.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        r.body = reply->readAll();
    }
    reply->abort();
    delete reply;
    return r;
}

ConsolePage::ConsolePage(quint16 p) : port(p) {
    token = QRegularExpression(QStringLiteral("kr7-token\" content=\"([0-9a-f]{64})\""))
                .match(QString::fromLatin1(call("GET", QStringLiteral("/")).body))
                .captured(1)
                .toLatin1();
}

HttpReply ConsolePage::call(const QByteArray &method, const QString &path, const QByteArray &body) const {
    QList<std::pair<QByteArray, QByteArray>> headers{{"Content-Type", "application/json"}};
    if (!token.isEmpty())
        headers.append({"X-KR7-Token", token});
    return httpRequest(QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(path)), method, body, 20000,
                       headers);
}

} // namespace kr7::peers

namespace kr7::peers {

namespace {

bool run(const QString &program, const QStringList &arguments, const QString &dir) {
    QProcess p;
    p.setWorkingDirectory(dir);
    p.start(program, arguments);
    return p.waitForFinished(30000) && p.exitCode() == 0;
}

} // namespace

bool Certificates::make() {
    const QString o = QStringLiteral("openssl");
    const auto sign = [&](const char *name, const char *cn) {
        const QString n = QString::fromLatin1(name);
        return run(o,
                   {"req", "-newkey", "rsa:2048", "-nodes", "-keyout", n + ".key", "-out", n + ".csr",
                    "-subj", QStringLiteral("/CN=%1").arg(QLatin1String(cn))},
                   dir.path()) &&
               run(o,
                   {"x509", "-req", "-in", n + ".csr", "-CA", "ca.crt", "-CAkey", "ca.key", "-CAcreateserial",
                    "-days", "2", "-out", n + ".crt", "-extfile", "san.cnf"},
                   dir.path());
    };
    QFile san(file("san.cnf"));
    return san.open(QIODevice::WriteOnly) && san.write("subjectAltName=DNS:localhost,IP:127.0.0.1\n") > 0 &&
           (san.close(), true) &&
           run(o,
               {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.crt",
                "-days", "2", "-subj", "/CN=kr7 test CA"},
               dir.path()) &&
           sign("server", "first") && sign("second", "second") && sign("client", "client") &&
           run(o, {"genrsa", "-out", "other.key", "2048"}, dir.path());
}

bool PjlinkController::open(const QString &host, quint16 port) {
    socket.connectToHost(host, port);
    return socket.waitForConnected(5000);
}

QByteArray PjlinkController::line(int ms) {
    (void)QTest::qWaitFor(
        [&] {
            in += socket.readAll();
            return in.contains('\r') || socket.state() != QAbstractSocket::ConnectedState;
        },
        ms);
    in += socket.readAll();
    const qsizetype cr = in.indexOf('\r');
    if (cr < 0)
        return {};
    const QByteArray l = in.left(cr);
    in.remove(0, cr + 1);
    return l;
}

QByteArray PjlinkController::ask(const QByteArray &request, int ms) {
    socket.write(request + '\r');
    return line(ms);
}

bool PjlinkController::closedByPeer(int ms) {
    return QTest::qWaitFor([&] { return socket.state() == QAbstractSocket::UnconnectedState; }, ms);
}

QByteArray PjlinkController::session(const QString &host, quint16 port, const QByteArray &password,
                                     const QByteArray &firstRequest) {
    if (!open(host, port))
        return {};
    const QByteArray greeting = line();
    if (!greeting.startsWith("PJLINK "))
        return {};
    const QByteArray digest =
        greeting.startsWith("PJLINK 1 ")
            ? QCryptographicHash::hash(greeting.mid(9) + password, QCryptographicHash::Md5).toHex()
            : QByteArray();
    return ask(digest + firstRequest);
}

BridgeProcess::BridgeProcess() = default;

BridgeProcess::~BridgeProcess() {
    process.kill();
    process.waitForFinished(10000);
}

bool BridgeProcess::writeFile(const QString &file, const QByteArray &text) const {
    QFile f(path(file));
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(text) == text.size();
}

bool BridgeProcess::start(const QByteArray &config, const QStringList &arguments) {
    if (!writeFile(QStringLiteral("bridge.yaml"), config))
        return false;
    process.start(qEnvironmentVariable("KR7_BRIDGE"),
                  QStringList{QStringLiteral("--config"), path(QStringLiteral("bridge.yaml"))} + arguments);
    return QTest::qWaitFor([&] { return stderrText().contains(" started: "); }, 15000);
}

void signalProcess(const QProcess &process, int signal) {
    const qint64 pid = process.processId();
    if (process.state() == QProcess::Running && pid > 0)
        ::kill(pid_t(pid), signal);
}

void BridgeProcess::reload(const QByteArray &config) {
    writeFile(QStringLiteral("bridge.yaml"), config);
    signalProcess(process, SIGHUP);
}

const QByteArray &BridgeProcess::stderrText() {
    err += process.readAllStandardError();
    return err;
}

} // namespace kr7::peers
