#pragma once

#include "exchange.h"

#include <QByteArray>
#include <QString>

namespace kr7::query {

// One command on one port, as it went.
struct Result : ExchangeResult {
    QString port; // as given
    QString unit; // as given to --unit
    QString word; // the command as given on the command line
    QString code; // what was sent between prefix and carriage return
};

// PORT<TAB>COMMAND<TAB>RESULT: the status text without its outer blanks, or the reply's monitor text when
// nothing decodes, or "no reply".
QByteArray textLine(const Result &r);
// One JSON object on one line; bytes above 0x7E (and control bytes) as \u00HH escapes.
QByteArray jsonLine(const Result &r);
// A JSON string of the bytes: each byte is the character of that code.
QByteArray jsonBytes(QByteArrayView bytes);

} // namespace kr7::query
