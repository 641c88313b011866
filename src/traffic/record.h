#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <optional>

namespace kr7::traffic {

// The kinds of record, named as they are written.
enum class Kind { TX, RX, STATUS, NOREPLY, NOTSENT, OPEN, CLOSED, LOST, BACK, SPEED };

QByteArray kindName(Kind kind);
std::optional<Kind> kindFromName(QByteArrayView name);
// Whether the data field holds escaped bytes (TX, RX, NOTSENT) rather than text.
bool carriesBytes(Kind kind);

// Local time with milliseconds and the UTC offset, ISO 8601: 2026-12-07T14:03:12.345+01:00.
QByteArray timestamp(const QDateTime &when);

// One record, a line of UTF-8: time TAB port TAB kind TAB data [TAB reason] LF. Bytes (TX, RX, NOTSENT) are
// escaped; text (STATUS and the rest) is written as it is, but any tab or line break in it is escaped so the
// record stays one line.
QByteArray formatRecord(const QDateTime &when, const QString &port, Kind kind, QByteArrayView bytes,
                        const QString &text = QString());

// A record read back: for tests, and for anyone's script that reads a log.
struct Record {
    QDateTime when;
    QString port;
    Kind kind = Kind::TX;
    QByteArray bytes; // TX, RX, NOTSENT: unescaped
    QString text;     // the other kinds' text; NOTSENT's reason
};
std::optional<Record> parseRecord(QByteArrayView line);

} // namespace kr7::traffic
