#include "historyrules.h"

#include <QDateTime>
#include <QRegularExpression>

namespace kr7::bridge {

std::optional<qint64> parseTime(const QString &text, bool endOfDay, const QTimeZone &zone) {
    static const QRegularExpression date(QStringLiteral("^\\d{4}-\\d{2}-\\d{2}$"));
    if (date.match(text).hasMatch()) {
        const QDate d = QDate::fromString(text, Qt::ISODate);
        if (!d.isValid())
            return std::nullopt;
        const QDateTime start(endOfDay ? d.addDays(1) : d, QTime(0, 0), zone);
        return start.isValid() ? std::optional<qint64>(start.toMSecsSinceEpoch()) : std::nullopt;
    }
    // A moment: a date, a time, and an offset (Z or ±HH:MM); without an offset it would mean any time.
    static const QRegularExpression moment(
        QStringLiteral("^\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}(:\\d{2}(\\.\\d{1,3})?)?(Z|[+-]\\d{2}:\\d{2})$"));
    if (!moment.match(text).hasMatch())
        return std::nullopt;
    const QDateTime t = QDateTime::fromString(text, Qt::ISODateWithMs);
    return t.isValid() ? std::optional<qint64>(t.toMSecsSinceEpoch()) : std::nullopt;
}

namespace {

const QString kTimeShape =
    QStringLiteral("ISO 8601 with an offset (2026-12-09T21:14:03+01:00) or a date (2026-12-09)");

// A name as the bridge's are: projectors, kinds, faces.
bool isName(const QString &s) {
    static const QRegularExpression shape(QStringLiteral("^[a-z0-9][a-z0-9_-]{0,63}$"));
    return shape.match(s).hasMatch();
}

struct Reader {
    const QueryItems &items;
    QStringList seen;
    QString error;

