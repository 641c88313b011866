// Measures the panel over a pseudo-terminal: transmit and receive latency, CPU and memory while the far end
// streams at 19200 bit/s, and the pace of held repeat buttons. With --window, the panel in a real X window
// (Xvfb, started here when no display is set), streaming, without and with the accessibility bridge (a
// session bus of its own, the AT-SPI bus, and a listener registered for every event as a screen reader
// registers). Prints figures; asserts nothing.
//
//   bench_link [--stream-seconds N] [--hold-seconds N]
//   bench_link --window [--windows N] [--window-seconds N]
#include "form1.h"
#include "latency.h"
#include "procstat.h"
#include "trafficlog.h"

#include <QAccessible>
#include <QApplication>
#include <QCommandLineParser>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using namespace bench;

namespace {

// The far end talks unasked at 19200 bit/s (1920 bytes/s) until stopped.
struct Streamer {
    std::atomic<bool> streaming{true};
    std::thread writer;
    explicit Streamer(int master) {
        writer = std::thread([this, master] {
            const auto start = Clock::now();
            long sent = 0;
            while (streaming) {
                const long due = long(ms(Clock::now() - start) * 1.92);
                std::string chunk;
                for (; sent < due; ++sent)
                    chunk += char('0' + sent % 10);
                if (!chunk.empty() && write(master, chunk.data(), chunk.size()) < 0)
                    break;
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
    }
    ~Streamer() {
        streaming = false;
        writer.join();
    }
};

// The panel in the window it was given (xcb), the data view open, a simulated projector (a process of its
// own, so that only the panel is measured) streaming at 19200 bit/s: the process's CPU in each window of
// time, then how long the RXD field ever lagged what it should show.
int windowChild(int windows, int seconds) {
    // Detached, its output in a file: no pipe of it is watched by the measured event loop.
    QTemporaryDir dir;
    QProcess projector;
    projector.setProgram(QCoreApplication::applicationDirPath() + QStringLiteral("/kr7-projector-sim"));
    projector.setArguments({QStringLiteral("--stream")});
    projector.setStandardOutputFile(dir.filePath(QStringLiteral("sim.out")));
    projector.setStandardErrorFile(QProcess::nullDevice());
    qint64 simPid = 0;
    if (!projector.startDetached(&simPid))
        return 1;
    QString device;
    for (int i = 0; i < 500 && device.isEmpty(); ++i) {
        QThread::msleep(10);
        QFile out(dir.filePath(QStringLiteral("sim.out")));
        if (out.open(QIODevice::ReadOnly))
            device = QString::fromLocal8Bit(out.readLine()).trimmed();
    }
    const auto stopSim = qScopeGuard([simPid] { ::kill(pid_t(simPid), SIGTERM); });
    kr7::Form1 form({device, QStringLiteral("/dev/null-kr7")});
    if (const auto error = form.Form_Load()) {
        std::fprintf(stderr, "%s\n", qPrintable(*error));
        return 1;
    }
    form.show();
    QTest::mouseClick(form.findChild<QWidget *>(QStringLiteral("Command34")),
                      Qt::LeftButton); // the data view
    if (!QTest::qWaitForWindowExposed(&form, 10000))
        return 1;
    auto *rxd = form.findChild<QLabel *>(QStringLiteral("Label12"));
    runFor(1000);
    const qint64 pid = QCoreApplication::applicationPid();
    std::vector<double> shares;
    for (int w = 0; w < windows; ++w) {
        const double cpu0 = processCpuSeconds(pid);
        const auto wall0 = Clock::now();
        runFor(seconds * 1000);
        shares.push_back(100.0 * (processCpuSeconds(pid) - cpu0) / (ms(Clock::now() - wall0) / 1000.0));
    }
    // How stale the field gets: sampled every 2 ms (not during the windows above: sampling costs CPU).
    double worst = 0;
    Clock::time_point differentSince{};
    bool different = false;
    const auto until = Clock::now() + std::chrono::seconds(12); // long enough for the buffer to be cut
    while (Clock::now() < until) {
        runFor(2);
        const QStringView should =
            form.link().rxd().first(std::min(form.link().rxd().size(), form.rxdChars()));
        if (rxd->text() == should) {
            different = false;
        } else {
            if (!different)
                differentSince = Clock::now();
            different = true;
            worst = std::max(worst, ms(Clock::now() - differentSince));
        }
    }
    std::printf("accessibility %s; field shows %lld chars; CPU %%:",
                QAccessible::isActive() ? "active" : "off", (long long)form.rxdChars());
    for (double s : shares)
        std::printf(" %.2f", s);
    std::printf("  (max %.2f%% of one core); RXD field at most %.0f ms behind; RSS %ld kB\n",
                *std::max_element(shares.begin(), shares.end()), worst, statusKb(pid, "VmRSS"));
    return 0;
}

// A display for the children: this one's, or an Xvfb of our own on a free number.
struct Display {
    QProcess xvfb;
    QString name = qEnvironmentVariable("DISPLAY");
    bool open() {
        if (!name.isEmpty())
            return true;
        for (int n = 90; n < 200; ++n) {
            if (QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(n)) ||
                QFile::exists(QStringLiteral("/tmp/.X%1-lock").arg(n)))
                continue;
            xvfb.start(QStringLiteral("Xvfb"),
                       {QStringLiteral(":%1").arg(n), QStringLiteral("-screen"), QStringLiteral("0"),
                        QStringLiteral("1280x1024x24"), QStringLiteral("-nolisten"), QStringLiteral("tcp")});
            for (int i = 0; i < 200 && !QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(n)); ++i)
                QThread::msleep(25);
            if (!QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(n)))
                return false;
            name = QStringLiteral(":%1").arg(n);
            return true;
        }
        return false;
    }
    ~Display() {
        xvfb.terminate();
        xvfb.waitForFinished(5000);
    }
};

// A session bus of our own; the AT-SPI bus is started on it when the panel asks for it.
struct SessionBus {
    QProcess daemon;
    QString address;
    bool open() {
        daemon.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--session"), QStringLiteral("--nofork"),
                                                     QStringLiteral("--print-address=1")});
        if (!daemon.waitForReadyRead(5000))
            return false;
        address = QString::fromLatin1(daemon.readLine()).trimmed();
        return !address.isEmpty();
    }
    ~SessionBus() {
        daemon.terminate();
        daemon.waitForFinished(5000);
    }
};

