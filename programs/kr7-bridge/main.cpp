// kr7-bridge: a venue's projectors watched around the clock, for Prometheus.
#include "bridge.h"
#include "calendar.h"
#include "calendartext.h"
#include "commandline.h"
#include "config.h"
#include "historyprint.h"
#include "journal.h"
#include "lampreport.h"
#include "portname.h"
#include "processsignals.h"
#include "scan.h"
#include "systemd.h"
#include "trafficlog.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>

#include <csignal>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

// kr7-bridge --scan PORT...: every port asked at once, each one exchange at a time; the section printed when
// all are done.
int scanPorts(const kr7::cli::CommandLine &cli, const QStringList &ports) {
    using namespace kr7::bridge;
    if (ports.isEmpty()) {
        cli.usage(QStringLiteral(
            "--scan: name the ports to ask (/dev/ttyUSB0, tcp://HOST:PORT, rfc2217://HOST:PORT)"));
        return 2;
    }
    for (const QString &port : ports) {
        const auto parsed = kr7::parsePortName(port);
        const QString *error = std::get_if<QString>(&parsed);
        if (error || (std::get<kr7::PortName>(parsed).kind == kr7::PortName::Kind::Device &&
                      !port.startsWith(QLatin1Char('/')))) {
            cli.fail(error
                         ? *error
                         : QStringLiteral("port '%1': a device path starts at / (/dev/ttyUSB0); a gateway is "
                                          "tcp://HOST:PORT or rfc2217://HOST:PORT")
                               .arg(port));
            return 2;
        }
    }
    std::vector<std::unique_ptr<PortScan>> scans;
    int running = 0;
    for (const QString &port : ports) {
        scans.push_back(std::make_unique<PortScan>(port));
        ++running;
        QObject::connect(
            scans.back().get(), &PortScan::finished, QCoreApplication::instance(),
            [&running] {
                if (--running == 0)
                    QCoreApplication::exit(0);
            },
            Qt::QueuedConnection);
        scans.back()->start();
    }
    QCoreApplication::exec();
    QList<ScanResult> results;
    bool any = false;
    for (const auto &s : scans) {
        results << s->result();
        any = any || !s->result().answered.isEmpty();
        if (!s->result().error.isEmpty())
            journal(QStringLiteral("%1: not asked: %2").arg(s->result().port, s->result().error));
    }
    const QByteArray section = scanSection(results);
    std::fwrite(section.constData(), 1, size_t(section.size()), stdout);
    return any ? 0 : 1;
}

// The history file a running service writes: the configuration's, or the unit's StateDirectory's when run
// from a shell without one.
kr7::bridge::HistoryPlace historyFileOf(const kr7::bridge::HistoryConfig &h) {
    kr7::bridge::HistoryPlace place = kr7::bridge::historyPlace(h);
    if (place.path.isEmpty() && !h.off)
        place.path = QStringLiteral("/var/lib/kr7-bridge/history.sqlite");
    return place;
}

// The configuration in the file, or nothing once what is wrong with it is said.
std::optional<kr7::bridge::Config> configOf(const QString &path) {
    auto loaded = kr7::bridge::loadConfig(path);
    if (const QString *error = std::get_if<QString>(&loaded)) {
        kr7::bridge::journal(*error);
        return std::nullopt;
    }
    return std::get<kr7::bridge::Config>(std::move(loaded));
}

// kr7-bridge --calendar: the runs the schedules make of the days ahead, with the history's overrides.
int printCalendar(const kr7::cli::CommandLine &cli, const QString &configPath, const QString &from,
                  const QString &days) {
    using namespace kr7::bridge;
    const std::optional<Config> loaded = configOf(configPath);
    if (!loaded)
        return 1;
    const Config &c = *loaded;
    qint64 fromMs = QDateTime::currentMSecsSinceEpoch();
    if (!from.isEmpty()) {
        const auto parsed = parseCalendarStart(from, zoneOf(c));
        if (!parsed)
            return cli.usage(QStringLiteral("--from: '%1' is not a time: ISO 8601 with an offset "
                                            "(2026-12-24T15:00:00+01:00), or a local date and time "
                                            "(2026-12-24T15:00, 2026-12-24)")
                                 .arg(from.left(64)));
        fromMs = *parsed;
    }
    bool ok = true;
    const int n = days.isEmpty() ? 7 : days.toInt(&ok);
    if (!ok || n < 1 || n > 3660)
        return cli.usage(
            QStringLiteral("--days: '%1': a whole number of days, 1 to 3660").arg(days.left(64)));
    const QByteArray text = calendarText(c, fromMs, n, historyFileOf(c.history).path);
    std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
    return 0;
}

