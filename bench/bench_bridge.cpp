// Measures kr7-bridge on a large venue: 256 simulated projectors (64 lines of 4 units, each line its own
// pseudo-terminal) polled every 10 s, while a scraper asks /metrics 10 times a second. Prints the bridge's
// CPU, its peak memory, the scrape latency and how many rounds each projector was asked. Asserts nothing.
//
//   bench_bridge [--lines N] [--seconds N] [--interval S] [--history] [--changes PERCENT] [--command-rate N]
//   bench_bridge --history-queries
//   bench_bridge --schedule [--lines N]
#include "benchutil.h"
#include "historydb.h"
#include "peers.h"
#include "procstat.h"
#include "projectorsim.h"
#include "ser2net.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <arpa/inet.h>
#include <cstring>
#include <memory>
#include <mosquitto.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <string>
#include <sys/socket.h>

using namespace bench;

namespace {

// A TCP connection to 127.0.0.1:port (blocking, for the measuring threads); -1 when refused.
int connectLoopback(quint16 port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0)
        return fd;
    close(fd);
    return -1;
}

struct HttpAnswer {
    int status = 0;
    QByteArray body;
};

// One request on a kept-alive connection and its answer (read to its Content-Length); nothing when the
// connection failed.
std::optional<HttpAnswer> exchangeHttp(int fd, const QByteArray &request) {
    if (send(fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL) != request.size())
        return std::nullopt;
    QByteArray in;
    qsizetype headerEnd = -1, length = -1;
    char buf[65536];
    while (headerEnd < 0 || in.size() < headerEnd + 4 + length) {
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            return std::nullopt;
        in.append(buf, n);
        if (headerEnd < 0 && (headerEnd = in.indexOf("\r\n\r\n")) >= 0) {
            const qsizetype at = in.toLower().indexOf("content-length:");
            if (at < 0)
                return std::nullopt;
            length = in.mid(at + 15, in.indexOf('\r', at) - at - 15).trimmed().toLongLong();
        }
    }
    return HttpAnswer{in.mid(9, 3).toInt(), in.mid(headerEnd + 4, length)};
}

// One keep-alive connection, as Prometheus keeps one; each GET timed from the request to the last byte.
class Scraper {
  public:
    Scraper(quint16 port, int perSecond)
        : m_port(port), m_period(std::chrono::milliseconds(1000 / perSecond)) {
        m_thread = std::thread([this] { run(); });
    }
    ~Scraper() {
        m_stop = true;
        m_thread.join();
        if (m_fd >= 0)
            close(m_fd);
    }
    std::vector<double> take() {
        std::lock_guard g(m_lock);
        return std::exchange(m_ms, {});
    }
    int failures() const { return m_failures; }
    QByteArray last() {
        std::lock_guard g(m_lock);
        return m_body;
    }

  private:
    bool connectNow() {
        if (m_fd >= 0)
            close(m_fd);
        m_fd = connectLoopback(m_port);
        return m_fd >= 0;
    }
    bool get(QByteArray *body) {
        const auto answer =
            exchangeHttp(m_fd, "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: keep-alive\r\n\r\n");
        if (answer)
            *body = answer->body;
        return answer.has_value();
    }
    void run() {
        auto next = Clock::now();
        bool connected = connectNow();
        while (!m_stop) {
            next += m_period;
            std::this_thread::sleep_until(next);
            QByteArray body;
            const auto t0 = Clock::now();
            if (!connected || !get(&body)) {
                ++m_failures;
                connected = connectNow();
                continue;
            }
            const double took = ms(Clock::now() - t0);
            std::lock_guard g(m_lock);
            m_ms.push_back(took);
            m_body = body;
        }
    }

    quint16 m_port;
    std::chrono::milliseconds m_period;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_failures{0};
    int m_fd = -1;
    std::mutex m_lock;
    std::vector<double> m_ms;
    QByteArray m_body;
};

// A client of the broker on a thread of its own (libmosquitto's): counts what the bridge publishes about
// projectors after the retained messages, and times commands from publishing to their result.
class MqttProbe {
  public:
    explicit MqttProbe(quint16 port) {
        mosquitto_lib_init();
        m_mosq = mosquitto_new("kr7-bench", true, this);
        mosquitto_int_option(m_mosq, MOSQ_OPT_TCP_NODELAY, 1);
        mosquitto_message_callback_set(m_mosq, [](mosquitto *, void *self, const mosquitto_message *m) {
            static_cast<MqttProbe *>(self)->onMessage(m);
        });
        mosquitto_connect(m_mosq, "127.0.0.1", port, 30);
        for (const char *t : {"kr7/+", "kr7/+/availability", "kr7/+/result"})
            mosquitto_subscribe(m_mosq, nullptr, t, 1);
        mosquitto_loop_start(m_mosq);
    }
    ~MqttProbe() {
        mosquitto_disconnect(m_mosq);
        mosquitto_loop_stop(m_mosq, false);
        mosquitto_destroy(m_mosq);
    }
    int takeStateMessages() { return m_stateMessages.exchange(0); }
    // A command without waiting for its result.
    void send(const std::string &projector, const char *payload) {
        const std::string topic = "kr7/" + projector + "/set";
        mosquitto_publish(m_mosq, nullptr, topic.c_str(), int(strlen(payload)), payload, 1, false);
    }
    // Milliseconds from publishing the command to its result; negative when none came within 5 s. The event
    // loop runs meanwhile: the simulated projectors live on it.
    double command(const char *projector, const char *payload) {
        const std::string topic = std::string("kr7/") + projector + "/set";
        {
            std::lock_guard g(m_lock);
            m_results = 0;
        }
        const auto t0 = Clock::now();
        mosquitto_publish(m_mosq, nullptr, topic.c_str(), int(strlen(payload)), payload, 1, false);
        while (Clock::now() - t0 < std::chrono::seconds(5)) {
            runFor(1);
            std::lock_guard g(m_lock);
            if (m_results > 0)
                return ms(m_resultAt - t0);
        }
        return -1;
    }

