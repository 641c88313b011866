#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <optional>

namespace kr7::traffic {

// Bytes as one line of text that gives them back exactly: 0x20-0x7E stand for themselves except the
// backslash, written \\; carriage return \r, line feed \n, tab \t; every other byte \xHH (lower-case hex).
QByteArray escape(QByteArrayView bytes);
// The bytes back, or nothing when the text is not an escaping (a lone or unknown escape, a raw control byte).
std::optional<QByteArray> unescape(QByteArrayView text);

} // namespace kr7::traffic
