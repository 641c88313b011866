#include "historyprint.h"

#include <QDateTime>
#include <QJsonDocument>

#include <algorithm>

namespace kr7::bridge {

QByteArray historyReport(const QString &path, HistoryQuery query, QString *error) {
    HistoryDb db;
    if (!db.openForReading(path)) {
        *error = QStringLiteral("%1: %2").arg(path, db.error());
        return {};
    }
    // Page by page, newest first, then told in the order it happened.
    QList<std::pair<qint64, Event>> all;
    query.limit = kMaxHistoryLimit;
    for (;;) {
        const std::optional<EventsPage> page = db.events(query);
        if (!page) {
            *error = QStringLiteral("%1: %2").arg(path, db.error());
            return {};
        }
        all += page->events;
        if (!page->next)
            break;
        query.before = page->next;
    }
    std::reverse(all.begin(), all.end());
    QByteArray out;
    if (query.csv)
        out = csvRecord({QStringLiteral("id"), QStringLiteral("at"), QStringLiteral("projector"),
                         QStringLiteral("line"), QStringLiteral("kind"), QStringLiteral("origin"),
                         QStringLiteral("details")});
    const auto dash = [](const QString &s) { return s.isEmpty() ? QStringLiteral("-") : s; };
    for (const auto &[id, e] : all) {
        const QString at = QDateTime::fromMSecsSinceEpoch(e.atMs)
                               .toOffsetFromUtc(QDateTime::fromMSecsSinceEpoch(e.atMs).offsetFromUtc())
                               .toString(Qt::ISODateWithMs);
        const QString details = QString::fromUtf8(QJsonDocument(e.details).toJson(QJsonDocument::Compact));
        if (query.csv)
            out += csvRecord({QString::number(id), at, e.projector, e.line, e.kind, e.origin, details});
        else
            out += QStringList{at, dash(e.projector), dash(e.line), e.kind, dash(e.origin), details}
                       .join(QLatin1Char('\t'))
                       .toUtf8() +
                   '\n';
    }
    return out;
}

} // namespace kr7::bridge
