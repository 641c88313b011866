#pragma once

#include "historydb.h"

#include <QByteArray>

namespace kr7::bridge {

// kr7-bridge --history: the events of the file that the question picks, oldest first, one a line (local time
// with its offset, projector, line, kind, origin, details) or as CSV with a header row; read-only, while the
// service writes. Nothing with error set when the file cannot be read.
QByteArray historyReport(const QString &path, HistoryQuery query, QString *error);

} // namespace kr7::bridge