  private:
    void onMessage(const mosquitto_message *m) {
        const QByteArray topic(m->topic);
        if (topic.endsWith("/result")) {
            std::lock_guard g(m_lock);
            m_resultAt = Clock::now();
            ++m_results;
        } else if (!m->retain) {
            ++m_stateMessages;
        }
    }
    mosquitto *m_mosq = nullptr;
    std::atomic<int> m_stateMessages{0};
    std::mutex m_lock;
    int m_results = 0;
    Clock::time_point m_resultAt;
};

} // namespace

// PJLink controllers, one per projector, each on one kept connection to its projector's own address, asking
// POWR ? ERST ? LAMP ? INPT ? AVMT ? one after the other every period, as a show controller polls. Each round
// trip is timed from the request to its reply's CR.
class PjlinkControllers {
  public:
    PjlinkControllers(const std::vector<in_addr> &addresses, quint16 port, int periodMs)
        : m_period(periodMs) {
        for (size_t i = 0; i < addresses.size(); ++i) {
            Conn c;
            c.fd = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(port);
            a.sin_addr = addresses[i];
            if (::connect(c.fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
                ++m_failures;
                close(c.fd);
                continue;
            }
            const int one = 1;
            setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            // Spread over the period, as controllers started at random would be.
            c.due = Clock::now() + std::chrono::milliseconds(periodMs * int(i) / int(addresses.size()));
            m_conns.push_back(c);
        }
        m_thread = std::thread([this] { run(); });
    }
    ~PjlinkControllers() {
        m_stop = true;
        m_thread.join();
        for (const Conn &c : m_conns)
            close(c.fd);
    }
    std::vector<double> take() {
        std::lock_guard g(m_lock);
        return std::exchange(m_ms, {});
    }
    int failures() const { return m_failures; }

  private:
    struct Conn {
        int fd = -1;
        Clock::time_point due, sent;
        int next = 0; // the query on the way, or -1 between rounds
        bool greeted = false;
        bool waiting = false;
        std::string in;
    };
    void run() {
        static const char *queries[] = {"%1POWR ?\r", "%1ERST ?\r", "%1LAMP ?\r", "%1INPT ?\r", "%1AVMT ?\r"};
        std::vector<pollfd> fds(m_conns.size());
        while (!m_stop) {
            const auto now = Clock::now();
            for (size_t i = 0; i < m_conns.size(); ++i) {
                Conn &c = m_conns[i];
                if (c.greeted && !c.waiting && now >= c.due) {
                    const char *q = queries[c.next];
                    c.sent = Clock::now();
                    if (write(c.fd, q, strlen(q)) > 0)
                        c.waiting = true;
                }
                fds[i] = pollfd{c.fd, POLLIN, 0};
            }
            if (poll(fds.data(), fds.size(), 5) <= 0)
                continue;
            for (size_t i = 0; i < m_conns.size(); ++i) {
                if (!(fds[i].revents & POLLIN))
                    continue;
                Conn &c = m_conns[i];
                char buf[512];
                const ssize_t n = read(c.fd, buf, sizeof buf);
                if (n <= 0) {
                    ++m_failures;
                    c.greeted = false;
                    continue;
                }
                c.in.append(buf, size_t(n));
                for (size_t cr; (cr = c.in.find('\r')) != std::string::npos;) {
                    const std::string line = c.in.substr(0, cr);
                    c.in.erase(0, cr + 1);
                    if (!c.greeted) {
                        c.greeted = line == "PJLINK 0";
                        continue;
                    }
                    const double ms = bench::ms(Clock::now() - c.sent);
                    {
                        std::lock_guard g(m_lock);
                        m_ms.push_back(ms);
                    }
                    if (line.find("ERR") != std::string::npos)
                        ++m_errors;
                    c.waiting = false;
                    if (++c.next == 5) {
                        c.next = 0;
                        c.due += std::chrono::milliseconds(m_period);
                    }
                }
            }
        }
    }

    int m_period;
    std::vector<Conn> m_conns;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::mutex m_lock;
    std::vector<double> m_ms;
    std::atomic<int> m_failures{0};
    std::atomic<int> m_errors{0};
};

// One PJLink setting on a kept connection: the time from the request to its OK. Waited for on the event loop,
// where the simulated projectors answer.
double pjlinkSetting(QTcpSocket &socket, const QByteArray &request) {
    const auto t0 = Clock::now();
    socket.write(request);
    QByteArray in;
    QEventLoop loop;
    QTimer::singleShot(5000, &loop, &QEventLoop::quit);
    const auto c = QObject::connect(&socket, &QTcpSocket::readyRead, &loop, [&] {
        in += socket.readAll();
        if (in.contains('\r'))
            loop.quit();
    });
    loop.exec();
    QObject::disconnect(c);
    if (!in.contains("=OK")) {
        std::fprintf(stderr, "PJLink setting answered %s\n", in.constData());
        return -1;
    }
    return bench::ms(Clock::now() - t0);
}

// Requests a second on one keep-alive connection, for a while, as fast as they are answered.
double requestsPerSecond(quint16 port, const QByteArray &authorization, double seconds) {
    const int fd = connectLoopback(port);
    if (fd < 0)
        return 0;
    const QByteArray request =
        "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
        (authorization.isEmpty() ? QByteArray() : "Authorization: " + authorization + "\r\n") + "\r\n";
    int done = 0;
    const auto t0 = Clock::now();
    while (ms(Clock::now() - t0) < seconds * 1000) {
        const auto answer = exchangeHttp(fd, request);
        if (!answer || answer->status != 200)
            break;
        ++done;
    }
    close(fd);
    return done / (ms(Clock::now() - t0) / 1000);
}

// The console: its first load in headless chromium, what 20 pages following /events cost the bridge, and what
// HTTP Basic authentication costs a scrape (a small bridge of its own, without and with a web configuration).
void consoleFigures(qint64 pid, quint16 port, int projectors, int seconds) {
    QProcess node;
    node.setProcessChannelMode(QProcess::ForwardedChannels);
    node.start(QStringLiteral("node"),
               {QStringLiteral(KR7_SOURCE_DIR "/bench/console_load.mjs"),
                QStringLiteral("http://127.0.0.1:%1/").arg(port), QString::number(projectors)});
    // Not waitForFinished: it is false at once for a process that has already ended.
    while (node.state() != QProcess::NotRunning)
        runFor(100);

    double cpu0 = processCpuSeconds(pid);
    runFor(seconds * 1000);
    const double quiet = processCpuSeconds(pid) - cpu0;
    std::vector<std::unique_ptr<QTcpSocket>> followers;
    qint64 streamed = 0;
    for (int i = 0; i < 20; ++i) {
        auto s = std::make_unique<QTcpSocket>();
        s->connectToHost(QHostAddress::LocalHost, port);
        QObject::connect(s.get(), &QTcpSocket::connected, s.get(),
                         [raw = s.get()] { raw->write("GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"); });
        QObject::connect(s.get(), &QTcpSocket::readyRead, s.get(),
                         [raw = s.get(), &streamed] { streamed += raw->readAll().size(); });
        followers.push_back(std::move(s));
    }
    runFor(2000); // connected, the first events read
    streamed = 0;
    cpu0 = processCpuSeconds(pid);
    runFor(seconds * 1000);
    const double following = processCpuSeconds(pid) - cpu0;
    std::printf(
        "20 pages following /events   bridge CPU %.2f%% -> %.2f%% of one core (+%.2f), %.1f KB/s to each\n",
        100.0 * quiet / seconds, 100.0 * following / seconds, 100.0 * (following - quiet) / seconds,
        streamed / 20.0 / 1024 / seconds);
    followers.clear();

    // Basic authentication: one bcrypt (cost 10) at the first request of a user, none after.
    auto sim = std::make_unique<kr7::sim::ProjectorSim>();
    if (!sim->openPty())
        return;
    QTemporaryDir dir;
    const QByteArray hash = kr7::peers::bcryptHash("bench-password");
    QFile web(dir.filePath(QStringLiteral("web.yml")));
    if (!web.open(QIODevice::WriteOnly))
        return;
    web.write("basic_auth_users:\n  bench: '" + hash + "'\n");
    web.close();
    for (const bool auth : {false, true}) {
        const quint16 small = kr7::peers::Ser2net::freePort();
        QFile config(dir.filePath(QStringLiteral("small.yaml")));
        if (!config.open(QIODevice::WriteOnly))
            return;
        config.write("listen: 127.0.0.1:" + QByteArray::number(small) +
                     "\npoll_interval: 10\nlines:\n  - port: " + sim->devicePath().toUtf8() +
                     "\n    projectors: [{name: a, unit: 1}]\n");
        config.close();
        QProcess bridge;
        QStringList args{QStringLiteral("--config"), config.fileName()};
        if (auth)
            args << QStringLiteral("--web.config.file") << web.fileName();
        bridge.setStandardErrorFile(QProcess::nullDevice());
        bridge.start(QCoreApplication::applicationDirPath() + QStringLiteral("/kr7-bridge"), args);
        runFor(1500);
        const QByteArray authorization =
            auth ? "Basic " + QByteArray("bench:bench-password").toBase64() : QByteArray();
        double firstMs = 0;
        double rate = 0;
        std::atomic<bool> finished{false};
        std::thread t([&] {
            const auto t0 = Clock::now();
            requestsPerSecond(small, authorization, 0.001); // the first request: the login
            firstMs = ms(Clock::now() - t0);
            rate = requestsPerSecond(small, authorization, 5);
            finished = true;
        });
        while (!finished)
            runFor(100);
        t.join();
        const double cpu = processCpuSeconds(bridge.processId());
        std::printf(
            "/metrics %-19s %.0f requests a second on one connection; first request %.1f ms; bridge CPU "
            "%.2f s in all\n",
            auth ? "with Basic auth" : "without auth", rate, firstMs, cpu);
        bridge.terminate();
        bridge.waitForFinished(10000);
    }
}

// A history of a year of 64 projectors, made directly (1,000,000 events, 35 days of samples every 10
// minutes), then asked through a bridge's API as the console asks it.
int historyQueries() {
    using namespace kr7::bridge;
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("history.sqlite"));
    HistoryDb db;
    if (db.openForWriting(path) != HistoryDb::Opened::Ready)
        return 1;
    const qint64 now = QDateTime::currentMSecsSinceEpoch(), year = 365LL * 86400000;
    const auto t0 = Clock::now();
    QList<Event> events;
    for (int i = 0; i < 1000000; ++i) {
        const QString projector = QStringLiteral("p%1-%2").arg(i % 16).arg(i / 16 % 4 + 1);
        const qint64 at = now - year + qint64(i) * (year / 1000000);
        events << (i % 5 == 0 ? Event{at,
                                      projector,
                                      QStringLiteral("/dev/ttyUSB0"),
                                      QStringLiteral("command"),
                                      QStringLiteral("mqtt"),
                                      {{QStringLiteral("origin"),
                                        QJsonObject{{QStringLiteral("face"), QStringLiteral("mqtt")},
                                                    {QStringLiteral("topic"), "kr7/" + projector + "/set"}}},
                                       {QStringLiteral("request"),
                                        QJsonObject{{QStringLiteral("command"), QStringLiteral("C0E")}}},
                                       {QStringLiteral("line"), QStringLiteral("A001C0E CR")},
                                       {QStringLiteral("replied"), true},
                                       {QStringLiteral("reply"), QStringLiteral("ACK")},
                                       {QStringLiteral("elapsed_ms"), 12.5}}}
                              : Event{at,
                                      projector,
                                      QStringLiteral("/dev/ttyUSB0"),
                                      QStringLiteral("state"),
                                      {},
                                      {{QStringLiteral("change"), QStringLiteral("input")},
                                       {QStringLiteral("from"), 1},
                                       {QStringLiteral("to"), 2}}});
        if (events.size() == 10000) {
            db.write(events, {}, {});
            events.clear();
        }
    }
    const qint64 eventBytes = db.bytes();
    QList<Sample> samples;
    for (qint64 at = now - 35LL * 86400000; at < now; at += 600000)
        for (int p = 0; p < 64; ++p) {
            Sample s{at,
                     QStringLiteral("p%1-%2").arg(p % 16).arg(p / 16 + 1),
                     QStringLiteral("00"),
                     {1234, 1201, 987, 1010},
                     {36.5, 47.5},
                     1013};
            samples << s;
            if (samples.size() == 10000) {
                db.write({}, samples, {});
                samples.clear();
            }
        }
    db.write({}, samples, {});
    const qint64 sampleRows = db.rows("samples");
    const qint64 allBytes = db.bytes();
    db.close();
    std::printf("history of 1000000 events    made in %.1f s: %.1f MB, %.0f bytes an event; %lld samples (35 "
                "days of 64 "
                "projectors) %.1f MB more, %.0f bytes a sample\n",
                ms(Clock::now() - t0) / 1000, double(eventBytes) / 1e6,
                double(eventBytes) / 1e6 * 1e6 / 1000000, (long long)sampleRows,
                double(allBytes - eventBytes) / 1e6, double(allBytes - eventBytes) / double(sampleRows));
    {
        // What the lamps face reads every hour: a day's first sample of 31 days, and the lamp events.
        HistoryDb reader;
        reader.openForReading(path);
        std::vector<double> took;
        qsizetype rows = 0;
        for (int i = 0; i < 5; ++i) {
            const auto t = Clock::now();
            QStringList names;
            for (int p = 0; p < 64; ++p)
                names << QStringLiteral("p%1-%2").arg(p % 16).arg(p / 16 + 1);
            const qint64 now = QDateTime::currentMSecsSinceEpoch();
            const auto lamp = reader.lampHistory(names, now);
            took.push_back(ms(Clock::now() - t));
            rows = lamp ? lamp->samples.size() : -1;
        }
        std::printf("the lamps' hourly read       %lld rows, median %.0f ms (on the reader thread)\n",
                    static_cast<long long>(rows), percentile(took, 50));
    }

