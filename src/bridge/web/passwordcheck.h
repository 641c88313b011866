#pragma once

#include "webauth.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QThreadPool>

#include <functional>
#include <map>
#include <optional>

namespace kr7::bridge {

// Checks HTTP Basic credentials against the configured bcrypt hashes. bcrypt is slow on purpose (cost 10 is
// some 70 ms): it runs on a pool of its own that leaves a core to the event loop, and a user's verified
// password is remembered, so that a scraper or a page pays for it once, not per request. An unknown user is
// checked against a hash of the same cost: a wrong name costs what a wrong password costs.
class PasswordCheck : public QObject {
    Q_OBJECT
  public:
    static constexpr int kMaxWaiting = 32;          // checks queued at once; more are refused as busy
    static constexpr int kMaxWaitingPerAddress = 4; // from one client address

    explicit PasswordCheck(std::map<QString, QByteArray> users, QObject *parent = nullptr);
    ~PasswordCheck() override;

    // True or false when known without bcrypt (a password verified before); nothing when it must be checked.
    std::optional<bool> remembered(const Credentials &c) const;
    // Checks off the event loop and calls done on this thread; false at once when too many wait.
    bool check(const Credentials &c, const QString &address, std::function<void(bool)> done);
    // Checks of that address still waiting.
    int waitingFrom(const QString &address) const { return m_waitingFrom.value(address); }

  private:
    std::map<QString, QByteArray> m_users;
    QHash<QString, QByteArray> m_verified; // user -> SHA-256 of the password that matched
    QThreadPool m_pool;
    int m_waiting = 0;
    QHash<QString, int> m_waitingFrom;
};

} // namespace kr7::bridge