    // The one value of a parameter; an error when it is given twice or is not one of known.
    std::optional<QString> take(const QString &name) {
        std::optional<QString> value;
        for (const auto &[k, v] : items)
            if (k == name) {
                if (value) {
                    error = QStringLiteral("parameter '%1' is given twice").arg(name);
                    return std::nullopt;
                }
                value = v;
            }
        return value;
    }
    bool unknown(std::initializer_list<const char *> known) {
        for (const auto &item : items)
            if (const QString &k = item.first; std::none_of(
                    known.begin(), known.end(), [&](const char *n) { return k == QLatin1String(n); })) {
                QStringList names;
                for (const char *n : known)
                    names << QLatin1String(n);
                error =
                    QStringLiteral("unknown parameter '%1' (known: %2)").arg(k.left(64), names.join(u", "));
                return true;
            }
        return false;
    }
    bool name(const QString &param, QString *out) {
        const std::optional<QString> v = take(param);
        if (!error.isEmpty())
            return false;
        if (v && !isName(*v)) {
            error = QStringLiteral("parameter '%1': '%2' is not a name").arg(param, v->left(64));
            return false;
        }
        *out = v.value_or(QString());
        return true;
    }
    bool time(const QString &param, bool endOfDay, const QTimeZone &zone, std::optional<qint64> *out) {
        const std::optional<QString> v = take(param);
        if (!error.isEmpty())
            return false;
        if (!v)
            return true;
        *out = parseTime(*v, endOfDay, zone);
        if (!*out)
            error =
                QStringLiteral("parameter '%1': '%2' is not a time: %3").arg(param, v->left(64), kTimeShape);
        return bool(*out);
    }
    bool format(bool csvAsked, bool *csv) {
        const std::optional<QString> v = take(QStringLiteral("format"));
        if (!error.isEmpty())
            return false;
        if (v && *v != QLatin1String("csv") && *v != QLatin1String("json")) {
            error = QStringLiteral("parameter 'format': '%1': csv or json").arg(v->left(64));
            return false;
        }
        *csv = v ? *v == QLatin1String("csv") : csvAsked;
        return true;
    }
    bool whole(const QString &param, qint64 low, qint64 high, std::optional<qint64> *out) {
        const std::optional<QString> v = take(param);
        if (!error.isEmpty())
            return false;
        if (!v)
            return true;
        static const QRegularExpression digits(QStringLiteral("^[0-9]{1,18}$"));
        const qint64 n = digits.match(*v).hasMatch() ? v->toLongLong() : -1;
        if (n < low || n > high) {
            error = QStringLiteral("parameter '%1': '%2': a whole number from %3 to %4")
                        .arg(param, v->left(64))
                        .arg(low)
                        .arg(high);
            return false;
        }
        *out = n;
        return true;
    }
};

} // namespace

std::variant<HistoryQuery, QString> parseHistoryQuery(const QueryItems &items, bool csvAsked,
                                                      const QTimeZone &zone) {
    Reader r{items, {}, {}};
    HistoryQuery q;
    std::optional<qint64> limit;
    if (r.unknown({"projector", "kind", "origin", "since", "until", "limit", "before", "format"}) ||
        !r.name(QStringLiteral("projector"), &q.projector) || !r.name(QStringLiteral("kind"), &q.kind) ||
        !r.name(QStringLiteral("origin"), &q.origin) ||
        !r.time(QStringLiteral("since"), false, zone, &q.sinceMs) ||
        !r.time(QStringLiteral("until"), true, zone, &q.untilMs) ||
        !r.whole(QStringLiteral("limit"), 1, kMaxHistoryLimit, &limit) ||
        !r.whole(QStringLiteral("before"), 1, std::numeric_limits<qint64>::max() / 2, &q.before) ||
        !r.format(csvAsked, &q.csv))
        return r.error;
    static const QStringList kinds{QStringLiteral("command"), QStringLiteral("state"),
                                   QStringLiteral("alarm"),   QStringLiteral("service"),
                                   QStringLiteral("lamp"),    QStringLiteral("schedule")};
    if (!q.kind.isEmpty() && !kinds.contains(q.kind))
        return QStringLiteral("parameter 'kind': '%1': one of %2").arg(q.kind, kinds.join(u", "));
    // A CSV download is the whole span, unless a page is asked for.
    q.limit = int(limit.value_or(q.csv ? kMaxCsvRows : 100));
    if (q.sinceMs && q.untilMs && *q.untilMs < *q.sinceMs)
        return QStringLiteral("parameter 'until': before 'since'");
    return q;
}

std::variant<SamplesQuery, QString> parseSamplesQuery(const QueryItems &items, bool csvAsked,
                                                      const QTimeZone &zone, qint64 nowMs) {
    Reader r{items, {}, {}};
    SamplesQuery q;
    std::optional<qint64> since, until;
    if (r.unknown({"projector", "since", "until", "format"}) ||
        !r.name(QStringLiteral("projector"), &q.projector) ||
        !r.time(QStringLiteral("since"), false, zone, &since) ||
        !r.time(QStringLiteral("until"), true, zone, &until) || !r.format(csvAsked, &q.csv))
        return r.error;
    if (q.projector.isEmpty())
        return QStringLiteral("parameter 'projector' is required");
    q.untilMs = until.value_or(nowMs);
    q.sinceMs = since.value_or(q.untilMs - qint64(kDefaultSamplesDays) * 86400000);
    if (q.untilMs < q.sinceMs)
        return QStringLiteral("parameter 'until': before 'since'");
    return q;
}

QByteArray csvRecord(const QStringList &fields) {
    QByteArray out;
    for (qsizetype i = 0; i < fields.size(); ++i) {
        QString f = fields[i];
        if (!f.isEmpty() && (f[0] == QLatin1Char('=') || f[0] == QLatin1Char('+') ||
                             f[0] == QLatin1Char('-') || f[0] == QLatin1Char('@')))
            f.prepend(QLatin1Char('\''));
        if (i)
            out += ',';
        if (f.contains(QLatin1Char(',')) || f.contains(QLatin1Char('"')) || f.contains(QLatin1Char('\n')) ||
            f.contains(QLatin1Char('\r'))) {
            f.replace(QLatin1String("\""), QLatin1String("\"\""));
            out += '"' + f.toUtf8() + '"';
        } else {
            out += f.toUtf8();
        }
    }
    return out + "\r\n";
}

} // namespace kr7::bridge
