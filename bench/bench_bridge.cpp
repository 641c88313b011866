// Measures kr7-bridge on a large venue: 256 simulated projectors (64 lines of 4 units, each line its own
// pseudo-terminal) polled every 10 s, while a scraper asks /metrics 10 times a second. Prints the bridge's
// CPU, its peak memory, the scrape latency and how many rounds each projector was asked. Asserts nothing.
//
//   bench_bridge [--lines N] [--seconds N] [--interval S]
#include "benchutil.h"
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
    parser.addOptions({linesOption, secondsOption, intervalOption, scrapesOption});
    parser.addHelpOption();
    parser.process(app);
    const int lines = parser.value(linesOption).toInt();
    const int seconds = parser.value(secondsOption).toInt();
    const int interval = parser.value(intervalOption).toInt();

    std::vector<std::unique_ptr<kr7::sim::ProjectorSim>> sims;
    QByteArray config;
    const quint16 port = kr7::sim::Ser2net::freePort();
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
    runFor(2000); // started, lines open, first round under way
    for (auto &s : sims)
        s->clearReceived();

    std::unique_ptr<Scraper> scraper;
    if (const int rate = parser.value(scrapesOption).toInt(); rate > 0)
        scraper = std::make_unique<Scraper>(port, rate);
    const double cpu0 = processCpuSeconds(pid);
    runFor(seconds * 1000);
    const double cpu = processCpuSeconds(pid) - cpu0;
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
    bridge.terminate();
    bridge.waitForFinished(10000);
    return 0;
}
