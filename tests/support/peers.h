#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUrl>

#include <optional>

namespace kr7::peers {

// A server of Debian's that a test or a benchmark starts for itself: on 127.0.0.1 and a port that was free,
// with files it writes into a folder of its own, stopped by its PID when done with (or destroyed).
class Peer {
  public:
    explicit Peer(QString program);
    virtual ~Peer();
    Peer(const Peer &) = delete;
    Peer &operator=(const Peer &) = delete;

    quint16 port() const { return m_port; }
    // The port it will listen on, chosen now if it is not yet (to point a client at it before it starts).
    quint16 choosePort();
    const QString &errorString() const { return m_error; }
    QString path(const QString &file) const { return m_dir.filePath(file); }
    bool writeFile(const QString &file, const QByteArray &text);
    // Ends it at once (SIGKILL); start() brings it back on the same port.
    void kill();
    void stop();
    bool isRunning() const { return m_process.state() != QProcess::NotRunning; }
    // What it wrote on standard error so far.
    QByteArray errors();

    static QString find(const QString &name);
    // Whether something listens on 127.0.0.1:port, from the kernel's table (no connection is made).
    static bool listening(quint16 port);

  protected:
    // Starts the program and waits (at most 15 s) until it listens on port().
    bool launch(const QStringList &arguments);

    QString m_program;
    QTemporaryDir m_dir;
    QProcess m_process;
    quint16 m_port = 0;
    QString m_error;
    QByteArray m_errors;
};

// Debian's Prometheus, scraping one target every second; job: more settings of the scrape job, each line
// indented by four (scheme, tls_config, basic_auth).
class Prometheus : public Peer {
  public:
    Prometheus();
    // top: more settings of its own (rule_files, alerting), at the top level; rules are evaluated every
    // second.
    bool start(const QString &target, const QByteArray &job = QByteArray(),
               const QByteArray &top = QByteArray());
    // The value of an instant query that yields one series; nothing while it yields none.
    std::optional<double> value(const QString &query);
};

// Debian's Alertmanager, without clustering, on the configuration given.
class Alertmanager : public Peer {
  public:
    Alertmanager();
    bool start(const QByteArray &config);
};

// An SMTP server that takes every mail and prints it (Debian's python3-aiosmtpd); what it printed so far is
// errors().
class SmtpSink : public Peer {
  public:
    SmtpSink();
    bool start();
};

// Debian's Mosquitto (MQTT 3.1.1 and 5): anonymous, or with one user from a password file. With TLS, its
// listener takes TLS with this certificate and key, and a second, plain listener (plainPort()) takes
// anonymous clients beside the user.
class Mosquitto : public Peer {
  public:
    struct Tls {
        QString certFile, keyFile;
    };
    Mosquitto();
    bool start(const QString &user = QString(), const QString &password = QString(),
               const std::optional<Tls> &tls = std::nullopt, const QByteArray &extra = QByteArray());
    quint16 plainPort() const { return m_plainPort; }

  private:
    quint16 m_plainPort = 0;
};

// A bcrypt hash of password ($2y$, cost 10), as htpasswd -nBC 10 makes one for a web configuration.
QByteArray bcryptHash(const QByteArray &password);

// A GET (or another method) to url on the loopback, waited for on the event loop: status and body; status 0
// when no answer came within timeoutMs.
struct HttpReply {
    int status = 0;
    QByteArray body;
};
HttpReply httpRequest(const QUrl &url, const QByteArray &method = "GET", const QByteArray &body = {},
                      int timeoutMs = 5000, const QList<std::pair<QByteArray, QByteArray>> &headers = {});

// The bridge's API as a page of its console uses it: with the token of the page it served (no users: loopback
// only) and JSON bodies.
struct ConsolePage {
    quint16 port;
    QByteArray token;
    explicit ConsolePage(quint16 port);
    HttpReply call(const QByteArray &method, const QString &path, const QByteArray &body = {}) const;
};

// A CA, two server certificates it signs (for a rotation; localhost and 127.0.0.1), a client certificate, and
// a key that matches none, made by openssl in a folder of their own: ca.crt, server.crt/key, second.crt/key,
// client.crt/key, other.key.
struct Certificates {
    QTemporaryDir dir;
    QString file(const char *name) const { return dir.filePath(QString::fromLatin1(name)); }
    bool make();
};

// A PJLink controller: connects, reads the greeting, sends requests one line each, reads one reply per
// request (each a line ending in CR), on the caller's event loop.
struct PjlinkController {
    QTcpSocket socket;
    QByteArray in;

    bool open(const QString &host, quint16 port);
    // The next line the projector sent, without its CR; empty when none came in time.
    QByteArray line(int ms = 5000);
    QByteArray ask(const QByteArray &request, int ms = 5000);
    bool closedByPeer(int ms = 5000);
    // Connected, the greeting read and, with a password, the digest sent with the first request: its reply.
    QByteArray session(const QString &host, quint16 port, const QByteArray &password,
                       const QByteArray &firstRequest);
};

// Sends a signal to a child only while it runs: a process id of 0 (a child that has already ended) would
// signal the test's own process group, and CTest with it.
void signalProcess(const QProcess &process, int signal);

// kr7-bridge started on a configuration the test writes, in a folder of its own; killed when done with.
struct BridgeProcess {
    QTemporaryDir dir;
    QProcess process;
    QByteArray err;

    BridgeProcess();
    ~BridgeProcess();
    QString path(const QString &file) const { return dir.filePath(file); }
    bool writeFile(const QString &file, const QByteArray &text) const;
    // Writes bridge.yaml and starts with it (and these further arguments); true once it said it started.
    bool start(const QByteArray &config, const QStringList &arguments = {});
    // bridge.yaml written anew, and SIGHUP.
    void reload(const QByteArray &config);
    const QByteArray &stderrText();
};

} // namespace kr7::peers