    auto sim = std::make_unique<kr7::sim::ProjectorSim>();
    if (!sim->openPty())
        return 1;
    const quint16 port = kr7::peers::Ser2net::freePort();
    QFile config(dir.filePath(QStringLiteral("bridge.yaml")));
    if (!config.open(QIODevice::WriteOnly))
        return 1;
    config.write("listen: 127.0.0.1:" + QByteArray::number(port) + "\nhistory: {file: " + path.toUtf8() +
                 "}\nlines:\n  - port: " + sim->devicePath().toUtf8() +
                 "\n    projectors: [{name: p3-2, unit: 2}]\n");
    config.close();
    QProcess bridge;
    bridge.setStandardErrorFile(QProcess::nullDevice());
    bridge.start(QCoreApplication::applicationDirPath() + QStringLiteral("/kr7-bridge"),
                 {QStringLiteral("--config"), config.fileName()});
    runFor(2000);
    std::vector<double> latest, csv;
    std::atomic<bool> finished{false};
    qint64 csvBytes = 0;
    std::thread t([&] {
        const int fd = connectLoopback(port);
        for (int i = 0; i < 200 && fd >= 0; ++i) {
            const auto a = Clock::now();
            const auto answer = exchangeHttp(
                fd, "GET /api/history?projector=p3-2&limit=100 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
            if (answer && answer->status == 200)
                latest.push_back(ms(Clock::now() - a));
        }
        const QByteArray since =
            QDateTime::fromMSecsSinceEpoch(now - 30LL * 86400000, Qt::UTC).toString(Qt::ISODate).toLatin1();
        for (int i = 0; i < 5 && fd >= 0; ++i) {
            const auto a = Clock::now();
            const auto answer = exchangeHttp(fd, "GET /api/history?projector=p3-2&format=csv&since=" + since +
                                                     " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
            if (answer && answer->status == 200) {
                csv.push_back(ms(Clock::now() - a));
                csvBytes = answer->body.size();
            }
        }
        close(fd);
        finished = true;
    });
    while (!finished)
        runFor(50);
    t.join();
    printStats("latest 100 of one projector", latest);
    printStats("30 days of it as CSV", csv);
    std::printf("                             %lld bytes of CSV\n", (long long)csvBytes);
    bridge.terminate();
    bridge.waitForFinished(10000);
    return 0;
}

// One group of every projector (lines × 4, stagger 0) switched on by a schedule entry: the bridge's wall
// clock set by libfaketime to 20 s before the due time; from the due time until each line has its first
// power-on on the wire, and the bridge's CPU in that second. Then --calendar of 50 entries over 366 days.
int scheduleFigures(int lines) {
    std::vector<std::unique_ptr<kr7::sim::ProjectorSim>> sims;
    QTemporaryDir dir;
    QByteArray config = "listen: 127.0.0.1:" + QByteArray::number(kr7::peers::Ser2net::freePort()) +
                        "\npoll_interval: 10\ntime_zone: Europe/Berlin\nhistory: {file: " +
                        dir.filePath(QStringLiteral("h.sqlite")).toUtf8() + "}\nlines:\n";
    std::vector<qint64> firstOn(size_t(lines), 0);
    int projectorsOn = 0;
    qint64 lastOn = 0;
    for (int l = 0; l < lines; ++l) {
        auto sim = std::make_unique<kr7::sim::ProjectorSim>();
        if (!sim->openPty())
            return 1;
        QObject::connect(sim.get(), &kr7::sim::ProjectorSim::lineReceived, sim.get(),
                         [&, l](const QByteArray &line) {
                             if (!line.endsWith("C00"))
                                 return;
                             const qint64 now = QDateTime::currentMSecsSinceEpoch();
                             if (!firstOn[size_t(l)])
                                 firstOn[size_t(l)] = now;
                             ++projectorsOn;
                             lastOn = now;
                         });
        config += "  - port: " + sim->devicePath().toUtf8() + "\n    projectors:\n";
        for (int u = 1; u <= 4; ++u)
            config += "      - {name: p" + QByteArray::number(l) + "-" + QByteArray::number(u) +
                      ", unit: " + QByteArray::number(u) + "}\n";
        sims.push_back(std::move(sim));
    }
    config += "schedules:\n  - {name: morning, group: all, at: '07:45', do: {power: 'ON'}}\n";
    QFile file(dir.filePath(QStringLiteral("bridge.yaml")));
    if (!file.open(QIODevice::WriteOnly) || file.write(config) != config.size())
        return 1;
    file.close();
    QProcess bridge;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral("libfaketime.so.1"));
    env.insert(QStringLiteral("LD_LIBRARY_PATH"), QStringLiteral("/usr/lib/x86_64-linux-gnu/faketime"));
    env.insert(QStringLiteral("FAKETIME"), QStringLiteral("@2026-12-10 07:44:40"));
    env.insert(QStringLiteral("TZ"), QStringLiteral("Europe/Berlin"));
    bridge.setProcessEnvironment(env);
    bridge.setStandardErrorFile(dir.filePath(QStringLiteral("stderr")));
    const qint64 started = QDateTime::currentMSecsSinceEpoch();
    bridge.start(QCoreApplication::applicationDirPath() + QStringLiteral("/kr7-bridge"),
                 {QStringLiteral("--config"), file.fileName()});
    if (!bridge.waitForStarted(5000))
        return 1;
    const qint64 due = started + 20000; // 07:45:00 on the bridge's clock
    runFor(int(due - QDateTime::currentMSecsSinceEpoch()) - 200);
    const double cpu0 = processCpuSeconds(bridge.processId());
    runFor(1200);
    const double cpu1 = processCpuSeconds(bridge.processId());
    runFor(4000);
    const qint64 lastLine = *std::max_element(firstOn.begin(), firstOn.end());
    std::printf(
        "schedule: %d projectors on %d lines, stagger 0: every line on the wire %lld ms after the due time "
        "(first %lld ms), %d power-ons, the last %lld ms after; CPU in that second %.1f%%\n",
        lines * 4, lines, static_cast<long long>(lastLine - due),
        static_cast<long long>(*std::min_element(firstOn.begin(), firstOn.end()) - due), projectorsOn,
        static_cast<long long>(lastOn - due), (cpu1 - cpu0) / 1.2 * 100.0);
    bridge.terminate();
    bridge.waitForFinished(10000);

    // --calendar: 50 entries over 366 days, weekly and dated, some on groups.
    QByteArray cal =
        "time_zone: Europe/Berlin\nholidays: [2026-12-25, 2026-12-26, 2027-01-01]\nhistory: off\n"
        "lines:\n  - port: /dev/null\n    projectors: [{name: a, unit: 1}, {name: b, unit: 2}]\n"
        "groups:\n  pair: [a, b]\nschedules:\n";
    for (int i = 0; i < 50; ++i)
        cal += "  - {name: e" + QByteArray::number(i) + ", " + (i % 2 ? "group: pair" : "projector: a") +
               ", at: '" + QByteArray::number(6 + i % 16).rightJustified(2, '0') + ":" +
               QByteArray::number(i % 60).rightJustified(2, '0') + "', " +
               (i % 5 == 4 ? QByteArray("dates: [2027-02-01, 2027-03-28, 2027-10-31]")
                           : QByteArray("days: [mon, wed, fri]")) +
               ", do: {power: '" + (i % 3 ? "ON" : "OFF") + "'}}\n";
    QFile calFile(dir.filePath(QStringLiteral("calendar.yaml")));
    if (!calFile.open(QIODevice::WriteOnly) || calFile.write(cal) != cal.size())
        return 1;
    calFile.close();
    std::vector<double> times;
    qsizetype runs = 0;
    for (int i = 0; i < 5; ++i) {
        QProcess p;
        const auto t0 = Clock::now();
        p.start(QCoreApplication::applicationDirPath() + QStringLiteral("/kr7-bridge"),
                {QStringLiteral("--config"), calFile.fileName(), QStringLiteral("--calendar"),
                 QStringLiteral("--from"), QStringLiteral("2026-12-10T00:00:00+01:00"),
                 QStringLiteral("--days"), QStringLiteral("366")});
        p.waitForFinished(60000);
        times.push_back(ms(Clock::now() - t0));
        runs = p.readAllStandardOutput().count('\n');
        if (p.exitCode() != 0)
            std::fprintf(stderr, "--calendar: %s\n", p.readAllStandardError().constData());
    }
    std::printf(
        "--calendar, 50 entries over 366 days: %lld runs, median %.0f ms, max %.0f ms (the whole process)\n",
        static_cast<long long>(runs), percentile(times, 50), percentile(times, 100));
    return 0;
}

in_addr projectorAddress(int i) {
    in_addr a{};
    a.s_addr = htonl((127u << 24) | (1u << 8) | 1u) + htonl(0); // 127.0.1.1 and on
    a.s_addr = htonl(ntohl(a.s_addr) + uint32_t(i));
    return a;
}

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption linesOption(QStringLiteral("lines"), QStringLiteral("Lines of 4 units."),
                                         QStringLiteral("N"), QStringLiteral("64"));
    const QCommandLineOption secondsOption(QStringLiteral("seconds"), QStringLiteral("Measured time."),
                                           QStringLiteral("N"), QStringLiteral("60"));
    const QCommandLineOption intervalOption(QStringLiteral("interval"), QStringLiteral("poll_interval."),
                                            QStringLiteral("S"), QStringLiteral("10"));
    const QCommandLineOption scrapesOption(QStringLiteral("scrapes"),
                                           QStringLiteral("Scrapes of /metrics a second (0: none)."),
                                           QStringLiteral("N"), QStringLiteral("10"));
    const QCommandLineOption commandsOption(QStringLiteral("commands"),
                                            QStringLiteral("Commands timed over MQTT."), QStringLiteral("N"),
                                            QStringLiteral("200"));
    const QCommandLineOption consoleOption(
        QStringLiteral("console"),
        QStringLiteral("The console: first load in headless chromium, 20 pages following /events, and "
                       "/metrics with and without Basic authentication."));
    const QCommandLineOption pjlinkOption(
        QStringLiteral("pjlink"),
        QStringLiteral("Every projector with a PJLink listener of its own (127.0.1.x), "
                       "a controller per projector polling it every interval."));
    const QCommandLineOption historyOption(QStringLiteral("history"),
                                           QStringLiteral("With a history file (else history: off)."));
    const QCommandLineOption changesOption(
        QStringLiteral("changes"),
        QStringLiteral("Projectors whose input changes every interval, in percent."),
        QStringLiteral("PERCENT"), QStringLiteral("0"));
    const QCommandLineOption commandRateOption(QStringLiteral("command-rate"),
                                               QStringLiteral("Commands a second over MQTT, meanwhile."),
                                               QStringLiteral("N"), QStringLiteral("0"));
    const QCommandLineOption historyQueriesOption(
        QStringLiteral("history-queries"),
        QStringLiteral(
            "A history of 1,000,000 events and 35 days of samples of 64 projectors: the latest 100 of "
            "one projector and 30 days of it as CSV, through the bridge's API, and the bytes per row."));
    const QCommandLineOption scheduleOption(
        QStringLiteral("schedule"),
        QStringLiteral(
            "Every projector switched on by one schedule entry: due time to the wire, and --calendar."));
    parser.addOptions({linesOption, secondsOption, intervalOption, scrapesOption, commandsOption,
                       pjlinkOption, consoleOption, historyOption, changesOption, commandRateOption,
                       historyQueriesOption, scheduleOption});
    parser.addHelpOption();
    parser.process(app);
    if (parser.isSet(historyQueriesOption))
        return historyQueries();
    if (parser.isSet(scheduleOption))
        return scheduleFigures(parser.value(linesOption).toInt());
    const int lines = parser.value(linesOption).toInt();
    const int seconds = parser.value(secondsOption).toInt();
    const int interval = parser.value(intervalOption).toInt();

