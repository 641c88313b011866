#include "say.h"

#include <cstdio>

namespace kr7::bridge {

void say(const QString &line) {
    const QByteArray text = "kr7-bridge: " + line.toUtf8() + '\n';
    std::fwrite(text.constData(), 1, size_t(text.size()), stderr);
    std::fflush(stderr);
}

} // namespace kr7::bridge
