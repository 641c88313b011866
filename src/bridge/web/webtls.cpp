#include "webtls.h"

#include "pem.h"

#include <QFile>
#include <QFileInfo>
#include <QSslCertificate>
#include <QSslKey>

namespace kr7::bridge {

namespace {

struct Material {
    QList<QSslCertificate> chain;
    QSslKey key;
    QList<QSslCertificate> clientCas;
    QByteArray certDigest, keyDigest, clientCaDigest; // what the files held
};

// The files a TLS section names, read and checked; the error names the setting and file.
std::variant<Material, QString> readMaterial(const WebConfig::Tls &tls, const QString &where) {
    const auto at = [&](const FileSetting &f, const QString &what) {
        return QStringLiteral("%1:%2:%3: %4").arg(where).arg(f.line).arg(f.column).arg(what);
    };
    QByteArray certPem, keyPem;
    if (QString e = readSmallFile(tls.certFile.path, &certPem);
        !e.isEmpty() || !(e = certificatesProblem(certPem)).isEmpty())
        return at(tls.certFile, QStringLiteral("cert_file %1: %2").arg(tls.certFile.path, e));
    if (QString e = readSmallFile(tls.keyFile.path, &keyPem);
        !e.isEmpty() || !(e = privateKeyProblem(keyPem)).isEmpty())
        return at(tls.keyFile, QStringLiteral("key_file %1: %2").arg(tls.keyFile.path, e));
    if (const QString e = pairProblem(certPem, keyPem); !e.isEmpty())
        return at(tls.certFile, QStringLiteral("%1 and %2: %3").arg(tls.certFile.path, tls.keyFile.path, e));
    Material m;
    m.certDigest = contentDigest(certPem);
    m.keyDigest = contentDigest(keyPem);
    m.chain = QSslCertificate::fromData(certPem, QSsl::Pem);
    for (const QSsl::KeyAlgorithm algorithm : {QSsl::Rsa, QSsl::Ec, QSsl::Dsa, QSsl::Opaque})
        if (m.key = QSslKey(keyPem, algorithm, QSsl::Pem); !m.key.isNull())
            break;
    if (m.chain.isEmpty() || m.key.isNull())
        return at(tls.keyFile,
                  QStringLiteral("%1: a key of a kind this build cannot serve").arg(tls.keyFile.path));
    if (!tls.clientCaFile.path.isEmpty()) {
        QByteArray caPem;
        QString e = readSmallFile(tls.clientCaFile.path, &caPem);
        if (e.isEmpty())
            e = certificatesProblem(caPem);
        m.clientCas = QSslCertificate::fromData(caPem, QSsl::Pem);
        m.clientCaDigest = contentDigest(caPem);
        if (e.isEmpty() && m.clientCas.isEmpty())
            e = QStringLiteral("holds no PEM certificate");
        if (!e.isEmpty())
            return at(tls.clientCaFile,
                      QStringLiteral("client_ca_file %1: %2").arg(tls.clientCaFile.path, e));
    }
    return m;
}

} // namespace

std::variant<WebConfig, QString> loadWebConfig(const QString &path) {
    QByteArray yaml;
    if (const QString e = readSmallFile(path, &yaml); !e.isEmpty())
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
        const Material &m = std::get<Material>(material);
        web.tls->certFile.digest = m.certDigest;
        web.tls->keyFile.digest = m.keyDigest;
        web.tls->clientCaFile.digest = m.clientCaDigest;
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
