#include "record.h"

#include "escape.h"

#include <QList>

#include <array>

namespace kr7::traffic {

namespace {
constexpr std::array<const char *, 10> kNames = {"TX",   "RX",     "STATUS", "NOREPLY", "NOTSENT",
                                                 "OPEN", "CLOSED", "LOST",   "BACK",    "SPEED"};

QByteArray oneLine(const QString &text) {
    QByteArray utf8 = text.toUtf8();
    if (!utf8.contains('\t') && !utf8.contains('\n') && !utf8.contains('\r'))
        return utf8;
    return utf8.replace('\\', "\\\\").replace('\t', "\\t").replace('\n', "\\n").replace('\r', "\\r");
}
} // namespace

QByteArray kindName(Kind kind) {
    return QByteArray(kNames[size_t(kind)]);
}

std::optional<Kind> kindFromName(QByteArrayView name) {
    for (size_t i = 0; i < kNames.size(); ++i)
        if (name == kNames[i])
            return Kind(i);
    return std::nullopt;
}

bool carriesBytes(Kind kind) {
    return kind == Kind::TX || kind == Kind::RX || kind == Kind::NOTSENT;
}

QByteArray timestamp(const QDateTime &when) {
    QByteArray out = when.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")).toLatin1();
    const int offset = when.offsetFromUtc();
    const int minutes = std::abs(offset) / 60;
    out.append(offset < 0 ? '-' : '+');
    out.append(QByteArray::number(minutes / 60).rightJustified(2, '0'));
    out.append(':');
    out.append(QByteArray::number(minutes % 60).rightJustified(2, '0'));
    return out;
}

QByteArray formatRecord(const QDateTime &when, const QString &port, Kind kind, QByteArrayView bytes,
                        const QString &text) {
    QByteArray out = timestamp(when);
    out.append('\t').append(oneLine(port)).append('\t').append(kindName(kind)).append('\t');
    if (carriesBytes(kind)) {
        out.append(escape(bytes));
        if (kind == Kind::NOTSENT)
            out.append('\t').append(oneLine(text));
    } else {
        out.append(oneLine(text));
    }
    out.append('\n');
    return out;
}

std::optional<Record> parseRecord(QByteArrayView line) {
    if (line.endsWith('\n'))
        line.chop(1);
    const QList<QByteArray> fields = line.toByteArray().split('\t');
    if (fields.size() < 4)
        return std::nullopt;
    Record r;
    r.when = QDateTime::fromString(QString::fromLatin1(fields[0]), Qt::ISODateWithMs);
    const std::optional<Kind> kind = kindFromName(fields[2]);
    if (!r.when.isValid() || fields[0].size() != 29 || !kind)
        return std::nullopt;
    r.kind = *kind;
    r.port = QString::fromUtf8(fields[1]);
    const qsizetype expected = r.kind == Kind::NOTSENT ? 5 : 4;
    if (fields.size() != expected)
        return std::nullopt;
    if (carriesBytes(r.kind)) {
        std::optional<QByteArray> bytes = unescape(fields[3]);
        if (!bytes)
            return std::nullopt;
        r.bytes = *bytes;
        if (r.kind == Kind::NOTSENT)
            r.text = QString::fromUtf8(fields[4]);
    } else {
        r.text = QString::fromUtf8(fields[3]);
    }
    return r;
}

} // namespace kr7::traffic
