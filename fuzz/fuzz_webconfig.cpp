// Arbitrary bytes as the web configuration file and as an Authorization header: a web configuration that
// passes has only bcrypt hashes, operators among its users and the headers allowed; anything else is an
// error with a message. A header never crashes the reader.
#include "webauth.h"
#include "webconfig.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QByteArrayView bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    (void)kr7::bridge::basicCredentials(bytes);
    const auto parsed = kr7::bridge::parseWebConfig(bytes);
    if (const auto *error = std::get_if<kr7::bridge::ConfigError>(&parsed)) {
        if (error->message.isEmpty() || error->line < 0 || error->column < 0)
            std::abort();
        return 0;
    }
    const auto &web = std::get<kr7::bridge::WebConfig>(parsed);
    for (const auto &[user, hash] : web.users)
        if (user.isEmpty() || user.contains(QLatin1Char(':')) || !kr7::bridge::isBcryptHash(hash))
            std::abort();
    for (const QString &o : web.operators)
        if (!web.users.count(o))
            std::abort();
    if (web.headers.size() > 5)
        std::abort();
    if (web.tls && (web.tls->certFile.path.isEmpty() || web.tls->keyFile.path.isEmpty() ||
                    (web.tls->requireClientCert && web.tls->clientCaFile.path.isEmpty())))
        std::abort();
    return 0;
}