// kr7-bridge --history: the file the configuration names (or the unit's), read as the console's API reads it.
int printHistory(const kr7::cli::CommandLine &cli, const QString &configPath,
                 const QList<std::pair<QString, QCommandLineOption>> &options, bool csv) {
    using namespace kr7::bridge;
    const std::optional<Config> loaded = configOf(configPath);
    if (!loaded)
        return 1;
    const HistoryPlace place = historyFileOf(loaded->history);
    if (place.path.isEmpty()) {
        cli.fail(QStringLiteral("--history: %1").arg(place.whyOff));
        return 1;
    }
    QueryItems items;
    for (const auto &[name, option] : options)
        if (cli.isSet(option))
            items.append({name, cli.value(option)});
    if (csv)
        items.append({QStringLiteral("format"), QStringLiteral("csv")});
    auto parsed = parseHistoryQuery(items, false, QTimeZone::systemTimeZone());
    if (const QString *why = std::get_if<QString>(&parsed)) {
        cli.usage(QStringLiteral("--history: %1")
                      .arg(QString(*why).replace(QLatin1String("parameter '"), QLatin1String("option '--"))));
        return 2;
    }
    QString error;
    const QByteArray report = historyReport(place.path, std::get<HistoryQuery>(parsed), &error);
    if (!error.isEmpty()) {
        cli.fail(error);
        return 1;
    }
    std::fwrite(report.constData(), 1, size_t(report.size()), stdout);
    return 0;
}

// kr7-bridge --lamps: every lamp, the soonest to be spent first: from the running service when it answers on
// its plain-HTTP address without a login, else from the history file.
int printLamps(const kr7::cli::CommandLine &cli, const QString &configPath, const QString &webConfig,
               bool csv) {
    using namespace kr7::bridge;
    auto loaded = loadSettings(configPath, webConfig);
    if (const QString *error = std::get_if<QString>(&loaded)) {
        journal(*error);
        return 1;
    }
    const Settings &settings = std::get<Settings>(loaded);
    const Config &c = settings.config;
    QJsonArray lamps;
    bool asked = false;
    if (!settings.web || (!settings.web->tls && settings.web->users.empty())) {
        QString host = c.listenHost == QLatin1String("0.0.0.0") ? QStringLiteral("127.0.0.1")
                       : c.listenHost == QLatin1String("::")    ? QStringLiteral("::1")
                                                                : c.listenHost;
        if (host.contains(QLatin1Char(':')))
            host = QLatin1Char('[') + host + QLatin1Char(']');
        QNetworkAccessManager http;
        QNetworkRequest request(QUrl(QStringLiteral("http://%1:%2/api/lamps").arg(host).arg(c.listenPort)));
        request.setTransferTimeout(5000);
        QNetworkReply *reply = http.get(request);
        QObject::connect(reply, &QNetworkReply::finished, QCoreApplication::instance(),
                         &QCoreApplication::quit);
        QCoreApplication::exec();
        const QJsonDocument d = QJsonDocument::fromJson(reply->readAll());
        if (reply->error() == QNetworkReply::NoError && d.isArray()) {
            lamps = d.array();
            asked = true;
        }
        delete reply;
    }
    if (!asked) {
        const HistoryPlace place = historyFileOf(c.history);
        HistoryDb db;
        if (place.path.isEmpty() || !db.openForReading(place.path)) {
            cli.fail(QStringLiteral(
                         "--lamps: the service does not answer on %1:%2 and the history cannot be read (%3)")
                         .arg(c.listenHost)
                         .arg(c.listenPort)
                         .arg(place.path.isEmpty() ? place.whyOff : db.error()));
            return 1;
        }
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        QStringList names;
        for (const LineConfig &line : c.lines)
            for (const ProjectorConfig &p : line.projectors)
                names << p.name;
        const std::optional<LampHistory> history = db.lampHistory(names, now);
        if (!history) {
            cli.fail(QStringLiteral("--lamps: %1").arg(db.error()));
            return 1;
        }
        const QTimeZone zone = zoneOf(c);
        const QMap<QString, LampRecords> records = lampRecords(history->samples, history->events, zone);
        for (const LineConfig &line : c.lines)
            for (const ProjectorConfig &p : line.projectors) {
                const LampRecords r = records.value(p.name);
                const LampPlan plan = lampPlan(r, c.lampLifeHours(p), c.lamps.warnAt, now, zone);
                for (int lamp = 1; lamp <= 4; ++lamp) {
                    const auto h =
                        r.samples.isEmpty() ? std::nullopt : r.samples.last().hours[size_t(lamp - 1)];
                    lamps << lampObject(p.name, lamp, h ? QJsonValue(*h) : QJsonValue(QJsonValue::Null), plan,
                                        r.serial[size_t(lamp - 1)]);
                }
            }
        sortLamps(lamps);
    }
    const QByteArray text = lampReportText(lamps, csv);
    std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
    return 0;
}

} // namespace