// A screen reader's side of the AT-SPI bus: registered for every event, and receiving them.
class ScreenReader : public QObject {
    Q_OBJECT
  public:
    QString name = QStringLiteral("kr7-bench-reader");
    long events = 0;
    bool attach(const QString &sessionAddress) {
        QDBusConnection session =
            QDBusConnection::connectToBus(sessionAddress, QStringLiteral("kr7-bench-session"));
        const QDBusMessage reply = session.call(
            QDBusMessage::createMethodCall(QStringLiteral("org.a11y.Bus"), QStringLiteral("/org/a11y/bus"),
                                           QStringLiteral("org.a11y.Bus"), QStringLiteral("GetAddress")));
        if (reply.type() != QDBusMessage::ReplyMessage)
            return false;
        QDBusConnection a11y = QDBusConnection::connectToBus(reply.arguments().value(0).toString(), name);
        for (const char *event : {"object:", "window:", "focus:"}) {
            QDBusMessage m = QDBusMessage::createMethodCall(
                QStringLiteral("org.a11y.atspi.Registry"), QStringLiteral("/org/a11y/atspi/registry"),
                QStringLiteral("org.a11y.atspi.Registry"), QStringLiteral("RegisterEvent"));
            m << QString::fromLatin1(event) << QStringList() << QString();
            if (a11y.call(m).type() != QDBusMessage::ReplyMessage)
                return false;
        }
        return a11y.connect(QString(), QString(), QStringLiteral("org.a11y.atspi.Event.Object"), QString(),
                            this, SLOT(onEvent()));
    }
  public slots:
    void onEvent() { ++events; }
};

int realWindow(const QString &self, int windows, int seconds) {
    Display display;
    if (!display.open()) {
        std::fprintf(stderr, "no display and no Xvfb\n");
        return 1;
    }
    for (const bool a11y : {false, true}) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), display.name);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        SessionBus bus;
        ScreenReader reader;
        if (a11y) {
            if (!bus.open()) {
                std::fprintf(stderr, "no dbus-daemon\n");
                return 1;
            }
            env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), bus.address);
            env.insert(QStringLiteral("QT_LINUX_ACCESSIBILITY_ALWAYS_ON"), QStringLiteral("1"));
        } else {
            env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
            env.remove(QStringLiteral("QT_LINUX_ACCESSIBILITY_ALWAYS_ON"));
        }
        QProcess child;
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(self,
                    {QStringLiteral("--window-child"), QStringLiteral("--windows"), QString::number(windows),
                     QStringLiteral("--window-seconds"), QString::number(seconds)});
        if (a11y) {
            runFor(1500); // the panel has asked for the AT-SPI bus by now
            if (!reader.attach(bus.address))
                std::fprintf(stderr, "no AT-SPI registry to register with\n");
        }
        child.waitForFinished((windows * seconds + 60) * 1000);
        const QByteArray out = child.readAllStandardOutput().trimmed();
        std::printf("real window, streaming, %-27s %s\n",
                    a11y ? "accessibility bridge on:" : "no accessibility bridge:", out.constData());
        if (a11y)
            std::printf("                             the screen reader's side got %ld object events\n",
                        reader.events);
    }
    return 0;
}

} // namespace

int main(int argc, char *argv[]) {
    for (int i = 1; i < argc; ++i)
        if (QByteArray(argv[i]) == "--window-child" && qgetenv("QT_QPA_PLATFORM").isEmpty())
            qputenv("QT_QPA_PLATFORM", "xcb");
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption streamSeconds(QStringLiteral("stream-seconds"),
                                           QStringLiteral("Streaming time."), QStringLiteral("N"),
                                           QStringLiteral("30"));
    const QCommandLineOption holdSeconds(QStringLiteral("hold-seconds"), QStringLiteral("Hold per pace."),
                                         QStringLiteral("N"), QStringLiteral("5"));
    const QCommandLineOption window(QStringLiteral("window"),
                                    QStringLiteral("The panel in a real X window."));
    const QCommandLineOption childOption(QStringLiteral("window-child"),
                                         QStringLiteral("(the measured panel)"));
    const QCommandLineOption windowCount(QStringLiteral("windows"),
                                         QStringLiteral("Windows of time measured."), QStringLiteral("N"),
                                         QStringLiteral("4"));
    const QCommandLineOption windowSeconds(QStringLiteral("window-seconds"), QStringLiteral("Seconds each."),
                                           QStringLiteral("N"), QStringLiteral("20"));
    parser.addOptions({streamSeconds, holdSeconds, window, childOption, windowCount, windowSeconds});
    parser.addHelpOption();
    parser.process(app);
    if (parser.isSet(childOption))
        return windowChild(parser.value(windowCount).toInt(), parser.value(windowSeconds).toInt());
    if (parser.isSet(window))
        return realWindow(QCoreApplication::applicationFilePath(), parser.value(windowCount).toInt(),
                          parser.value(windowSeconds).toInt());

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
    auto streamer = std::make_unique<Streamer>(far.master);
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
    streamer.reset();
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

#include "bench_link.moc"
