#pragma once

#include <QString>
#include <QStringView>

namespace kr7 {

// The monitor renders at most this many characters of a line: its character count is a 16-bit signed number.
inline constexpr qsizetype kMonitorMaxChars = 32767;

// The token one character becomes in the TXD/RXD monitor. Tokens are independent of their neighbours, so a
// rendering can be extended or cut at the front without rendering the rest again.
QStringView monitorToken(QChar c);

// " " followed by one token per character of the first kMonitorMaxChars characters of line.
QString monitorText(QStringView line);

// Appends the tokens of text to out (no leading blank).
void appendMonitorTokens(QString &out, QStringView text);

} // namespace kr7
