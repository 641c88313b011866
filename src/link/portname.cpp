#include "portname.h"

#include <QHostAddress>

#include <algorithm>

namespace kr7 {

QString PortName::endpoint() const {
    const QString h = host.contains(QLatin1Char(':')) ? QLatin1Char('[') + host + QLatin1Char(']') : host;
    return h + QLatin1Char(':') + QString::number(port);
}

namespace {

QString problem(const QString &text, const QString &what) {
    return QStringLiteral("port name '%1': %2").arg(text, what);
}

bool isHostName(const QString &host) {
    // Letters, digits, hyphens and dots (RFC 1123), with an underscore allowed as resolvers do.
    for (QChar c : host)
        if (!(c.isLetterOrNumber() && c.unicode() < 128) && c != QLatin1Char('-') && c != QLatin1Char('.') &&
            c != QLatin1Char('_'))
            return false;
    return !host.startsWith(QLatin1Char('.')) && !host.startsWith(QLatin1Char('-'));
}

} // namespace

std::variant<PortName, QString> parsePortName(const QString &text) {
    if (text.trimmed().isEmpty())
        return problem(text,
                       QStringLiteral("empty; give a device path, tcp://HOST:PORT or rfc2217://HOST:PORT"));
    const qsizetype sep = text.indexOf(QLatin1String("://"));
    PortName name;
    name.text = text;
    if (sep < 0) {
        name.device = text;
        return name;
    }
    const QString scheme = text.left(sep);
    if (scheme == QLatin1String("tcp"))
        name.kind = PortName::Kind::Tcp;
    else if (scheme == QLatin1String("rfc2217"))
        name.kind = PortName::Kind::Rfc2217;
    else
        return problem(text, QStringLiteral("unknown scheme '%1' (use a device path, tcp://HOST:PORT or "
                                            "rfc2217://HOST:PORT)")
                                 .arg(scheme));
    QString rest = text.mid(sep + 3);
    if (rest.endsWith(QLatin1Char('/')))
        rest.chop(1);
    QString host, port;
    if (rest.startsWith(QLatin1Char('['))) {
        const qsizetype close = rest.indexOf(QLatin1Char(']'));
        if (close < 0)
            return problem(text, QStringLiteral("the IPv6 address has no closing ']'"));
        host = rest.mid(1, close - 1);
        const QString after = rest.mid(close + 1);
        if (!after.startsWith(QLatin1Char(':')))
            return problem(text, QStringLiteral("no port: write %1://[ADDRESS]:PORT").arg(scheme));
        port = after.mid(1);
        if (QHostAddress(host).protocol() != QAbstractSocket::IPv6Protocol)
            return problem(text, QStringLiteral("'%1' is not an IPv6 address").arg(host));
    } else {
        const qsizetype colon = rest.lastIndexOf(QLatin1Char(':'));
        if (colon < 0)
            return problem(text, QStringLiteral("no port: write %1://HOST:PORT").arg(scheme));
        host = rest.left(colon);
        port = rest.mid(colon + 1);
        if (host.contains(QLatin1Char(':')))
            return problem(
                text, QStringLiteral("an IPv6 address goes in brackets: %1://[ADDRESS]:PORT").arg(scheme));
        if (host.isEmpty())
            return problem(text, QStringLiteral("no host: write %1://HOST:PORT").arg(scheme));
        if (!isHostName(host))
            return problem(text, QStringLiteral("'%1' is not a host name or address").arg(host));
    }
    if (port.isEmpty())
        return problem(text, QStringLiteral("no port: write %1://HOST:PORT").arg(scheme));
    if (!std::all_of(port.begin(), port.end(),
                     [](QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); }))
        return problem(text, QStringLiteral("port '%1' is not a number").arg(port));
    bool ok = false;
    const qlonglong number = port.toLongLong(&ok);
    if (!ok || number < 1 || number > 65535)
        return problem(text, QStringLiteral("port %1 is out of range (1-65535)").arg(port));
    name.host = host;
    name.port = quint16(number);
    return name;
}

} // namespace kr7
