// kr7-projector-sim: a simulated KR7 projector on a serial line, for demos and tests without hardware.
#include "kr7version.h"
#include "projectorsim.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {
int g_signalPipe[2] = {-1, -1};
void onSignal(int) {
    const char c = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &c, 1);
}
} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kr7-projector-sim"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KR7_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Simulated four-lamp KR7 projector(s) on a serial line. Opens a pseudo-terminal pair and "
        "prints the device path the panel should open as the first line of output.\n"
        "Units answer to A001..A004 on a shared line; AFFF acts on every unit and only the "
        "lowest-numbered unit answers; a line without address is for the lowest-numbered unit."));
    parser.addHelpOption();
    parser.addVersionOption();
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
    parser.addOptions({device, baud, units, noReply, delay, pieces, garbage, stream, hangUp, verbose});
    parser.process(app);

    QList<int> unitList;
    for (const QString &u : parser.value(units).split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        bool ok = false;
        const int n = u.trimmed().toInt(&ok);
        if (!ok || n < 1 || n > 999) {
            std::fprintf(stderr, "kr7-projector-sim: bad unit number '%s'\n", qPrintable(u));
            return 2;
        }
        unitList.append(n);
    }

    kr7::sim::ProjectorSim sim(unitList);
    sim.faults.noReply = parser.isSet(noReply);
    sim.faults.replyDelayMs = parser.value(delay).toInt();
    sim.faults.pieceGapMs = parser.value(pieces).toInt();
    sim.faults.garbage = parser.isSet(garbage);
    sim.faults.hangUpAfterLines = parser.value(hangUp).toInt();
    if (parser.isSet(stream))
        sim.faults.streamBps = 1920;

    const bool opened = parser.isSet(device)
                            ? sim.openDevice(parser.value(device), parser.value(baud).toInt())
                            : sim.openPty();
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
