#pragma once

#include <QByteArrayView>

namespace kr7 {

// Where the reply to one query ends in the bytes received since the query went out: just after the first
// carriage return, or after an acknowledgement (code 6) that came alone. -1 while it has not ended (the
// reply window may still end it).
inline qsizetype replyEnd(QByteArrayView received) {
    if (received.size() == 1 && received[0] == '\x06')
        return 1;
    const qsizetype cr = received.indexOf('\r');
    return cr < 0 ? -1 : cr + 1;
}

} // namespace kr7
