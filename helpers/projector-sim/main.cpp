// kr7-projector-sim: a simulated KR7 projector on a serial line, for demos and tests without hardware.
#include "commandline.h"
#include "escape.h"
#include "projectorsim.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {
int g_signalPipe[2] = {-1, -1};

// A malformed or out-of-range value is said, naming the option and the value, and ends the program.
[[noreturn]] void usage(const QString &option, const QString &value, const QString &what) {
    std::fprintf(stderr, "kr7-projector-sim: --%s '%s': %s\n", qPrintable(option), qPrintable(value),
                 qPrintable(what));
    std::exit(1);
}

int number(const QCommandLineParser &parser, const QCommandLineOption &option, int least, int most,
           const QString &what) {
    const QString value = parser.value(option);
    bool ok = false;
    const int n = value.toInt(&ok);
    if (!ok || n < least || n > most)
        usage(option.names().constFirst(), value, what);
    return n;
}
void onSignal(int) {
    const char c = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &c, 1);
}
} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    kr7::cli::CommandLine cli(
        QStringLiteral("kr7-projector-sim"),
        QStringLiteral(
            "Simulated four-lamp KR7 projector(s) on a serial line. Opens a pseudo-terminal pair and "
            "prints the device path the panel should open as the first line of output.\n"
            "Units answer to A001..A004 on a shared line; AFFF acts on every unit and only the "
            "lowest-numbered unit answers; a line without address is for the lowest-numbered unit."));
    const QCommandLineOption device(
        QStringLiteral("device"), QStringLiteral("Serve an existing port instead."), QStringLiteral("PATH"));
    const QCommandLineOption baud(QStringLiteral("baud"), QStringLiteral("Speed with --device (19200)."),
                                  QStringLiteral("BPS"), QStringLiteral("19200"));
    const QCommandLineOption units(QStringLiteral("units"),
                                   QStringLiteral("Unit numbers on the line (1,2,3,4)."),
                                   QStringLiteral("LIST"), QStringLiteral("1,2,3,4"));
    const QCommandLineOption noReply(QStringLiteral("no-reply"),
                                     QStringLiteral("Act on lines, answer nothing."));
    const QCommandLineOption delay(QStringLiteral("delay"), QStringLiteral("Reply delay in ms (5)."),
                                   QStringLiteral("MS"), QStringLiteral("5"));
    const QCommandLineOption pieces(QStringLiteral("pieces"),
                                    QStringLiteral("Send replies one byte at a time, MS apart."),
                                    QStringLiteral("MS"));
    const QCommandLineOption garbage(QStringLiteral("garbage"), QStringLiteral("Answer random bytes."));
    const QCommandLineOption stream(QStringLiteral("stream"),
                                    QStringLiteral("Talk unasked at the full line rate (1920 bytes/s)."));
    const QCommandLineOption hangUp(QStringLiteral("hang-up-after"), QStringLiteral("Hang up after N lines."),
                                    QStringLiteral("N"));
    const QCommandLineOption verbose(QStringLiteral("verbose"), QStringLiteral("Log every line to stderr."));
    const QCommandLineOption reply(
        QStringLiteral("reply"),
        QStringLiteral(
            "Answer QUERY (a code such as CR6, or a whole line such as A002CR6) with TEXT instead, "
            "escaped as in the traffic log (\\r, \\xHH): --reply 'CR6=035.5C,40.5C\\r'. "
            "Any number of times."),
        QStringLiteral("QUERY=TEXT"));
    cli.addOptions({device, baud, units, noReply, delay, pieces, garbage, stream, hangUp, verbose, reply});
    if (const auto status = cli.parse())
        return *status;
    const QCommandLineParser &parser = cli.parser();

    QList<int> unitList;
    for (const QString &u : parser.value(units).split(QLatin1Char(','))) {
        bool ok = false;
        const int n = u.trimmed().toInt(&ok);
        if (!ok || n < 1 || n > 999 || unitList.contains(n))
            usage(QStringLiteral("units"), parser.value(units),
                  QStringLiteral("unit numbers 1 to 999, each once, "
                                 "separated by commas"));
        unitList.append(n);
    }

    kr7::sim::ProjectorSim sim(unitList);
    sim.faults.noReply = parser.isSet(noReply);
    sim.faults.replyDelayMs = number(parser, delay, 0, 60000, QStringLiteral("milliseconds from 0 to 60000"));
    if (parser.isSet(pieces))
        sim.faults.pieceGapMs =
            number(parser, pieces, 1, 60000, QStringLiteral("milliseconds from 1 to 60000"));
    sim.faults.garbage = parser.isSet(garbage);
    if (parser.isSet(hangUp))
        sim.faults.hangUpAfterLines =
            number(parser, hangUp, 1, 1000000000, QStringLiteral("a number of lines from 1 up"));
    for (const QString &given : parser.values(reply)) {
        const qsizetype eq = given.indexOf(QLatin1Char('='));
        const std::optional<QByteArray> text =
            eq > 0 ? kr7::traffic::unescape(given.mid(eq + 1).toUtf8()) : std::nullopt;
        if (!text)
            usage(QStringLiteral("reply"), given,
                  QStringLiteral("QUERY=TEXT, the text escaped as in the traffic log (\\r, \\xHH)"));
        sim.faults.replies.insert(given.left(eq).toLatin1(), *text);
    }
    const int speed = number(parser, baud, 50, 4000000, QStringLiteral("a speed in bit/s, such as 19200"));
    if (parser.isSet(stream))
        sim.faults.streamBps = 1920;

    const bool opened = parser.isSet(device) ? sim.openDevice(parser.value(device), speed) : sim.openPty();
    if (!opened) {
        std::fprintf(stderr, "kr7-projector-sim: %s\n", qPrintable(sim.errorString()));
        return 1;
    }
    std::printf("%s\n", qPrintable(sim.devicePath()));
    std::fflush(stdout);

    if (parser.isSet(verbose)) {
        QObject::connect(&sim, &kr7::sim::ProjectorSim::lineReceived, &sim, [](const QByteArray &line) {
            std::fprintf(stderr, "line: %s\n", line.toPercentEncoding(" ").constData());
        });
    }
    QObject::connect(&sim, &kr7::sim::ProjectorSim::hungUp, &app, [] {
        std::fprintf(stderr, "kr7-projector-sim: hung up\n");
        QCoreApplication::exit(0);
    });
    sim.setStreaming(parser.isSet(stream));

    // End cleanly on SIGINT/SIGTERM, so the pseudo-terminal closes like a device that is switched off.
    if (::pipe(g_signalPipe) == 0) {
        auto *notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, &app);
        QObject::connect(notifier, &QSocketNotifier::activated, &app, [] { QCoreApplication::exit(0); });
        std::signal(SIGINT, onSignal);
        std::signal(SIGTERM, onSignal);
    }
    return app.exec();
}
