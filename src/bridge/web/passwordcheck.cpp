#include "passwordcheck.h"

#include <QCryptographicHash>

#include <crypt.h>

#include <memory>
#include <mutex>

namespace kr7::bridge {

namespace {

QByteArray fingerprint(const QByteArray &password) {
    return QCryptographicHash::hash(password, QCryptographicHash::Sha256);
}

// A hash of cost 10 for names nobody has, made once.
QByteArray decoyHash() {
    static QByteArray decoy;
    static std::once_flag once;
    std::call_once(once, [] {
        char salt[CRYPT_GENSALT_OUTPUT_SIZE];
        auto data = std::make_unique<crypt_data>();
        if (crypt_gensalt_rn("$2b$", 10, nullptr, 0, salt, sizeof salt))
            if (const char *h = crypt_rn("kr7-bridge", salt, data.get(), sizeof *data); h && h[0] == '$')
                decoy = h;
    });
    return decoy;
}

bool matches(const QByteArray &password, const QByteArray &hash) {
    auto data = std::make_unique<crypt_data>(); // some 32 KiB: not on a pool thread's stack
    const char *computed = crypt_rn(password.constData(), hash.constData(), data.get(), sizeof *data);
    if (!computed || computed[0] != '$')
        return false;
    return sameSecret(QByteArrayView(computed), hash);
}

} // namespace

PasswordCheck::PasswordCheck(std::map<QString, QByteArray> users, QObject *parent)
    : QObject(parent), m_users(std::move(users)) {
    m_pool.setMaxThreadCount(std::max(1, QThread::idealThreadCount() - 1));
}

PasswordCheck::~PasswordCheck() {
    m_pool.clear();
    m_pool.waitForDone(); // the answers of checks still running go to no one
}

std::optional<bool> PasswordCheck::remembered(const Credentials &c) const {
    const auto it = m_verified.constFind(c.user);
    if (it != m_verified.constEnd() && sameSecret(*it, fingerprint(c.password)))
        return true;
    return std::nullopt;
}

bool PasswordCheck::check(const Credentials &c, const QString &address, std::function<void(bool)> done) {
    if (m_waiting >= kMaxWaiting)
        return false;
    ++m_waiting;
    ++m_waitingFrom[address];
    const auto user = m_users.find(c.user);
    const bool known = user != m_users.end();
    const QByteArray hash = known ? user->second : QByteArray();
    m_pool.start([this, c, address, hash, known, done = std::move(done)] {
        const bool ok = matches(c.password, known ? hash : decoyHash()) && known;
        QMetaObject::invokeMethod(this, [this, c, address, ok, done] {
            --m_waiting;
            if (--m_waitingFrom[address] <= 0)
                m_waitingFrom.remove(address);
            if (ok)
                m_verified.insert(c.user, fingerprint(c.password));
            done(ok);
        });
    });
    return true;
}

} // namespace kr7::bridge
