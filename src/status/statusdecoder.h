#pragma once

#include <QString>
#include <QStringView>

#include <optional>

namespace kr7 {

// Turns the reply to a status query into the status text shown in the STATUS field.
//   sendLine      the line last sent (prefix, code, carriage return)
//   addressPrefix the prefix selected now, not when the query went out
//   rxdText       the RXD field's monitor text of everything received since the buffer was emptied
// No result means the status field keeps what it shows.
std::optional<QString> decodeStatus(QStringView sendLine, QStringView addressPrefix, QStringView rxdText);

// The pressure reading: the leading decimal number of the monitor text, converted to hPa.
// No result when the reading does not fit the projector's 16-bit arithmetic.
std::optional<QString> pressureText(QStringView rxdText);
// The projector's pressure reading converted to hPa, with the projector's own 16-bit arithmetic; no result
// where that arithmetic overflows.
std::optional<int> pressureHpa(double reading);

// Reads the leading decimal number the way the projector's tools always have: blanks, tabs and line feeds
// are skipped wherever they stand; an optional sign, digits and at most one decimal point; no number is 0.
double readLeadingNumber(QStringView text);

} // namespace kr7
