#include "webconfig.h"

#include "yamlread.h"

#include <QRegularExpression>

namespace kr7::bridge {

using namespace yamlread;

namespace {

// Keys of the exporter toolkit's format that the bridge does not carry out: refused by name, so that nobody
// believes a setting holds that does not.
QString notCarriedOut(const std::string &key) {
    return QStringLiteral("'%1' is not supported by kr7-bridge").arg(text(key));
}

WebConfig::Tls readTls(const YAML::Node &node) {
    const auto keys = keysOf(node, QStringLiteral("tls_server_config"),
                             {"cert_file", "key_file", "cert", "key", "client_auth_type", "client_ca_file",
                              "client_allowed_sans", "min_version", "max_version", "cipher_suites",
                              "curve_preferences", "prefer_server_cipher_suites"});
    for (const char *unsupported : {"cert", "key", "client_allowed_sans", "max_version", "cipher_suites",
                                    "curve_preferences", "prefer_server_cipher_suites"})
        if (const auto it = keys.find(unsupported); it != keys.end())
            fail(it->second.Mark(), QStringLiteral("tls_server_config: %1 (use cert_file and key_file; "
                                                   "client_auth_type, client_ca_file, min_version)")
                                        .arg(notCarriedOut(unsupported)));
    WebConfig::Tls tls;
    tls.certFile = fileSetting(keys, "cert_file");
    tls.keyFile = fileSetting(keys, "key_file");
    if (tls.certFile.path.isEmpty() || tls.keyFile.path.isEmpty())
        fail(node.Mark(), QStringLiteral("tls_server_config: cert_file and key_file are both required"));
    tls.clientCaFile = fileSetting(keys, "client_ca_file");
    if (const auto it = keys.find("client_auth_type"); it != keys.end()) {
        const QString type = scalar(it->second, QStringLiteral("client_auth_type"));
        if (type == QLatin1String("RequireAndVerifyClientCert"))
            tls.requireClientCert = true;
        else if (type != QLatin1String("NoClientCert"))
            fail(it->second.Mark(), QStringLiteral("client_auth_type: '%1': NoClientCert or "
                                                   "RequireAndVerifyClientCert")
                                        .arg(type));
    }
    if (tls.requireClientCert && tls.clientCaFile.path.isEmpty())
        fail(keys.at("client_auth_type").Mark(),
             QStringLiteral("client_auth_type: RequireAndVerifyClientCert needs client_ca_file, the CA that "
                            "signs the clients' certificates"));
    if (const auto it = keys.find("min_version"); it != keys.end()) {
        const QString version = scalar(it->second, QStringLiteral("min_version"));
        if (version == QLatin1String("TLS13"))
            tls.tls13Only = true;
        else if (version != QLatin1String("TLS12"))
            fail(it->second.Mark(),
                 QStringLiteral("min_version: '%1': TLS12 or TLS13 (older versions are not served)")
                     .arg(version));
    }
    return tls;
}

void readHttpServerConfig(WebConfig &web, const YAML::Node &node) {
    const auto keys = keysOf(node, QStringLiteral("http_server_config"), {"http2", "headers"});
    if (const auto it = keys.find("http2"); it != keys.end()) {
        const QString value = scalar(it->second, QStringLiteral("http2"));
        if (value != QLatin1String("true") && value != QLatin1String("false"))
            fail(it->second.Mark(), QStringLiteral("http2: true or false, not '%1'").arg(value));
        // HTTP/1.1 is served either way: a client that asks for HTTP/2 falls back to it.
    }
    const auto headers = keys.find("headers");
    if (headers == keys.end())
        return;
    if (!headers->second.IsMap())
        fail(headers->second.Mark(), QStringLiteral("headers: a map of header names to values is expected"));
    // The exporter toolkit's five, under their own names.
    static const QStringList allowed{
        QStringLiteral("Content-Security-Policy"), QStringLiteral("X-Frame-Options"),
        QStringLiteral("X-Content-Type-Options"), QStringLiteral("X-XSS-Protection"),
        QStringLiteral("Strict-Transport-Security")};
    for (auto it = headers->second.begin(); it != headers->second.end(); ++it) {
        const YAML::Node key = it->first;
        const QString name = scalar(key, QStringLiteral("headers"));
        const auto known = std::find_if(allowed.begin(), allowed.end(), [&](const QString &a) {
            return a.compare(name, Qt::CaseInsensitive) == 0;
        });
        if (known == allowed.end())
            fail(key.Mark(), QStringLiteral("headers: '%1' is not one of %2").arg(name, allowed.join(u", ")));
        const QString value = scalar(it->second, name);
        static const QRegularExpression printable(QStringLiteral("^[\\x20-\\x7e]*$"));
        if (!printable.match(value).hasMatch())
            fail(it->second.Mark(),
                 QStringLiteral("headers: the value of %1 must be printable ASCII").arg(name));
        for (const auto &[have, v] : web.headers)
            if (have.compare(known->toLatin1(), Qt::CaseInsensitive) == 0)
                fail(key.Mark(), QStringLiteral("headers: '%1' is given twice").arg(name));
        web.headers.append({known->toLatin1(), value.toLatin1()});
    }
}

WebConfig read(const YAML::Node &root) {
    WebConfig web;
    if (root.IsNull())
        return web; // an empty file: nothing secured, as for the exporters
    const auto keys = keysOf(
        root, QStringLiteral("web config"),
        {"tls_server_config", "http_server_config", "basic_auth_users", "rate_limit", "kr7_operators"});
    if (const auto it = keys.find("rate_limit"); it != keys.end())
        fail(it->second.Mark(), QStringLiteral("%1 (kr7-bridge limits failed logins by itself)")
                                    .arg(notCarriedOut("rate_limit")));
    if (const auto it = keys.find("tls_server_config"); it != keys.end())
        web.tls = readTls(it->second);
    if (const auto it = keys.find("http_server_config"); it != keys.end())
        readHttpServerConfig(web, it->second);
    if (const auto it = keys.find("basic_auth_users"); it != keys.end() && !it->second.IsNull()) {
        if (!it->second.IsMap())
            fail(it->second.Mark(), QStringLiteral("basic_auth_users: a map of user names to bcrypt hashes"));
        for (auto u = it->second.begin(); u != it->second.end(); ++u) {
            const YAML::Node key = u->first;
            const QString user = scalar(key, QStringLiteral("basic_auth_users"));
            if (user.isEmpty() || user.contains(QLatin1Char(':')) || user.size() > 128)
                fail(key.Mark(),
                     QStringLiteral("basic_auth_users: '%1' is not a user name (1-128 characters, "
                                    "no ':')")
                         .arg(user));
            if (web.users.count(user))
                fail(key.Mark(), QStringLiteral("basic_auth_users: '%1' is given twice").arg(user));
            const QByteArray hash = scalar(u->second, user).toUtf8();
            if (!isBcryptHash(hash))
                fail(u->second.Mark(),
                     QStringLiteral("basic_auth_users: %1: not a bcrypt hash (make one with "
                                    "htpasswd -nBC 10 %1)")
                         .arg(user));
            web.users[user] = hash;
        }
    }
    if (const auto it = keys.find("kr7_operators"); it != keys.end() && !it->second.IsNull()) {
        if (!it->second.IsSequence())
            fail(it->second.Mark(), QStringLiteral("kr7_operators: a list of user names"));
        for (const YAML::Node &o : it->second) {
            const QString user = scalar(o, QStringLiteral("kr7_operators"));
            if (!web.users.count(user))
                fail(o.Mark(), QStringLiteral("kr7_operators: '%1' is not among basic_auth_users").arg(user));
            web.operators << user;
        }
    }
    return web;
}

} // namespace

bool isBcryptHash(QByteArrayView hash) {
    static const QRegularExpression shape(
        QStringLiteral("^\\$2[aby]\\$(0[4-9]|[12][0-9]|3[01])\\$[./A-Za-z0-9]{53}$"));
    return shape.match(QString::fromLatin1(hash)).hasMatch();
}

std::variant<WebConfig, ConfigError> parseWebConfig(QByteArrayView yaml) {
    return parseWith<WebConfig>(yaml, read);
}

} // namespace kr7::bridge
