#pragma once

#include <QString>

namespace kr7::bridge {

// One line on standard error for an event an operator should know of (the journal keeps it with the time).
// Whatever the text holds, it stays one line: control characters (a newline in a name that came from a
// broker, a CR from a reply) are written as \xHH, and a backslash as \\.
void journal(const QString &event);

// The text as journal() writes it, without the program's name.
QString journalText(const QString &event);

} // namespace kr7::bridge
