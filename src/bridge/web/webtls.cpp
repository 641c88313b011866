#include "webtls.h"

#include <QFile>
#include <QFileInfo>
#include <QSslCertificate>
#include <QSslKey>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <memory>

namespace kr7::bridge {

namespace {

constexpr qint64 kMaxFileBytes = 1 << 20;

QString readFile(const QString &path, QByteArray *content) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return file.errorString();
    *content = file.read(kMaxFileBytes + 1);
    if (content->size() > kMaxFileBytes)
        return QStringLiteral("larger than 1 MiB; not a PEM file");
    return QString();
}

// Whether the first certificate of certPem belongs to the private key in keyPem (either in PEM).
QString pairProblem(const QByteArray &certPem, const QByteArray &keyPem) {
    using Bio = std::unique_ptr<BIO, decltype(&BIO_free)>;
    Bio certBio(BIO_new_mem_buf(certPem.constData(), int(certPem.size())), BIO_free);
    Bio keyBio(BIO_new_mem_buf(keyPem.constData(), int(keyPem.size())), BIO_free);
    std::unique_ptr<X509, decltype(&X509_free)> cert(
        PEM_read_bio_X509(certBio.get(), nullptr, nullptr, nullptr), X509_free);
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr), EVP_PKEY_free);
    ERR_clear_error();
    if (!cert)
        return QStringLiteral("cert_file holds no PEM certificate");
    if (!key)
        return QStringLiteral("key_file holds no PEM private key (or one with a passphrase)");
    const bool match = X509_check_private_key(cert.get(), key.get()) == 1;
    ERR_clear_error();
    return match ? QString() : QStringLiteral("the certificate does not match its key");
}

struct Material {
    QList<QSslCertificate> chain;
    QSslKey key;
    QList<QSslCertificate> clientCas;
};

// The files a TLS section names, read and checked; the error names the setting and file.
std::variant<Material, QString> readMaterial(const WebConfig::Tls &tls, const QString &where) {
    const auto at = [&](const FileSetting &f, const QString &what) {
        return QStringLiteral("%1:%2:%3: %4").arg(where).arg(f.line).arg(f.column).arg(what);
    };
    QByteArray certPem, keyPem;
    if (const QString e = readFile(tls.certFile.path, &certPem); !e.isEmpty())
        return at(tls.certFile, QStringLiteral("cert_file %1: %2").arg(tls.certFile.path, e));
    if (const QString e = readFile(tls.keyFile.path, &keyPem); !e.isEmpty())
        return at(tls.keyFile, QStringLiteral("key_file %1: %2").arg(tls.keyFile.path, e));
    if (const QString e = pairProblem(certPem, keyPem); !e.isEmpty())
        return at(tls.certFile, QStringLiteral("%1 and %2: %3").arg(tls.certFile.path, tls.keyFile.path, e));
    Material m;
    m.chain = QSslCertificate::fromData(certPem, QSsl::Pem);
    for (const QSsl::KeyAlgorithm algorithm : {QSsl::Rsa, QSsl::Ec, QSsl::Dsa, QSsl::Opaque})
        if (m.key = QSslKey(keyPem, algorithm, QSsl::Pem); !m.key.isNull())
            break;
    if (m.chain.isEmpty() || m.key.isNull())
        return at(tls.keyFile,
                  QStringLiteral("%1: a key of a kind this build cannot serve").arg(tls.keyFile.path));
    if (!tls.clientCaFile.path.isEmpty()) {
        QByteArray caPem;
        if (const QString e = readFile(tls.clientCaFile.path, &caPem); !e.isEmpty())
            return at(tls.clientCaFile,
                      QStringLiteral("client_ca_file %1: %2").arg(tls.clientCaFile.path, e));
        m.clientCas = QSslCertificate::fromData(caPem, QSsl::Pem);
        if (m.clientCas.isEmpty())
            return at(
                tls.clientCaFile,
                QStringLiteral("client_ca_file %1: holds no PEM certificate").arg(tls.clientCaFile.path));
    }
    return m;
}

} // namespace

std::variant<WebConfig, QString> loadWebConfig(const QString &path) {
    QByteArray yaml;
    if (const QString e = readFile(path, &yaml); !e.isEmpty())
        return QStringLiteral("%1: %2").arg(path, e);
    auto parsed = parseWebConfig(yaml);
    if (const ConfigError *e = std::get_if<ConfigError>(&parsed))
        return QStringLiteral("%1:%2:%3: %4").arg(path).arg(e->line).arg(e->column).arg(e->message);
    WebConfig web = std::get<WebConfig>(std::move(parsed));
    web.path = path;
    if (web.tls) {
        const auto material = readMaterial(*web.tls, path);
        if (const QString *e = std::get_if<QString>(&material))
            return *e;
    }
    return web;
}

std::variant<QSslConfiguration, QString> serverTls(const WebConfig::Tls &tls) {
    auto material = readMaterial(tls, QStringLiteral("web config"));
    if (const QString *e = std::get_if<QString>(&material))
        return *e;
    const Material &m = std::get<Material>(material);
    QSslConfiguration c = QSslConfiguration::defaultConfiguration();
    c.setLocalCertificateChain(m.chain);
    c.setPrivateKey(m.key);
    c.setProtocol(tls.tls13Only ? QSsl::TlsV1_3OrLater : QSsl::TlsV1_2OrLater);
    if (tls.requireClientCert) {
        c.setCaCertificates(m.clientCas);
        c.setPeerVerifyMode(QSslSocket::VerifyPeer);
    } else {
        c.setPeerVerifyMode(QSslSocket::VerifyNone);
    }
    return c;
}

QString tlsFilesStamp(const WebConfig::Tls &tls) {
    QString stamp;
    for (const FileSetting *f : {&tls.certFile, &tls.keyFile, &tls.clientCaFile}) {
        const QFileInfo info(f->path);
        stamp += QStringLiteral("%1/%2/%3;")
                     .arg(info.lastModified().toMSecsSinceEpoch())
                     .arg(info.size())
                     .arg(info.exists());
    }
    return stamp;
}

} // namespace kr7::bridge
