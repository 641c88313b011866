// Arbitrary bytes as the parameters of an HTTP request the bridge reads itself: the Host header. A Host that
// is served is made only of a name's or an address's characters, and serving does not depend on case.
#include "hostnames.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QByteArrayView bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    static const kr7::bridge::ServedHosts hosts({QStringLiteral("kr7.venue.example")},
                                                {QStringLiteral("booth-pc"), QStringLiteral("booth-pc.lan")});
    const bool served = hosts.serves(bytes);
    if (served) {
        for (const char c : bytes)
            if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                  c == '.' || c == ':' || c == '[' || c == ']' || c == '%'))
                std::abort();
        if (!hosts.serves(bytes.toByteArray().toLower()))
            std::abort();
    }
    return 0;
}
