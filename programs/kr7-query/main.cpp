// kr7-query: the panel's queries from a shell, for one projector or a whole venue at once.
#include "catalogue.h"
#include "commandline.h"
#include "commandset.h"
#include "portname.h"
#include "portquery.h"
#include "processsignals.h"
#include "serialline.h"
#include "trafficlog.h"

#include <QCoreApplication>

#include <csignal>

#include <cstdio>
#include <memory>

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    kr7::cli::CommandLine cli(
        QStringLiteral("kr7-query"),
        QStringLiteral("Asks KR7 projectors on RS-232C lines what the panel's status buttons ask, and prints "
                       "the answers as "
                       "the panel decodes them: PORT<TAB>COMMAND<TAB>RESULT per line, or JSON Lines. Every "
                       "port is asked at "
                       "once; each port's commands one after the other.\n\n"
                       "COMMAND is a query name: power (CR0), input (CR1), lamp-hours (CR3), orientation "
                       "(CR4), temperature "
                       "(CR6), lamps (CR7), pc-type (CR9), signal (CRA), pressure (CR PRESSURE); or any "
                       "other word, sent as "
                       "typed, as the panel's command field sends it (C00 switches the power on).\n\n"
                       "Exit status: 0 every command answered; 2 at least one got no reply; 1 a usage error "
                       "or a port that "
                       "could not be used."));
    const QCommandLineOption port(
        QStringLiteral("port"),
        QStringLiteral("A device path, tcp://HOST:PORT or rfc2217://HOST:PORT; repeat it "
                       "for more projectors (default %1).")
            .arg(kr7::PortMap::platformDefault().com1),
        QStringLiteral("PORT"));
    const QCommandLineOption speed(QStringLiteral("speed"),
                                   QStringLiteral("19200 or 9600 bit/s (19200); 8N1."), QStringLiteral("BPS"),
                                   QStringLiteral("19200"));
    const QCommandLineOption unit(QStringLiteral("unit"),
                                  QStringLiteral("Address: single, all, 1, 2, 3 or 4 (single)."),
                                  QStringLiteral("UNIT"), QStringLiteral("single"));
    const QCommandLineOption timeout(QStringLiteral("timeout"),
                                     QStringLiteral("Reply window of each command in ms (500)."),
                                     QStringLiteral("MS"), QStringLiteral("500"));
    const QCommandLineOption json(QStringLiteral("json"), QStringLiteral("One JSON object per line."));
    cli.addOptions({port, speed, unit, timeout, json});
    cli.addLogOption();
    cli.parser().addPositionalArgument(QStringLiteral("COMMAND"), QStringLiteral("What to ask or send."),
                                       QStringLiteral("COMMAND..."));
    if (const auto status = cli.parse(true))
        return *status;

    kr7::query::Plan plan;
    const QString speedValue = cli.value(speed);
    if (speedValue != QLatin1String("19200") && speedValue != QLatin1String("9600"))
        return cli.usage(QStringLiteral("--speed '%1': 19200 or 9600").arg(speedValue));
    plan.settings = speedValue + QStringLiteral(",N,8,1");
    plan.unit = cli.value(unit);
    const kr7::Address *address = kr7::findUnit(plan.unit.toStdString());
    if (!address)
        return cli.usage(QStringLiteral("--unit '%1': single, all, 1, 2, 3 or 4").arg(plan.unit));
    plan.prefix = kr7::fromView(address->prefix);
    bool ok = false;
    plan.timeoutMs = cli.value(timeout).toInt(&ok);
    if (!ok || plan.timeoutMs < 1 || plan.timeoutMs > 600000)
        return cli.usage(QStringLiteral("--timeout '%1': a number of milliseconds from 1 to 600000")
                             .arg(cli.value(timeout)));
    for (const QString &word : cli.parser().positionalArguments()) {
        const std::string_view code = kr7::queryCode(word.toStdString());
        plan.commands.append(
            {word, code.empty() ? kr7::CommandSet::toLineCharacters(word) : kr7::fromView(code)});
    }
    if (plan.commands.isEmpty())
        return cli.usage(QStringLiteral("no COMMAND given (power, lamp-hours, temperature, ...)"));
    QStringList ports = cli.parser().values(port);
    if (ports.isEmpty())
        ports << kr7::PortMap::platformDefault().com1;
    for (qsizetype i = 0; i < ports.size(); ++i) {
        const auto parsed = kr7::parsePortName(ports[i]);
        if (const QString *error = std::get_if<QString>(&parsed))
            return cli.usage(QStringLiteral("--port: %1").arg(*error));
        if (ports.indexOf(ports[i]) != i) // two queries at once on one line would answer each other's
            return cli.usage(QStringLiteral("--port '%1' is given twice").arg(ports[i]));
    }

    kr7::traffic::TrafficLog trafficLog;
    if (!cli.openLog(
            trafficLog,
            QStringLiteral("%1; %2; unit %3").arg(ports.join(QLatin1Char(' ')), plan.settings, plan.unit)))
        return 1;

    std::vector<std::unique_ptr<kr7::query::PortQuery>> queries;
    for (const QString &p : ports)
        queries.push_back(
            std::make_unique<kr7::query::PortQuery>(p, plan, trafficLog.isOpen() ? &trafficLog : nullptr));

    // Each port's answers, in the order the ports were given, as soon as it and those before it are done.
    size_t printed = 0;
    bool portFailed = false, unanswered = false;
    const bool asJson = cli.isSet(json);
    const auto printReady = [&] {
        for (; printed < queries.size() && queries[printed]->isDone(); ++printed) {
            const kr7::query::PortQuery &q = *queries[printed];
            for (const kr7::query::Result &r : q.results()) {
                const QByteArray out = asJson ? kr7::query::jsonLine(r) : kr7::query::textLine(r);
                std::fwrite(out.constData(), 1, size_t(out.size()), stdout);
                unanswered |= !r.replied;
            }
            std::fflush(stdout);
            if (!q.error().isEmpty()) {
                std::fprintf(stderr, "kr7-query: %s\n", qPrintable(q.error()));
                portFailed = true;
            }
        }
        if (printed == queries.size())
            QCoreApplication::exit(portFailed ? 1 : unanswered ? 2 : 0);
    };
    for (auto &q : queries)
        QObject::connect(q.get(), &kr7::query::PortQuery::finished, &app, printReady, Qt::QueuedConnection);

    // Ctrl+C (or a monitoring system's time-out) ends the run cleanly: ports closed, the log complete, what
    // was answered printed.
    int interrupted = 0;
    kr7::ProcessSignals stopSignals({SIGINT, SIGTERM});
    QObject::connect(&stopSignals, &kr7::ProcessSignals::received, &app, [&](int signal) {
        interrupted = signal;
        for (auto &q : queries)
            q->stop();
    });

    for (auto &q : queries)
        q->start();
    const int status = app.exec();
    return interrupted ? 128 + interrupted : status;
}
