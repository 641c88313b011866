#pragma once

#include "limiter.h"
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

// The token a page carries to send commands: bound to the user and to this run of the bridge (secret).
QByteArray csrfToken(QByteArrayView secret, const QString &user);
// Equal in constant time.
bool sameSecret(QByteArrayView a, QByteArrayView b);

// Whether an Origin header names this server itself: scheme and the Host the request was sent to.
bool sameOrigin(QByteArrayView origin, bool tls, QByteArrayView host);

} // namespace kr7::bridge
