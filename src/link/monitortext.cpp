#include "monitortext.h"

#include <array>

namespace kr7 {

namespace {

// One token per printable character " " .. "z": the character followed by a blank.
const std::array<QString, 91> &printableTokens() {
    static const std::array<QString, 91> tokens = [] {
        std::array<QString, 91> t;
        for (int c = 32; c <= 122; ++c)
            t[c - 32] = QString(QChar(c)) + QLatin1Char(' ');
        return t;
    }();
    return tokens;
}

} // namespace

QStringView monitorToken(QChar c) {
    static const QString ack = QStringLiteral("ACK ");
    static const QString dc4 = QStringLiteral("&");
    static const QString cr = QStringLiteral("CR ");
    static const QString lf = QStringLiteral("LF ");
    static const QString unknown = QStringLiteral("? ");
    const char16_t u = c.unicode();
    if (u == 6)
        return ack;
    if (u == 20)
        return dc4; // no blank after it: the next character follows directly
    if (u == 13)
        return cr;
    if (u == 10)
        return lf;
    if (u < 32 || u > 122)
        return unknown;
    return printableTokens()[u - 32];
}

void appendMonitorTokens(QString &out, QStringView text) {
    for (QChar c : text)
        out.append(monitorToken(c));
}

QString monitorText(QStringView line) {
    const QStringView shown = line.first(std::min(line.size(), kMonitorMaxChars));
    QString out;
    out.reserve(1 + shown.size() * 2);
    out.append(QLatin1Char(' '));
    appendMonitorTokens(out, shown);
    return out;
}

} // namespace kr7