int main(int argc, char *argv[]) {
    using namespace kr7::bridge;
    QCoreApplication app(argc, argv);
    kr7::cli::CommandLine cli(
        QStringLiteral("kr7-bridge"),
        QStringLiteral(
            "Watches a venue's KR7 projectors around the clock: asks each the panel's status queries "
            "every poll interval, one exchange at a time on each line, and serves what it read as "
            "Prometheus metrics (GET /metrics) and JSON (GET /state). Runs in the foreground; says "
            "what an operator should know on standard error. SIGTERM or SIGINT closes the ports and "
            "ends it with status 0."));
    const QCommandLineOption config(QStringLiteral("config"),
                                    QStringLiteral("The YAML configuration (default /etc/kr7-bridge.yaml)."),
                                    QStringLiteral("FILE"), QStringLiteral("/etc/kr7-bridge.yaml"));
    const QCommandLineOption check(
        QStringLiteral("check-config"),
        QStringLiteral("Check the configuration and exit: 0 when it is good, 1 when not."));
    const QCommandLineOption scan(
        QStringLiteral("scan"),
        QStringLiteral(
            "Ask each PORT given after the options which units answer, at 19200 and else at 9600 bit/s, "
            "and print a lines: section for the configuration. Exit status 0 when any answered, 1 when "
            "none did, 2 for a port name that is not one."));
    const QCommandLineOption webConfig(
        QStringLiteral("web.config.file"),
        QStringLiteral("The web configuration of Prometheus' exporters (TLS, basic_auth_users, headers) and "
                       "kr7_operators, in place of the configuration's web_config_file."),
        QStringLiteral("FILE"));
    const QCommandLineOption history(
        QStringLiteral("history"),
        QStringLiteral(
            "Print the history file's events (read-only, while the service runs), oldest first, one a line; "
            "with --projector, --kind, --origin, --since, --until and --csv."));
    const QCommandLineOption projector(QStringLiteral("projector"),
                                       QStringLiteral("With --history: only its events."),
                                       QStringLiteral("NAME"));
    const QCommandLineOption kind(
        QStringLiteral("kind"),
        QStringLiteral("With --history: command, state, alarm, service, lamp or schedule."),
        QStringLiteral("KIND"));
    const QCommandLineOption origin(
        QStringLiteral("origin"),
        QStringLiteral("With --history: commands of one face (console, mqtt, pjlink, schedule)."),
        QStringLiteral("FACE"));
    const QCommandLineOption since(
        QStringLiteral("since"),
        QStringLiteral("With --history: from this time (ISO 8601 with an offset, or a date)."),
        QStringLiteral("TIME"));
    const QCommandLineOption until(
        QStringLiteral("until"), QStringLiteral("With --history: before this time."), QStringLiteral("TIME"));
    const QCommandLineOption csv(QStringLiteral("csv"),
                                 QStringLiteral("With --history or --lamps: CSV with a header row."));
    const QCommandLineOption calendar(
        QStringLiteral("calendar"),
        QStringLiteral(
            "Print every run of the schedules in the days ahead, one a line in time order: the local "
            "time with its offset, the entry, its projectors, the action and the overrides the "
            "history file keeps; with --from and --days."));
    const QCommandLineOption from(
        QStringLiteral("from"),
        QStringLiteral("With --calendar: from this time (ISO 8601 with an offset, or a local date and time; "
                       "default now)."),
        QStringLiteral("TIME"));
    const QCommandLineOption days(QStringLiteral("days"),
                                  QStringLiteral("With --calendar: this many days of 24 h (default 7)."),
                                  QStringLiteral("N"));
    const QCommandLineOption lamps(
        QStringLiteral("lamps"),
        QStringLiteral(
            "Print every projector's lamps (hours, life, remaining, forecast end, last replacement), "
            "the soonest to be spent first: from the running service, or the history file; with --csv."));
    cli.addOptions({config, check, scan, webConfig, history, projector, kind, origin, since, until, csv,
                    calendar, from, days, lamps});
    cli.addLogOption();
    cli.parser().addPositionalArgument(QStringLiteral("PORT"), QStringLiteral("With --scan: a port to ask."),
                                       QStringLiteral("[PORT...]"));
    if (const auto status = cli.parse(true))
        return *status;
    const QStringList scanned = cli.parser().positionalArguments();
    if (cli.isSet(scan))
        return scanPorts(cli, scanned);
    if (!scanned.isEmpty())
        return cli.usage(
            QStringLiteral("unexpected argument '%1' (ports are given with --scan)").arg(scanned.first()));

    if (cli.isSet(calendar))
        return printCalendar(cli, cli.value(config), cli.value(from), cli.value(days));
    if (cli.isSet(lamps))
        return printLamps(cli, cli.value(config), cli.value(webConfig), cli.isSet(csv));
    if (cli.isSet(history))
        return printHistory(cli, cli.value(config),
                            {{QStringLiteral("projector"), projector},
                             {QStringLiteral("kind"), kind},
                             {QStringLiteral("origin"), origin},
                             {QStringLiteral("since"), since},
                             {QStringLiteral("until"), until}},
                            cli.isSet(csv));

    auto loaded = loadSettings(cli.value(config), cli.value(webConfig));
    if (const QString *error = std::get_if<QString>(&loaded)) {
        journal(*error);
        return 1;
    }
    Settings settings = std::get<Settings>(std::move(loaded));
    if (cli.isSet(check)) {
        std::printf("%s: good: %lld projectors on %lld lines%s\n", qPrintable(cli.value(config)),
                    (long long)settings.config.projectorCount(), (long long)settings.config.lines.size(),
                    settings.web ? qPrintable(QStringLiteral("; web config %1 good").arg(settings.web->path))
                                 : "");
        return 0;
    }

    kr7::traffic::TrafficLog trafficLog;
    QStringList ports;
    for (const LineConfig &l : settings.config.lines)
        ports << l.port;
    if (!cli.openLog(trafficLog, ports.join(QStringLiteral(", "))))
        return 1;
    QObject::connect(&trafficLog, &kr7::traffic::TrafficLog::failed, &app, [](const QString &reason) {
        journal(QStringLiteral("traffic log stopped: %1").arg(reason));
    });

    Bridge bridge(std::move(settings), trafficLog.isOpen() ? &trafficLog : nullptr);
    SystemdNotifier systemd;

    // SIGTERM (systemd's stop) and SIGINT end the run cleanly: ports closed, the log complete. SIGHUP
    // (systemctl reload, logrotate) opens the traffic log again and reads the configuration again.
    kr7::ProcessSignals processSignals({SIGINT, SIGTERM, SIGHUP});
    if (!processSignals.isValid()) {
        journal(QStringLiteral("cannot watch for SIGTERM"));
        return 1;
    }
    QObject::connect(&processSignals, &kr7::ProcessSignals::received, &app, [&](int signal) {
        if (signal == SIGHUP) {
            systemd.reloading();
            if (trafficLog.isOpen()) {
                QString error;
                if (trafficLog.reopen(&error))
                    trafficLog.sessionStart(cli.program(), QStringLiteral("log opened again on SIGHUP"));
                else
                    journal(QStringLiteral("SIGHUP: the traffic log stays where it was: %1").arg(error));
            }
            auto next = loadSettings(cli.value(config), cli.value(webConfig));
            if (const QString *error = std::get_if<QString>(&next)) {
                journal(QStringLiteral("SIGHUP: the configuration in force stays: %1").arg(*error));
                bridge.state().changeService([](ServiceState &s) { s.lastReloadOk = false; });
            } else {
                bridge.reload(std::get<Settings>(std::move(next)));
            }
            systemd.ready(QStringLiteral("running"));
            return;
        }
        journal(QStringLiteral("stopping (%1)")
                    .arg(signal == SIGTERM ? QStringLiteral("SIGTERM") : QStringLiteral("SIGINT")));
        systemd.stopping();
        bridge.stop();
        QCoreApplication::exit(0);
    });
    std::signal(SIGPIPE, SIG_IGN);

    QString error;
    if (!bridge.start(&error)) {
        journal(error);
        return 1;
    }
    systemd.ready(QStringLiteral("running"));
    return app.exec();
}
