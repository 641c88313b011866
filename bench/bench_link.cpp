// Measures the panel over a pseudo-terminal: transmit and receive latency, CPU and memory while the far end
// streams at 19200 bit/s, and the pace of held repeat buttons. Prints figures; asserts nothing.
//
//   bench_link [--stream-seconds N] [--hold-seconds N]
#include "form1.h"
#include "latency.h"
#include "trafficlog.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QLabel>
#include <QTemporaryDir>
#include <QTest>

using namespace bench;

int main(int argc, char *argv[]) {
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption streamSeconds(QStringLiteral("stream-seconds"),
                                           QStringLiteral("Streaming time."), QStringLiteral("N"),
                                           QStringLiteral("30"));
    const QCommandLineOption holdSeconds(QStringLiteral("hold-seconds"), QStringLiteral("Hold per pace."),
                                         QStringLiteral("N"), QStringLiteral("5"));
    parser.addOptions({streamSeconds, holdSeconds});
    parser.addHelpOption();
    parser.process(app);

    FarEnd far;
    kr7::Form1 form({far.slave, QStringLiteral("/dev/null-kr7")});
    if (const auto error = form.Form_Load()) {
        std::fprintf(stderr, "%s\n", qPrintable(*error));
        return 1;
    }
    form.show();
    QTest::keyClick(&form, Qt::Key_K, Qt::ControlModifier);
    auto *rxdLabel = form.findChild<QLabel *>(QStringLiteral("Label12"));
    kr7::Link &link = form.link();

    printStats("transmit latency", transmitLatency(far, link, 500));
    printStats("receive latency", receiveLatency(far, link, rxdLabel, 500));

    // Streaming: the far end talks unasked at 19200 bit/s (1920 bytes/s).
    const int seconds = parser.value(streamSeconds).toInt();
    std::atomic<bool> streaming{true};
    std::thread writer([&] {
        const auto start = Clock::now();
        long sent = 0;
        while (streaming) {
            const long due = long(ms(Clock::now() - start) * 1.92);
            std::string chunk;
            for (; sent < due; ++sent)
                chunk += char('0' + sent % 10);
            if (!chunk.empty() && write(far.master, chunk.data(), chunk.size()) < 0)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    const long rssStart = rssKb();
    // Fill the receive buffer to its bound first: the costly case is a full buffer that slides.
    // Written in pieces: this thread also reads the other end, and the pseudo-terminal holds only so much.
    const std::string prefill(4000, '7');
    for (int i = 0; i < 10; ++i) {
        if (write(far.master, prefill.data(), prefill.size()) < 0)
            return 1;
        runFor(20);
    }
    runFor(1000);
    const long rssOneSecond = rssKb();
    long receiveEvents = 0;
    const QMetaObject::Connection counting =
        QObject::connect(&link, &kr7::Link::bytesReceived, &form, [&receiveEvents] { ++receiveEvents; });
    const double cpu0 = threadCpuMs();
    const auto wall0 = Clock::now();
    runFor(seconds * 1000);
    const double cpu = threadCpuMs() - cpu0;
    QObject::disconnect(counting);
    const double wall = ms(Clock::now() - wall0);
    streaming = false;
    writer.join();
    std::printf("streaming 19200 bit/s %ds     GUI thread CPU %.2f%% of one core (%.0f receive events/s, "
                "%.1f us each); RSS %ld kB, after 1 s %ld kB, at the end %ld kB; receive buffer %lld chars\n",
                seconds, 100.0 * cpu / wall, receiveEvents * 1000.0 / wall,
                1000.0 * cpu / double(receiveEvents), rssStart, rssOneSecond, rssKb(),
                (long long)link.receiveBuffer().size());
    link.Timer2_Timer();
    link.emptyReceiveBuffer();
    runFor(100);
    far.take();

    // Repeat pace: hold each class and time the lines as the far end sees them.
    struct Hold {
        const char *name;
        const char *button;
        int nominal;
        bool logging = false;
    };
    // D.Zoom comes before the cursor: its release paces the cursor buttons at 5 ms. The last hold repeats
    // the 5 ms pace with the traffic log on.
    const Hold holds[] = {{"Zoom + (50 ms)", "Command15", 50},
                          {"SELECT (500 ms)", "Command6", 500},
                          {"D.Zoom + (250 ms)", "Command48", 250},
                          {"cursor after D.Zoom (5 ms)", "Command5", 5},
                          {"the same, logging", "Command5", 5, true}};
    QTemporaryDir logDir;
    kr7::traffic::TrafficLog trafficLog;
    const int hold = parser.value(holdSeconds).toInt();
    // The panel's own send times too, to tell the GUI thread's timing from the line's.
    std::vector<Clock::time_point> sends;
    QObject::connect(&link, &kr7::Link::txdChanged, &form, [&](const QString &t) {
        if (!t.isEmpty())
            sends.push_back(Clock::now());
    });
    const auto deviations = [](const std::vector<Clock::time_point> &at, int nominal, double &mean) {
        std::vector<double> deviation;
        mean = 0;
        for (size_t i = 1; i < at.size(); ++i) {
            const double period = ms(at[i] - at[i - 1]);
            mean += period;
            deviation.push_back(std::abs(period - nominal));
        }
        mean /= double(std::max<size_t>(1, deviation.size()));
        return deviation;
    };
    for (const Hold &h : holds) {
        if (h.logging && !trafficLog.isOpen()) {
            trafficLog.open(logDir.filePath(QStringLiteral("bench.log")), nullptr);
            form.setLog(&trafficLog);
        }
        QWidget *button = form.findChild<QWidget *>(QString::fromLatin1(h.button));
        far.take();
        sends.clear();
        QTest::mousePress(button, Qt::LeftButton);
        runFor(hold * 1000);
        QTest::mouseRelease(button, Qt::LeftButton);
        runFor(100);
        const std::vector<Clock::time_point> ends = far.take();
        double mean = 0, sentMean = 0;
        const std::vector<double> deviation = deviations(ends, h.nominal, mean);
        const std::vector<double> sentDeviation = deviations(sends, h.nominal, sentMean);
        std::printf(
            "hold %-26s lines %zu  mean period %.3f ms (%+.2f%%)  p99 deviation %.3f ms at the far end, "
            "%.3f ms as sent  skipped ticks %d\n",
            h.name, ends.size(), mean, 100.0 * (mean - h.nominal) / h.nominal, percentile(deviation, 99),
            percentile(sentDeviation, 99), form.commands().skippedTicks());
        runFor(300);
    }
    if (trafficLog.isOpen())
        std::printf("traffic log: %lld records written during the logged hold\n",
                    (long long)trafficLog.records());
    return 0;
}
