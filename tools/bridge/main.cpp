// kr7-bridge: a venue's projectors watched around the clock, for Prometheus.
#include "bridge.h"
#include "config.h"
#include "kr7version.h"
#include "record.h"
#include "say.h"
#include "stopsignals.h"
#include "trafficlog.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <csignal>
#include <cstdio>

int main(int argc, char *argv[]) {
    using namespace kr7::bridge;
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kr7-bridge"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KR7_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Watches a venue's KR7 projectors around the clock: asks each the panel's status queries every poll "
        "interval, one exchange at a time on each line, and serves what it read as Prometheus metrics "
        "(GET /metrics) and JSON (GET /state). Runs in the foreground; says what an operator should know on "
        "standard error. SIGTERM or SIGINT closes the ports and ends it with status 0."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption config(QStringLiteral("config"),
                                    QStringLiteral("The YAML configuration (default /etc/kr7-bridge.yaml)."),
                                    QStringLiteral("FILE"), QStringLiteral("/etc/kr7-bridge.yaml"));
    const QCommandLineOption check(
        QStringLiteral("check-config"),
        QStringLiteral("Check the configuration and exit: 0 when it is good, 1 when not."));
    const QCommandLineOption log(QStringLiteral("log"),
                                 QStringLiteral("Append every byte sent and received, timestamped, to FILE."),
                                 QStringLiteral("FILE"));
    parser.addOptions({config, check, log});
    if (!parser.parse(QCoreApplication::arguments())) {
        std::fprintf(stderr, "kr7-bridge: %s\n(kr7-bridge --help tells how it is used)\n",
                     qPrintable(parser.errorText()));
        return 1;
    }
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();
    if (!parser.positionalArguments().isEmpty()) {
        std::fprintf(stderr, "kr7-bridge: unexpected argument '%s'\n",
                     qPrintable(parser.positionalArguments().first()));
        return 1;
    }

    auto loaded = loadConfig(parser.value(config));
    if (const QString *error = std::get_if<QString>(&loaded)) {
        say(*error);
        return 1;
    }
    Config settings = std::get<Config>(std::move(loaded));
    if (parser.isSet(check)) {
        std::printf("%s: good: %lld projectors on %lld lines\n", qPrintable(parser.value(config)),
                    (long long)settings.projectorCount(), (long long)settings.lines.size());
        return 0;
    }

    kr7::traffic::TrafficLog trafficLog;
    if (parser.isSet(log)) {
        QString error;
        if (!trafficLog.open(parser.value(log), &error)) {
            say(error);
            return 1;
        }
        QStringList ports;
        for (const LineConfig &l : settings.lines)
            ports << l.port;
        trafficLog.text(QStringLiteral("kr7-bridge"), kr7::traffic::Kind::OPEN,
                        QStringLiteral("session start: kr7-bridge %1; %2")
                            .arg(QStringLiteral(KR7_VERSION), ports.join(QStringLiteral(", "))));
        QObject::connect(&trafficLog, &kr7::traffic::TrafficLog::failed, &app, [](const QString &reason) {
            say(QStringLiteral("traffic log stopped: %1").arg(reason));
        });
    }

    Bridge bridge(std::move(settings), trafficLog.isOpen() ? &trafficLog : nullptr);

    // SIGTERM (systemd's stop) and SIGINT end the run cleanly: ports closed, the log complete.
    kr7::StopSignals stopSignals;
    if (!stopSignals.isValid()) {
        say(QStringLiteral("cannot watch for SIGTERM"));
        return 1;
    }
    QObject::connect(&stopSignals, &kr7::StopSignals::received, &app, [&](int signal) {
        say(QStringLiteral("stopping (%1)")
                .arg(signal == SIGTERM ? QStringLiteral("SIGTERM") : QStringLiteral("SIGINT")));
        bridge.stop();
        QCoreApplication::exit(0);
    });
    std::signal(SIGPIPE, SIG_IGN);

    QString error;
    if (!bridge.start(&error)) {
        say(error);
        return 1;
    }
    return app.exec();
}
