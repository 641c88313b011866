#include "authentication.h"

#include <QPointer>

namespace kr7::bridge {

Authentication::Authentication(const std::optional<WebConfig> &web, QByteArray secret, bool loopback,
                               QObject *parent)
    : QObject(parent), m_web(web), m_secret(std::move(secret)), m_loopback(loopback) {
    m_clock.start();
    if (m_web && m_web->hasUsers())
        m_passwords = std::make_unique<PasswordCheck>(m_web->users);
}

Authentication::~Authentication() = default;

void Authentication::check(QByteArrayView authorization, const QString &address, QObject *context,
                           std::function<void(const Verdict &)> done) {
    using K = Verdict::Kind;
    if (!m_passwords)
        return done({K::Allowed, {}});
    // A password verified before is honoured first: a scraper behind the same NAT as a client that keeps
    // failing goes on.
    const std::optional<Credentials> credentials = basicCredentials(authorization);
    if (credentials && m_passwords->remembered(*credentials))
        return done({K::Allowed, credentials->user});
    if (m_logins.blocked(address, m_clock.elapsed()))
        return done({K::TooManyFailures, {}});
    if (!credentials)
        return done({K::NeedsLogin, {}}); // asking for them is no failed attempt
    // Checks still waiting count against their address: one client cannot keep the pool to itself.
    if (m_passwords->waitingFrom(address) >= PasswordCheck::kMaxWaitingPerAddress)
        return done({K::TooManyFailures, {}});
    QPointer<QObject> alive(context);
    const bool queued =
        m_passwords->check(*credentials, address, [=, this, user = credentials->user](bool ok) {
            if (!ok)
                m_logins.failed(address, m_clock.elapsed());
            if (alive)
                done(ok ? Verdict{K::Allowed, user} : Verdict{K::NeedsLogin, {}});
        });
    if (!queued)
        done({K::Busy, {}});
}

bool Authentication::mayCommand(const QString &user) const {
    if (!m_web)
        return m_loopback;
    return m_web->hasUsers() && m_web->isOperator(user);
}

QByteArray Authentication::token(const QString &user) const {
    return csrfToken(m_secret, user);
}

} // namespace kr7::bridge
