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

bool LoginLimiter::blocked(const QString &address, qint64 now) const {
    const auto it = m_records.constFind(address);
    return it != m_records.constEnd() && it->blockedUntil > now;
}

void LoginLimiter::failed(const QString &address, qint64 now) {
    if (!m_records.contains(address) && m_records.size() >= kMaxAddresses) {
        // Forget what is over first, then the quietest.
        for (auto it = m_records.begin(); it != m_records.end();)
            it = it->blockedUntil <= now && now - it->last > kWindowMs ? m_records.erase(it) : std::next(it);
        if (m_records.size() >= kMaxAddresses)
            m_records.erase(
                std::min_element(m_records.begin(), m_records.end(),
                                 [](const Record &a, const Record &b) { return a.last < b.last; }));
    }
    Record &r = m_records[address];
    r.last = now;
    r.failures.push_back(now);
    while (!r.failures.empty() && now - r.failures.front() >= kWindowMs)
        r.failures.pop_front();
    if (int(r.failures.size()) >= kMaxFailures) {
        r.blockedUntil = now + kBlockMs;
        r.failures.clear();
    }
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
