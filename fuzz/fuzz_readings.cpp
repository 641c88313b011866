// Arbitrary reply bytes to a chosen polled query, read into a projector's state, then shown as metrics and as
// JSON. Byte 0 picks the query; the rest is the reply as it came off the line.
#include "readings.h"
#include "state.h"

#include <QJsonDocument>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

using namespace kr7;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    const QueryKind query = kPolledQueries[data[0] % kPolledQueries.size()].query;
    const QByteArray reply(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));

    bridge::ProjectorState p;
    p.name = QStringLiteral("fuzz");
    p.available = true;
    const bool read = readReply(p.readings, query, reply);
    const Readings &r = p.readings;
    if (read && reply.isEmpty())
        std::abort();
    // Whatever was read is within what the projector can say.
    if (r.input && (*r.input < 1 || *r.input > 4))
        std::abort();
    if (r.lampMode && (*r.lampMode < 0 || *r.lampMode > 2))
        std::abort();
    if (r.lampHours.size() > 4)
        std::abort();
    for (double h : r.lampHours)
        if (!(h >= 0) || !std::isfinite(h))
            std::abort();
    for (const auto &t : r.temperature)
        if (t && !std::isfinite(*t))
            std::abort();
    if (r.powerCode && r.powerCode->size() != 2)
        std::abort();
    if (r.pcType)
        for (QChar c : *r.pcType)
            if (c.unicode() < 0x20 || c.unicode() > 0x7E)
                std::abort();
    // A reply that could not be read in full set nothing of another query, and reading it twice is the same.
    Readings again = r;
    if (readReply(again, query, reply) != read || !(again == r))
        std::abort();

    // Every exposition line is a comment or NAME{LABELS} VALUE: nothing a reply says can break a line.
    const QByteArray metrics = bridge::metricsText({p}, {});
    for (const QByteArray &line : metrics.split('\n'))
        if (!line.isEmpty() && !line.startsWith('#') && !line.startsWith("kr7_"))
            std::abort();
    QJsonParseError error;
    QJsonDocument::fromJson(bridge::stateDocument({p}), &error);
    if (error.error != QJsonParseError::NoError)
        std::abort();
    return 0;
}
