// Measures kr7-query on a venue: 16 simulated projectors (each its own kr7-projector-sim on its own
// pseudo-terminal) asked for their lamp hours at once, against one asked alone, wall time from start to exit.
// Prints figures; asserts nothing.
//
//   bench_query [--projectors N] [--runs N]
#include "benchutil.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QProcess>

#include <memory>

using namespace bench;

namespace {
double timeQuery(const QString &program, const QStringList &ports, QByteArray *out) {
    QStringList args;
    for (const QString &p : ports)
        args << QStringLiteral("--port") << p;
    args << QStringLiteral("lamp-hours");
    QProcess query;
    const auto start = Clock::now();
    query.start(program, args);
    query.waitForFinished(60000);
    const double took = ms(Clock::now() - start);
    *out = query.readAllStandardOutput();
    return took;
}
} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption projectors(QStringLiteral("projectors"), QStringLiteral("Venue size."),
                                        QStringLiteral("N"), QStringLiteral("16"));
    const QCommandLineOption runs(QStringLiteral("runs"), QStringLiteral("Runs of each."),
                                  QStringLiteral("N"), QStringLiteral("9"));
    parser.addOptions({projectors, runs});
    parser.addHelpOption();
    parser.process(app);
    const QString dir = QCoreApplication::applicationDirPath();

    std::vector<std::unique_ptr<QProcess>> sims;
    QStringList ports;
    for (int i = 0; i < parser.value(projectors).toInt(); ++i) {
        auto sim = std::make_unique<QProcess>();
        sim->start(dir + QStringLiteral("/kr7-projector-sim"));
        if (!sim->waitForReadyRead(10000))
            return 1;
        ports << QString::fromLocal8Bit(sim->readLine()).trimmed();
        sims.push_back(std::move(sim));
    }
    const QString program = dir + QStringLiteral("/kr7-query");
    std::vector<double> one, all;
    QByteArray out;
    for (int r = 0; r < parser.value(runs).toInt(); ++r) {
        one.push_back(timeQuery(program, ports.mid(0, 1), &out));
        all.push_back(timeQuery(program, ports, &out));
    }
    const qsizetype answered = out.count("Hour Use");
    const double a = percentile(one, 50), b = percentile(all, 50);
    std::printf("kr7-query lamp-hours, 1 projector        median %.1f ms (min %.1f)\n", a,
                *std::min_element(one.begin(), one.end()));
    std::printf(
        "kr7-query lamp-hours, %lld projectors      median %.1f ms (min %.1f); %lld answered; %.2fx one\n",
        (long long)ports.size(), b, *std::min_element(all.begin(), all.end()), (long long)answered, b / a);
    for (auto &sim : sims) {
        sim->terminate();
        sim->waitForFinished(5000);
    }
    return 0;
}
