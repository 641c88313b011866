// Measures the panel on lines behind Debian's ser2net (started here on 127.0.0.1): transmit and receive
// latency through raw TCP and RFC 2217, a 1 MB burst from the far end, the cost of waiting for a lost line,
// and a hundred losses and returns. Prints figures; asserts nothing.
//
//   bench_network [--burst-kb N] [--wait-seconds N] [--cycles N]
#include "form1.h"
#include "latency.h"
#include "projectorsim.h"
#include "ser2net.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace bench;

namespace {

struct Panel {
    std::unique_ptr<kr7::Form1> form;
    QLabel *rxd = nullptr;
    bool open(const QString &port) {
        form = std::make_unique<kr7::Form1>(kr7::PortMap{port, QStringLiteral("/dev/null-kr7")});
        if (const auto error = form->Form_Load()) {
            std::fprintf(stderr, "%s\n", qPrintable(*error));
            return false;
        }
        form->show();
        QTest::keyClick(form.get(), Qt::Key_K, Qt::ControlModifier);
        rxd = form->findChild<QLabel *>(QStringLiteral("Label12"));
        for (int i = 0; i < 500 && !form->MSComm1().portOpen(); ++i)
            runFor(10);
        return form->MSComm1().portOpen();
    }
    // The GUI thread's time while the line, lost, is waited for.
    void measureWaiting(const char *what, int seconds) {
        while (form->MSComm1().state() != kr7::SerialLine::State::Waiting)
            runFor(10);
        const double cpu0 = threadCpuMs();
        runFor(seconds * 1000);
        std::printf("waiting for a lost %-8s %ds      GUI thread CPU %.3f%% of one core\n", what, seconds,
                    100.0 * (threadCpuMs() - cpu0) / (seconds * 1000.0));
    }
};

void latency(const char *kind, FarEnd &far, Panel &p) {
    printStats(qPrintable(QStringLiteral("transmit latency, %1").arg(QLatin1String(kind))),
               transmitLatency(far, p.form->link(), 500));
    printStats(qPrintable(QStringLiteral("receive latency, %1").arg(QLatin1String(kind))),
               receiveLatency(far, p.form->link(), p.rxd, 300));
}

// A simulated projector reached through a symlink, as a by-id name reaches an adapter.
struct LinkedProjector {
    QTemporaryDir dir;
    QString link = dir.filePath(QStringLiteral("projector"));
    std::unique_ptr<kr7::sim::ProjectorSim> projector;
    LinkedProjector() { replace(); }
    // The adapter pulled and plugged in again: a new device behind the same name.
    void replace() {
        projector = std::make_unique<kr7::sim::ProjectorSim>();
        projector->openPty();
        QFile::remove(link);
        QFile::link(projector->devicePath(), link);
    }
};

int openDescriptors() {
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size());
}

} // namespace

int main(int argc, char *argv[]) {
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption burstKb(QStringLiteral("burst-kb"), QStringLiteral("Burst size."),
                                     QStringLiteral("N"), QStringLiteral("1024"));
    const QCommandLineOption waitSeconds(QStringLiteral("wait-seconds"), QStringLiteral("Waiting time."),
                                         QStringLiteral("N"), QStringLiteral("10"));
    const QCommandLineOption cycles(QStringLiteral("cycles"), QStringLiteral("Losses and returns."),
                                    QStringLiteral("N"), QStringLiteral("100"));
    parser.addOptions({burstKb, waitSeconds, cycles});
    parser.addHelpOption();
    parser.process(app);

    for (const char *kind : {"raw", "rfc2217"}) {
        FarEnd far;
        kr7::peers::Ser2net gateway(far.slave);
        if (!gateway.start()) {
            std::fprintf(stderr, "%s\n", qPrintable(gateway.errorString()));
            return 1;
        }
        Panel p;
        if (!p.open(QLatin1String(kind) == QLatin1String("raw") ? gateway.raw() : gateway.rfc2217()))
            return 1;
        latency(kind, far, p);
    }

    // A burst from the far end, as fast as the gateway passes it on; a 1 ms ticker shows how long the event
    // loop was held at most.
    {
        FarEnd far;
        kr7::peers::Ser2net gateway(far.slave);
        Panel p;
        if (!gateway.start() || !p.open(gateway.raw()))
            return 1;
        const qint64 total = parser.value(burstKb).toLongLong() * 1024;
        qint64 consumed = 0;
        QObject::connect(&p.form->link(), &kr7::Link::bytesReceived, p.form.get(),
                         [&consumed](const QByteArray &b) { consumed += b.size(); });
        double longest = 0;
        auto last = Clock::now();
        QTimer ticker;
        ticker.setTimerType(Qt::PreciseTimer);
        ticker.setInterval(1);
        QObject::connect(&ticker, &QTimer::timeout, [&] {
            const auto now = Clock::now();
            longest = std::max(longest, ms(now - last));
            last = now;
        });
        runFor(50);
        const double cpu0 = threadCpuMs();
        const auto start = Clock::now();
        std::thread writer([&far, total] {
            const std::string chunk(4096, 'B');
            for (qint64 sent = 0; sent < total; sent += qint64(chunk.size()))
                if (write(far.master, chunk.data(), chunk.size()) < 0)
                    return;
        });
        last = Clock::now();
        ticker.start();
        while (consumed < total && ms(Clock::now() - start) < 60000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        const double took = ms(Clock::now() - start);
        ticker.stop();
        writer.join();
        std::printf(
            "burst of %lld kB through ser2net raw   consumed in %.1f ms (%.0f kB/s), GUI thread CPU %.1f ms; "
            "longest event-loop stall %.2f ms\n",
            (long long)(total / 1024), took, double(total) / 1024.0 / (took / 1000.0), threadCpuMs() - cpu0,
            longest);
    }

    // Waiting for a lost line: a device that is gone, and a gateway that is gone.
    const int wait = parser.value(waitSeconds).toInt();
    {
        LinkedProjector device;
        Panel p;
        if (!p.open(device.link))
            return 1;
        device.projector->hangUp();
        QFile::remove(device.link);
        p.measureWaiting("device", wait);
    }
    {
        FarEnd far;
        kr7::peers::Ser2net gateway(far.slave);
        Panel p;
        if (!gateway.start() || !p.open(gateway.rfc2217()))
            return 1;
        gateway.kill();
        p.measureWaiting("gateway", wait);
    }

    // Losses and returns of a device behind a symlink: descriptors and memory after as before.
    {
        LinkedProjector device;
        Panel p;
        if (!p.open(device.link))
            return 1;
        kr7::SerialLine &line = p.form->MSComm1();
        const int n = parser.value(cycles).toInt();
        int fds0 = 0;
        long rss0 = 0;
        for (int i = 0; i <= n; ++i) {
            if (i == 1) {
                fds0 = openDescriptors();
                rss0 = rssKb();
            }
            device.replace();
            while (line.state() != kr7::SerialLine::State::Waiting)
                runFor(1);
            line.retryNow();
            while (!line.portOpen())
                runFor(1);
            p.form->link().send(QStringLiteral("CR0\r"));
            runFor(5);
        }
        std::printf("%d device losses and returns       descriptors %d -> %d; RSS %ld kB -> %ld kB\n", n,
                    fds0, openDescriptors(), rss0, rssKb());
    }
    return 0;
}
