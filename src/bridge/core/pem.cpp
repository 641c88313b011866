#include "pem.h"

#include <QCryptographicHash>
#include <QFile>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <memory>

namespace kr7::bridge {

namespace {

using Bio = std::unique_ptr<BIO, decltype(&BIO_free)>;
using Cert = std::unique_ptr<X509, decltype(&X509_free)>;
using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

Bio memory(QByteArrayView pem) {
    return Bio(BIO_new_mem_buf(pem.data(), int(pem.size())), BIO_free);
}

// Never asks for a passphrase: OpenSSL's default would prompt on a terminal nobody watches.
int noPassphrase(char *, int, int, void *) {
    return -1;
}

// OpenSSL's reason for the last failure ("no start line", "bad base64 decode"), and its queue emptied.
QString openSslReason(const char *fallback) {
    const unsigned long e = ERR_peek_last_error();
    const char *reason = e ? ERR_reason_error_string(e) : nullptr;
    ERR_clear_error();
    return QString::fromLatin1(reason ? reason : fallback);
}

Cert firstCertificate(QByteArrayView pem) {
    Bio bio = memory(pem);
    return Cert(PEM_read_bio_X509(bio.get(), nullptr, noPassphrase, nullptr), X509_free);
}

Key privateKey(QByteArrayView pem) {
    Bio bio = memory(pem);
    return Key(PEM_read_bio_PrivateKey(bio.get(), nullptr, noPassphrase, nullptr), EVP_PKEY_free);
}

} // namespace

QString readSmallFile(const QString &path, QByteArray *content) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return file.errorString();
    *content = file.read(kMaxPemBytes + 1);
    if (content->size() > kMaxPemBytes)
        return QStringLiteral("larger than 1 MiB; not a file of settings");
    return QString();
}

QByteArray contentDigest(QByteArrayView content) {
    return QCryptographicHash::hash(content, QCryptographicHash::Sha256);
}

QString certificatesProblem(QByteArrayView pem) {
    ERR_clear_error();
    Bio bio = memory(pem);
    STACK_OF(X509_INFO) *infos = PEM_X509_INFO_read_bio(bio.get(), nullptr, noPassphrase, nullptr);
    if (!infos)
        return QStringLiteral("no certificate OpenSSL can load (%1)").arg(openSslReason("unreadable PEM"));
    int certificates = 0;
    for (int i = 0; i < sk_X509_INFO_num(infos); ++i)
        certificates += sk_X509_INFO_value(infos, i)->x509 ? 1 : 0;
    sk_X509_INFO_pop_free(infos, X509_INFO_free);
    ERR_clear_error();
    if (certificates == 0)
        return QStringLiteral("holds no PEM certificate");
    return QString();
}

QString privateKeyProblem(QByteArrayView pem) {
    ERR_clear_error();
    if (!privateKey(pem))
        return QStringLiteral("no private key OpenSSL can load without a passphrase (%1)")
            .arg(openSslReason("unreadable PEM"));
    ERR_clear_error();
    return QString();
}

QString pairProblem(QByteArrayView certPem, QByteArrayView keyPem) {
    ERR_clear_error();
    const Cert cert = firstCertificate(certPem);
    const Key key = privateKey(keyPem);
    if (!cert || !key) {
        ERR_clear_error();
        return !cert ? QStringLiteral("holds no PEM certificate")
                     : QStringLiteral("holds no PEM private key (or one with a passphrase)");
    }
    const bool match = X509_check_private_key(cert.get(), key.get()) == 1;
    ERR_clear_error();
    return match ? QString() : QStringLiteral("the certificate does not match its key");
}

} // namespace kr7::bridge
