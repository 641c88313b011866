// Measures kr7-bridge on a large venue: 256 simulated projectors (64 lines of 4 units, each line its own
// pseudo-terminal) polled every 10 s, while a scraper asks /metrics 10 times a second. Prints the bridge's
// CPU, its peak memory, the scrape latency and how many rounds each projector was asked. Asserts nothing.
//
//   bench_bridge [--lines N] [--seconds N] [--interval S]
#include "benchutil.h"
#include "peers.h"
#include "procstat.h"
#include "projectorsim.h"
#include "ser2net.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <memory>
#include <mosquitto.h>
#include <netinet/in.h>
#include <sys/socket.h>

using namespace bench;

namespace {

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
        m_fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(m_port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return ::connect(m_fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    }
    bool get(QByteArray *body) {
        static const char request[] =
            "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: keep-alive\r\n\r\n";
        if (send(m_fd, request, sizeof request - 1, MSG_NOSIGNAL) != qsizetype(sizeof request - 1))
            return false;
        QByteArray in;
        qsizetype headerEnd = -1, length = -1;
        char buf[65536];
        while (headerEnd < 0 || in.size() < headerEnd + 4 + length) {
            const ssize_t n = recv(m_fd, buf, sizeof buf, 0);
            if (n <= 0)
                return false;
            in.append(buf, n);
            if (headerEnd < 0 && (headerEnd = in.indexOf("\r\n\r\n")) >= 0) {
                const qsizetype at = in.toLower().indexOf("content-length:");
                if (at < 0)
                    return false;
                length = in.mid(at + 15, in.indexOf('\r', at) - at - 15).trimmed().toLongLong();
            }
        }
        *body = in.mid(headerEnd + 4, length);
        return true;
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
    parser.addOptions({linesOption, secondsOption, intervalOption, scrapesOption, commandsOption});
    parser.addHelpOption();
    parser.process(app);
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
    config += "listen: 127.0.0.1:" + QByteArray::number(port) +
              "\npoll_interval: " + QByteArray::number(interval) + "\nlines:\n";
    for (int l = 0; l < lines; ++l) {
        auto sim = std::make_unique<kr7::sim::ProjectorSim>();
        if (!sim->openPty())
            return 1;
        config += "  - port: " + sim->devicePath().toUtf8() + "\n    projectors:\n";
        for (int u = 1; u <= 4; ++u)
            config += "      - {name: p" + QByteArray::number(l) + "-" + QByteArray::number(u) +
                      ", unit: " + QByteArray::number(u) + "}\n";
        sims.push_back(std::move(sim));
    }
    config += "mqtt: {host: 127.0.0.1, port: " + QByteArray::number(broker.port()) + "}\n";
    QTemporaryDir dir;
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
    const double cpu0 = processCpuSeconds(pid);
    runFor(seconds * 1000);
    const double cpu = processCpuSeconds(pid) - cpu0;
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
    std::printf("MQTT state/availability      %.1f messages a minute from unchanged projectors\n",
                stateMessages * 60.0 / seconds);

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
