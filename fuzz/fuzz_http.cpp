// Arbitrary bytes as the parameters of an HTTP request the bridge reads itself: the Host header, and the
// query of /api/history and /api/samples. A Host that is served is made only of a name's or an address's
// characters, and serving does not depend on case; a question that passes is within its bounds.
#include "historyrules.h"
#include "hostnames.h"

#include <QUrlQuery>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

using kr7::bridge::QueryItems;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QByteArrayView bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    static const kr7::bridge::ServedHosts hosts({QStringLiteral("kr7.venue.example")},
                                                {QStringLiteral("booth-pc"), QStringLiteral("booth-pc.lan")});
    const bool served = hosts.serves(bytes);
    if (served) {
        for (const char c : bytes)
            if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                  c == '.' || c == ':' || c == '[' || c == ']' || c == '%'))
                std::abort();
        if (!hosts.serves(bytes.toByteArray().toLower()))
            std::abort();
    }
    QueryItems items;
    for (const auto &[k, v] : QUrlQuery(QString::fromUtf8(bytes)).queryItems(QUrl::FullyDecoded))
        items.append({k, v});
    const QTimeZone zone("Europe/Berlin");
    const auto history = kr7::bridge::parseHistoryQuery(items, size % 2, zone);
    if (const auto *q = std::get_if<kr7::bridge::HistoryQuery>(&history))
        if (q->limit < 1 || q->limit > kr7::bridge::kMaxCsvRows ||
            (q->sinceMs && q->untilMs && *q->untilMs < *q->sinceMs))
            std::abort();
    const auto samples = kr7::bridge::parseSamplesQuery(items, false, zone, 1796794937811);
    if (const auto *q = std::get_if<kr7::bridge::SamplesQuery>(&samples))
        if (q->projector.isEmpty() || q->untilMs < q->sinceMs)
            std::abort();
    (void)kr7::bridge::csvRecord({QString::fromUtf8(bytes), QString::fromUtf8(bytes)});
    return 0;
}
