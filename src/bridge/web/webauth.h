#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QHash>
#include <QString>

#include <deque>
#include <optional>

namespace kr7::bridge {

struct Credentials {
    QString user;
    QByteArray password;
};

// The user and password of an "Authorization: Basic ..." header; nothing for any other header or a broken
// one.
std::optional<Credentials> basicCredentials(QByteArrayView authorization);

// Failed logins per client address: five within a minute, and the address is refused for a minute, the right
// password included. Times are milliseconds of a monotonic clock. At most kMaxAddresses are remembered: a
// flood of addresses forgets the oldest first.
class LoginLimiter {
  public:
    static constexpr int kMaxFailures = 5;
    static constexpr qint64 kWindowMs = 60000;
    static constexpr qint64 kBlockMs = 60000;
    static constexpr int kMaxAddresses = 4096;

    bool blocked(const QString &address, qint64 now) const;
    void failed(const QString &address, qint64 now);

  private:
    struct Record {
        std::deque<qint64> failures; // the last kMaxFailures
        qint64 blockedUntil = -1;
        qint64 last = 0;
    };
    QHash<QString, Record> m_records;
};

// The token a page carries to send commands: bound to the user and to this run of the bridge (secret).
QByteArray csrfToken(QByteArrayView secret, const QString &user);
// Equal in constant time.
bool sameSecret(QByteArrayView a, QByteArrayView b);

// Whether an Origin header names this server itself: scheme and the Host the request was sent to.
bool sameOrigin(QByteArrayView origin, bool tls, QByteArrayView host);

} // namespace kr7::bridge
