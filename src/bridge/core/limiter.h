#pragma once

#include <QHash>
#include <QString>

#include <deque>

namespace kr7::bridge {

// Failed logins per client address (the console's passwords, PJLink's digests): five within a minute, and the
// address is refused for a minute. Times are milliseconds of a monotonic clock. At most kMaxAddresses are
// remembered: a flood of addresses forgets the oldest first.
class LoginLimiter {
  public:
    static constexpr int kMaxFailures = 5;
    static constexpr qint64 kWindowMs = 60000;
    static constexpr qint64 kBlockMs = 60000;
    static constexpr int kMaxAddresses = 4096;

    bool blocked(const QString &address, qint64 now) const;
    // True when this failure blocks the address.
    bool failed(const QString &address, qint64 now);

  private:
    struct Record {
        std::deque<qint64> failures; // the last kMaxFailures
        qint64 blockedUntil = -1;
        qint64 last = 0;
    };
    QHash<QString, Record> m_records;
};

} // namespace kr7::bridge
