#include "journal.h"

#include <cstdio>

namespace kr7::bridge {

QString journalText(const QString &event) {
    QString out;
    out.reserve(event.size());
    for (const QChar c : event) {
        const char16_t u = c.unicode();
        if (u == '\\')
            out += QLatin1String("\\\\");
        else if (u < 0x20 || u == 0x7F || (u >= 0x80 && u < 0xA0) || u == 0x2028 || u == 0x2029)
            out += QStringLiteral("\\x%1").arg(uint(u), 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

void journal(const QString &event) {
    const QByteArray text = "kr7-bridge: " + journalText(event).toUtf8() + '\n';
    std::fwrite(text.constData(), 1, size_t(text.size()), stderr);
    std::fflush(stderr);
}

} // namespace kr7::bridge
