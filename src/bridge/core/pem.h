#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

namespace kr7::bridge {

// Certificates and keys in PEM, as OpenSSL reads them for the faces that use TLS (the broker's CA and client
// certificate, the console's certificate): a file that can never work is said at start, with OpenSSL's own
// reason, never found out at the first connection. Each check answers empty when the text is good.

inline constexpr qint64 kMaxPemBytes = 1 << 20;

// The file's bytes (at most 1 MiB) into content; the reason when it cannot be read.
QString readSmallFile(const QString &path, QByteArray *content);
// SHA-256 of a file's bytes: what a setting that names the file compares by.
QByteArray contentDigest(QByteArrayView content);

// At least one certificate, and every PEM block of the text one that OpenSSL can load.
QString certificatesProblem(QByteArrayView pem);
// A private key without a passphrase (a service has nobody to type one).
QString privateKeyProblem(QByteArrayView pem);
// The first certificate of certPem belongs to the key in keyPem (both good on their own).
QString pairProblem(QByteArrayView certPem, QByteArrayView keyPem);

} // namespace kr7::bridge
