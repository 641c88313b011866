// Arbitrary reply bytes to a chosen polled query, read into a projector's state, then shown as metrics and as
// JSON. Byte 0 picks the query; the rest is the reply as it came off the line.
#include "metricstext.h"
#include "readings.h"
#include "state.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

using namespace kr7::bridge;

namespace {

// A value of the type its row says, within what the projector can say.
bool fits(const Reading &row, const QJsonValue &v) {
    if (v.isNull())
        return true;
    switch (row.type) {
    case JsonType::String:
        if (!v.isString())
            return false;
        for (QChar c : v.toString())
            if (c.unicode() < 0x20 || c.unicode() > 0x7E)
                return false;
        return true;
    case JsonType::Integer:
        return v.isDouble() && v.toDouble() == std::floor(v.toDouble());
    case JsonType::Boolean:
        return v.isBool();
    case JsonType::NumberList:
    case JsonType::BooleanList: {
        if (!v.isArray() || v.toArray().size() > row.items)
            return false;
        for (const QJsonValue &item : v.toArray())
            if (!item.isNull() &&
                (row.type == JsonType::BooleanList ? !item.isBool()
                                                   : !item.isDouble() || !std::isfinite(item.toDouble())))
                return false;
        return true;
    }
    case JsonType::StringList: // dates of the lamp plan, YYYY-MM-DD
        if (!v.isArray() || v.toArray().size() > row.items)
            return false;
        for (const QJsonValue &item : v.toArray())
            if (!item.isNull() && (!item.isString() || item.toString().size() != 10))
                return false;
        return true;
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    static const QList<PolledQuery> queries = polledQueries();
    const std::string_view query = queries[data[0] % queries.size()].name;
    const QByteArray reply(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));

    ProjectorState p;
    p.name = QStringLiteral("fuzz");
    p.available = true;
    const bool read = p.readings.read(query, reply);
    const Readings &r = p.readings;
    if (read && reply.isEmpty())
        std::abort();
    const ReadingTable table = readingTable();
    for (size_t i = 0; i < table.size(); ++i)
        if (!fits(table[i], r.at(qsizetype(i))) || (table[i].query != query && !r.at(qsizetype(i)).isNull()))
            std::abort();
    const QJsonValue input = r.value("input"), mode = r.value("lamp_mode"), code = r.value("power_code");
    if (!input.isNull() && (input.toInt() < 1 || input.toInt() > 4))
        std::abort();
    if (!mode.isNull() && (mode.toInt() < 0 || mode.toInt() > 2))
        std::abort();
    if (!code.isNull() && code.toString().size() != 2)
        std::abort();
    for (const QJsonValue h : r.value("lamp_hours").toArray())
        if (!(h.toDouble() >= 0))
            std::abort();
    // Reading it twice is the same.
    Readings again = r;
    if (again.read(query, reply) != read || !(again == r))
        std::abort();

    // Every exposition line is a comment or NAME{LABELS} VALUE: nothing a reply says can break a line.
    const QByteArray metrics = metricsText({p}, {});
    for (const QByteArray &line : metrics.split('\n'))
        if (!line.isEmpty() && !line.startsWith('#') && !line.startsWith("kr7_"))
            std::abort();
    QJsonParseError error;
    QJsonDocument::fromJson(stateDocument({p}), &error);
    if (error.error != QJsonParseError::NoError)
        std::abort();
    return 0;
}