    kr7::peers::Mosquitto broker;
    if (!broker.start()) {
        std::fprintf(stderr, "mosquitto: %s\n", qPrintable(broker.errorString()));
        return 1;
    }
    std::vector<std::unique_ptr<kr7::sim::ProjectorSim>> sims;
    QByteArray config;
    const quint16 port = kr7::peers::Ser2net::freePort();
    const quint16 pjlinkPort = kr7::peers::Ser2net::freePort();
    config += "listen: 127.0.0.1:" + QByteArray::number(port) +
              "\npoll_interval: " + QByteArray::number(interval) + "\nlines:\n";
    for (int l = 0; l < lines; ++l) {
        auto sim = std::make_unique<kr7::sim::ProjectorSim>();
        if (!sim->openPty())
            return 1;
        config += "  - port: " + sim->devicePath().toUtf8() + "\n    projectors:\n";
        for (int u = 1; u <= 4; ++u) {
            config += "      - {name: p" + QByteArray::number(l) + "-" + QByteArray::number(u) +
                      ", unit: " + QByteArray::number(u);
            if (parser.isSet(pjlinkOption))
                config += ", pjlink: {listen: '" + QByteArray(inet_ntoa(projectorAddress(l * 4 + u - 1))) +
                          ":" + QByteArray::number(pjlinkPort) + "'}";
            config += "}\n";
        }
        sims.push_back(std::move(sim));
    }
    config += "mqtt: {host: 127.0.0.1, port: " + QByteArray::number(broker.port()) + "}\n";
    QTemporaryDir dir;
    const QString historyFile = dir.filePath(QStringLiteral("history.sqlite"));
    const bool console = parser.isSet(consoleOption);
    config += parser.isSet(historyOption) || console ? "history: {file: " + historyFile.toUtf8() + "}\n"
                                                     : QByteArray("history: off\n");
    if (console) {
        // The console's venue: 8 groups of 8 lines, and 30 days of samples of p0-1 for its page's charts.
        config += "groups:\n";
        for (int g = 0; g < 8; ++g) {
            config += "  g" + QByteArray::number(g) + ": [";
            for (int l = g * lines / 8; l < (g + 1) * lines / 8; ++l)
                for (int u = 1; u <= 4; ++u)
                    config += (l == g * lines / 8 && u == 1 ? "" : ", ") + QByteArray("p") +
                              QByteArray::number(l) + "-" + QByteArray::number(u);
            config += "]\n";
        }
        using kr7::bridge::HistoryDb, kr7::bridge::Sample;
        HistoryDb db;
        if (db.openForWriting(historyFile) != HistoryDb::Opened::Ready)
            return 1;
        QList<Sample> samples;
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        for (qint64 at = now - 30LL * 86400000; at < now; at += 600000) {
            const qint64 burnt = (now - at) / 3600000 / 4;
            samples << Sample{at,
                              QStringLiteral("p0-1"),
                              QStringLiteral("00"),
                              {1500 - burnt, 1400 - burnt, 1300 - burnt, 1200 - burnt},
                              {30.0 + double(at / 600000 % 9), 40.0 + double(at / 600000 % 7)},
                              1013};
        }
        db.write({}, samples, {});
        db.close();
    }
    QFile file(dir.filePath(QStringLiteral("bridge.yaml")));
    if (!file.open(QIODevice::WriteOnly) || file.write(config) != config.size())
        return 1;
    file.close();

