#pragma once

#include "readings.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>
#include <string_view>

namespace kr7::bridge {

// One PJLink request: "%1POWR ?" is class 1, body POWR (upper case whatever came), parameter "?".
struct PjlinkRequest {
    char cls = '1';
    QByteArray body;
    QByteArray parameter;
};

// The text of a reply: "%1POWR=1\r", class digit and body as asked.
QByteArray pjlinkReply(const PjlinkRequest &request, QByteArrayView value);

// The MD5 digest of random and password, as 32 lower-case hex digits (PJLink's authentication).
QByteArray pjlinkDigest(QByteArrayView random, QByteArrayView password);

// One controller's connection without its socket: the greeting, and the bytes that come cut into requests.
// Lines end at CR (a stray LF or NUL after one is passed over); with a password the first request must carry
// the digest (either case), later ones may carry it again.
class PjlinkSession {
  public:
    static constexpr qsizetype kMaxLine = 136;

    struct Event {
        enum class Kind {
            Request,    // request holds it
            AuthFailed, // answer "PJLINK ERRA" and close
            Overlong,   // more than kMaxLine bytes without a CR: close
        };
        Kind kind = Kind::Request;
        PjlinkRequest request;
    };

    // random: the 8 lower-case hex digits of this connection's greeting; password empty: no authentication.
    PjlinkSession(QByteArray password, QByteArray random);
    QByteArray greeting() const;

    // The events in these bytes, in order. After AuthFailed or Overlong nothing more is taken.
    QList<Event> feed(QByteArrayView bytes);

  private:
    std::optional<Event> line(QByteArrayView text);

    QByteArray m_password;
    QByteArray m_random;
    QByteArray m_pending;
    bool m_authenticated;
    bool m_closed = false;
};

// What the answers read of one projector.
struct PjlinkProjector {
    QString name;
    QString port; // the line, as configured
    QString unit;
    bool available = false;
    const Readings *readings = nullptr;
    QStringList inputs;  // the PJLink codes of inputs 1-4
    bool frozen = false; // the last freeze the bridge sent
    QString version;
    QByteArray info; // what INFO answers, as configured
};

// What a request comes to: a value to answer now, or a line to send first.
struct PjlinkAnswer {
    QByteArray value;           // the answer now; when code is set, the answer once the projector answered
    QString code;               // a line for the projector ("C00"); empty: answer value at once
    std::string_view follow;    // after an OK: the query to ask again at once ("power")
    std::optional<bool> freeze; // after an OK: what the freeze now is
};

PjlinkAnswer pjlinkAnswer(const PjlinkRequest &request, const PjlinkProjector &projector);

// POWR's answer for a power code: "1", "0", "2", "3", or nothing for a code PJLink has no word for.
std::optional<char> pjlinkPower(QStringView powerCode);

} // namespace kr7::bridge
