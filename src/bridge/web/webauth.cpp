#include "webauth.h"

#include <QMessageAuthenticationCode>

#include <algorithm>

namespace kr7::bridge {

std::optional<Credentials> basicCredentials(QByteArrayView authorization) {
    const QByteArrayView scheme("Basic ");
    if (authorization.size() <= scheme.size() || authorization.size() > 4096 ||
        authorization.first(scheme.size()).toByteArray().toLower() != "basic ")
        return std::nullopt;
    const auto decoded = QByteArray::fromBase64Encoding(
        authorization.sliced(scheme.size()).trimmed().toByteArray(), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return std::nullopt;
    const QByteArray &text = decoded.decoded;
    const qsizetype colon = text.indexOf(':');
    if (colon <= 0)
        return std::nullopt;
    return Credentials{QString::fromUtf8(text.left(colon)), text.mid(colon + 1)};
}

QByteArray csrfToken(QByteArrayView secret, const QString &user) {
    return QMessageAuthenticationCode::hash(user.toUtf8(), secret.toByteArray(), QCryptographicHash::Sha256)
        .toHex();
}

bool sameSecret(QByteArrayView a, QByteArrayView b) {
    if (a.size() != b.size())
        return false;
    unsigned char diff = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

bool sameOrigin(QByteArrayView origin, bool tls, QByteArrayView host) {
    if (host.isEmpty())
        return false;
    const QByteArray own = QByteArray(tls ? "https://" : "http://") + host.toByteArray().toLower();
    return origin.toByteArray().toLower() == own;
}

} // namespace kr7::bridge