    QProcess bridge;
    bridge.setProcessChannelMode(QProcess::ForwardedOutputChannel);
    bridge.setStandardErrorFile(dir.filePath(QStringLiteral("stderr")));
    bridge.start(QCoreApplication::applicationDirPath() + QStringLiteral("/kr7-bridge"),
                 {QStringLiteral("--config"), file.fileName()});
    if (!bridge.waitForStarted(5000))
        return 1;
    const qint64 pid = bridge.processId();
    // Started, lines open, the first round done and published: from here on nothing changes.
    runFor(std::max(3000, interval * 1000 + 1000));
    for (auto &s : sims)
        s->clearReceived();
    MqttProbe probe(broker.port());
    runFor(1000); // the retained messages
    probe.takeStateMessages();

    std::unique_ptr<Scraper> scraper;
    if (const int rate = parser.value(scrapesOption).toInt(); rate > 0)
        scraper = std::make_unique<Scraper>(port, rate);
    std::unique_ptr<PjlinkControllers> controllers;
    if (parser.isSet(pjlinkOption)) {
        std::vector<in_addr> addresses;
        for (int i = 0; i < lines * 4; ++i)
            addresses.push_back(projectorAddress(i));
        controllers = std::make_unique<PjlinkControllers>(addresses, pjlinkPort, interval * 1000);
    }
    // A share of the projectors changes every round (an input switched at the projector), and commands come.
    QTimer changes, commands;
    int changed = 0, commanded = 0;
    const int perRound = lines * 4 * parser.value(changesOption).toInt() / 100;
    QObject::connect(&changes, &QTimer::timeout, &app, [&] {
        for (int i = 0; i < perRound; ++i, ++changed) {
            const int p = changed % (lines * 4);
            sims[size_t(p / 4)]->model().handleLine(
                "A00" + QByteArray::number(p % 4 + 1) + (changed / (lines * 4) % 2 ? "C05" : "C06"), 0);
        }
    });
    QObject::connect(&commands, &QTimer::timeout, &app, [&] {
        const int p = commanded++ % (lines * 4);
        probe.send("p" + std::to_string(p / 4) + "-" + std::to_string(p % 4 + 1), "{\"command\": \"C0E\"}");
    });
    if (perRound > 0)
        changes.start(interval * 1000);
    if (const int rate = parser.value(commandRateOption).toInt(); rate > 0)
        commands.start(1000 / rate);
    const qint64 historyBytes0 = QFileInfo(historyFile).size() + QFileInfo(historyFile + "-wal").size();
    const double cpu0 = processCpuSeconds(pid);
    runFor(seconds * 1000);
    const double cpu = processCpuSeconds(pid) - cpu0;
    changes.stop();
    commands.stop();
    const int stateMessages = probe.takeStateMessages();
    const std::vector<double> scrapes = scraper ? scraper->take() : std::vector<double>{};

