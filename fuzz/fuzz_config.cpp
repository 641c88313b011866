// Arbitrary bytes as the bridge's configuration file: a configuration that passes holds only what the
// service can run with (groups that reach configured projectors once each, schedules the calendar can walk);
// anything else is an error with a message.
#include "calendar.h"
#include "config.h"
#include "groups.h"
#include "portname.h"

#include <QRegularExpression>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const auto parsed =
        kr7::bridge::parseConfig(QByteArrayView(reinterpret_cast<const char *>(data), qsizetype(size)));
    if (const auto *error = std::get_if<kr7::bridge::ConfigError>(&parsed)) {
        if (error->message.isEmpty() || error->line < 0 || error->column < 0)
            std::abort();
        return 0;
    }
    const auto &config = std::get<kr7::bridge::Config>(parsed);
    static const QRegularExpression name(QStringLiteral("^[a-z0-9][a-z0-9_-]{0,63}$"));
    std::set<QString> names, ports;
    if (config.lines.isEmpty() || config.pollIntervalS < 1 || config.pollIntervalS > 3600 ||
        config.offlineAfter < 1 || config.offlineAfter > 100 || config.listenPort == 0)
        std::abort();
    for (const auto &line : config.lines) {
        if (!ports.insert(line.port).second ||
            std::holds_alternative<QString>(kr7::parsePortName(line.port)) ||
            (line.baud != 19200 && line.baud != 9600) || line.projectors.isEmpty())
            std::abort();
        std::set<QString> units;
        for (const auto &p : line.projectors) {
            if (!name.match(p.name).hasMatch() || p.name == QLatin1String("bridge") ||
                !names.insert(p.name).second || !units.insert(p.unit).second ||
                p.unit == QLatin1String("all") ||
                (p.unit == QLatin1String("single") && line.projectors.size() != 1))
                std::abort();
        }
    }
    for (const auto &g : config.groups) {
        const auto members = kr7::bridge::membersOf(config, g.name);
        if (!members || members->isEmpty())
            std::abort();
        std::set<QString> reached;
        for (const auto &m : *members)
            if (!names.count(m.projector) || !reached.insert(m.projector).second || m.delayMs < 0)
                std::abort();
    }
    // A week of the schedules from a fixed moment: in time order, each run on a date its entry applies to.
    const kr7::bridge::Calendar calendar(config.schedules, config.holidays, kr7::bridge::zoneOf(config));
    const qint64 from = 1796000000000; // 2026-11
    qint64 last = from;
    for (const auto &run : calendar.runs(from, from + 7 * 86400000LL)) {
        if (run.dueMs < last || run.entry < 0 || run.entry >= config.schedules.size() ||
            !calendar.appliesOn(run.entry, calendar.localDate(run.dueMs)) ||
            calendar.latestDue(run.entry, run.dueMs) != run.dueMs)
            std::abort();
        last = run.dueMs;
    }
    for (int i = 0; i < config.schedules.size(); ++i) {
        const auto d = calendar.dueAt(i, from - 86400000LL, from);
        if (d.run && (!d.latest || *d.latest > from))
            std::abort();
    }
    return 0;
}
