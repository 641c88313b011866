#pragma once

#include "passwordcheck.h"
#include "settings.h"
#include "webauth.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

namespace kr7::bridge {

// Who asks, and what they may do: the users of the web configuration, checked as Prometheus' exporters check
// them (bcrypt off the event loop, a verified password remembered, failed logins limited per address), and
// the roles (an operator may send commands, with the token of a page this bridge served).
class Authentication : public QObject {
    Q_OBJECT
  public:
    struct Verdict {
        enum class Kind {
            Allowed,         // user: who (empty where no users are configured)
            NeedsLogin,      // no credentials, or wrong ones: 401
            TooManyFailures, // the address failed too often: 429
            Busy,            // too many checks wait already: 503
        };
        Kind kind = Kind::Allowed;
        QString user;
    };

    // secret: this run's key for the pages' tokens. loopback: the face listens on a loopback address only.
    Authentication(const std::optional<WebConfig> &web, QByteArray secret, bool loopback,
                   QObject *parent = nullptr);
    ~Authentication() override;

    // done once, at once or (after bcrypt) on this thread, unless context is gone by then.
    void check(QByteArrayView authorization, const QString &address, QObject *context,
               std::function<void(const Verdict &)> done);
    // Without a web configuration, commands are taken only on a loopback address (a page that anyone on the
    // network can open never switches a projector); with one, only from its operators.
    bool mayCommand(const QString &user) const;
    bool usersConfigured() const { return bool(m_passwords); }
    // The token a page carries for the user's commands.
    QByteArray token(const QString &user) const;

  private:
    std::optional<WebConfig> m_web;
    QByteArray m_secret;
    bool m_loopback;
    std::unique_ptr<PasswordCheck> m_passwords;
    LoginLimiter m_logins;
    QElapsedTimer m_clock;
};

} // namespace kr7::bridge