    // Rounds each projector was asked in the measured time: its power queries (the first of its nine).
    std::vector<int> rounds;
    for (auto &s : sims)
        for (int u = 1; u <= 4; ++u)
            rounds.push_back(int(s->lines().count("A00" + QByteArray::number(u) + "CR0")));
    const auto [fewest, most] = std::minmax_element(rounds.begin(), rounds.end());
    const QByteArray metrics = scraper ? scraper->last() : QByteArray();

    std::printf("kr7-bridge, %d projectors on %d lines, polled every %d s, measured %d s\n", lines * 4, lines,
                interval, seconds);
    std::printf("bridge CPU                   %.2f%% of one core\n", 100.0 * cpu / seconds);
    std::printf("bridge peak RSS              %.1f MB\n", double(statusKb(pid, "VmHWM")) / 1024.0);
    printStats(qPrintable(QStringLiteral("/metrics at %1/s").arg(parser.value(scrapesOption))), scrapes);
    std::printf("/metrics size                %lld bytes, %lld series; %d scrapes failed\n",
                (long long)metrics.size(), (long long)(metrics.count('\n') - metrics.count("\n#")),
                scraper ? scraper->failures() : 0);
    std::printf("rounds per projector         fewest %d, most %d (expected %d or %d)\n", *fewest, *most,
                seconds / interval, seconds / interval + 1);
    if (perRound > 0 || commanded > 0)
        std::printf(
            "load                         %d input changes (%d%% of the projectors a round), %d commands\n",
            changed, parser.value(changesOption).toInt(), commanded);
    if (parser.isSet(historyOption)) {
        runFor(1000); // the last batch
        kr7::bridge::HistoryDb db;
        const qint64 events = db.openForReading(historyFile) ? db.rows("events") : -1;
        const qint64 bytes = QFileInfo(historyFile).size() + QFileInfo(historyFile + "-wal").size();
        std::printf(
            "history                      %lld events in all, %lld bytes written in the measured %d s\n",
            (long long)events, (long long)(bytes - historyBytes0), seconds);
    }
    std::printf("MQTT state/availability      %.1f messages a minute from unchanged projectors\n",
                stateMessages * 60.0 / seconds);
    if (parser.isSet(consoleOption))
        consoleFigures(pid, port, lines * 4, seconds);
    if (controllers) {
        printStats("PJLink query round trip", controllers->take());
        std::printf("                             %d controllers failed to connect or were closed\n",
                    controllers->failures());
        controllers.reset();
        // Settings on an idle line, each on the kept connection of the first projector: input 1.
        QTcpSocket socket;
        socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
        socket.connectToHost(QHostAddress(QString::fromLatin1(inet_ntoa(projectorAddress(0)))), pjlinkPort);
        std::vector<double> sets;
        if (socket.waitForConnected(5000)) {
            runFor(100); // the greeting
            socket.readAll();
            for (int i = 0; i < parser.value(commandsOption).toInt(); ++i) {
                const double t = pjlinkSetting(socket, "%1INPT 11\r");
                if (t >= 0)
                    sets.push_back(t);
                runFor(5);
            }
        }
        printStats("PJLink set -> OK", sets);
        std::printf(
            "                             a line and its follow-up query, the projector's reply delay "
            "%d ms each\n",
            kr7::sim::Faults{}.replyDelayMs);
    }

    // Commands on an idle line: the first line's polls are over (the benchmark's interval is long), so
    // each command meets the line free. The projector answers after its own reply delay.
    scraper.reset();
    std::vector<double> trips;
    int lost = 0;
    for (int i = 0; i < parser.value(commandsOption).toInt(); ++i) {
        const double t = probe.command("p0-1", "{\"command\": \"C0E\"}");
        t < 0 ? ++lost : (trips.push_back(t), 0);
        runFor(5);
    }
    printStats("MQTT set -> result", trips);
    std::printf("                             the projector's reply delay %d ms of it; %d without result\n",
                kr7::sim::Faults{}.replyDelayMs, lost);
    bridge.terminate();
    bridge.waitForFinished(10000);
    return 0;
}
