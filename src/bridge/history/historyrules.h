#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTimeZone>

#include <optional>
#include <utility>
#include <variant>

namespace kr7::bridge {

// What /api/history (and kr7-bridge --history) is asked: events newest first, filtered, a page at a time.
struct HistoryQuery {
    QString projector;
    QString kind;                           // command, state, alarm, service, lamp, schedule
    QString origin;                         // a face's name: console, mqtt, pjlink, schedule
    std::optional<qint64> sinceMs, untilMs; // at >= since, at < until
    int limit = 100;
    std::optional<qint64> before; // only events whose id is below this one: the next page
    bool csv = false;
};

// What /api/samples is asked: one projector's samples in a time span (the last 7 days when none is given).
struct SamplesQuery {
    QString projector;
    qint64 sinceMs = 0, untilMs = 0;
    bool csv = false;
};

inline constexpr int kMaxHistoryLimit = 1000;
inline constexpr int kMaxCsvRows = 100000; // a CSV without a limit: the span, up to this many
inline constexpr int kDefaultSamplesDays = 7;

using QueryItems = QList<std::pair<QString, QString>>;

// The parameters, or a message naming the one that is wrong. A time is ISO 8601 with an offset
// ("2026-12-09T21:14:03+01:00", "...Z"), or a date ("2026-12-09": its start for since, its end for until, in
// the zone given). csvAsked: the client asked for text/csv in Accept. now: for the samples' default span.
std::variant<HistoryQuery, QString> parseHistoryQuery(const QueryItems &items, bool csvAsked,
                                                      const QTimeZone &zone);
std::variant<SamplesQuery, QString> parseSamplesQuery(const QueryItems &items, bool csvAsked,
                                                      const QTimeZone &zone, qint64 nowMs);

// A time as since or until take it, in ms since 1970; nothing when it is not one.
std::optional<qint64> parseTime(const QString &text, bool endOfDay, const QTimeZone &zone);

// One CSV record (RFC 4180: fields with commas, quotes or line breaks quoted, quotes doubled), CRLF ended. A
// field that begins with =, +, - or @ is prefixed with ' so that a spreadsheet shows it and never runs it.
QByteArray csvRecord(const QStringList &fields);

} // namespace kr7::bridge
