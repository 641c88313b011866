#pragma once

#include "config.h"

#include <QByteArray>
#include <QTimeZone>

#include <optional>

namespace kr7::bridge {

// kr7-bridge --calendar: every run in [fromMs, fromMs + days × 24 h), in time order, one a line: the local
// time with its offset, the entry, its projectors and its action, and what the overrides in the history file
// (when it can be read: historyPath) make of it.
QByteArray calendarText(const Config &config, qint64 fromMs, int days, const QString &historyPath);

// --calendar's --from: ISO 8601 with an offset, or a local date and time in the zone (a date: its start).
std::optional<qint64> parseCalendarStart(const QString &text, const QTimeZone &zone);

// What a request object does, in words: "power ON", "input 2", "command C0D".
QString actionText(const QJsonObject &request);

} // namespace kr7::bridge
