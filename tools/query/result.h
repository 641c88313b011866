#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace kr7::query {

// One command on one port, as it went.
struct Result {
    QString port;    // as given
    QString unit;    // as given to --unit
    QString word;    // the command as given on the command line
    QString code;    // what was sent between prefix and carriage return
    QByteArray line; // every byte sent
    bool replied = false;
    QByteArray reply;              // the reply's bytes, up to where it ended
    QString monitor;               // the reply as the panel's RXD field shows it
    std::optional<QString> status; // the panel's status text, exactly as it shows it
    double elapsedMs = 0;          // from sending to the end of the reply (or of the reply window)
};

// PORT<TAB>COMMAND<TAB>RESULT: the status text without its outer blanks, or the reply's monitor text when
// nothing decodes, or "no reply".
QByteArray textLine(const Result &r);
// One JSON object on one line; bytes above 0x7E (and control bytes) as \u00HH escapes.
QByteArray jsonLine(const Result &r);
// A JSON string of the bytes: each byte is the character of that code.
QByteArray jsonBytes(QByteArrayView bytes);

} // namespace kr7::query
