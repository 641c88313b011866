#include "hostnames.h"

#include <QHostAddress>
#include <QHostInfo>

#include <cctype>

namespace kr7::bridge {

namespace {

QString bare(QString name) {
    name = name.toLower();
    if (name.endsWith(QLatin1Char('.')))
        name.chop(1);
    return name;
}

bool isPort(QByteArrayView digits) {
    if (digits.isEmpty() || digits.size() > 5)
        return false;
    for (const char c : digits)
        if (c < '0' || c > '9')
            return false;
    const int port = digits.toByteArray().toInt();
    return port >= 1 && port <= 65535;
}

} // namespace

ServedHosts::ServedHosts(const QStringList &names, const QStringList &machine) {
    m_names << QStringLiteral("localhost");
    for (const QStringList *list : {&names, &machine})
        for (const QString &n : *list)
            if (!n.isEmpty() && !m_names.contains(bare(n)))
                m_names << bare(n);
}

bool ServedHosts::serves(QByteArrayView host) const {
    if (host.isEmpty() || host.size() > 300)
        return false;
    QByteArrayView name = host;
    if (host.front() == '[') { // an IPv6 literal: [::1] or [::1]:9727
        const qsizetype close = host.indexOf(']');
        if (close < 0)
            return false;
        const QByteArrayView rest = host.sliced(close + 1);
        if (!rest.isEmpty() && !(rest.front() == ':' && isPort(rest.sliced(1))))
            return false;
        const QByteArrayView inside = host.sliced(1, close - 1);
        for (const char c : inside)
            if (!std::isxdigit(uchar(c)) && c != ':' && c != '.')
                return false; // what the address parser might pass over (a NUL, a zone)
        const QHostAddress address(QString::fromLatin1(inside));
        return address.protocol() == QAbstractSocket::IPv6Protocol;
    }
    if (const qsizetype colon = host.lastIndexOf(':'); colon >= 0) {
        if (!isPort(host.sliced(colon + 1)))
            return false;
        name = host.first(colon);
    }
    for (const char c : name)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
              c == '.'))
            return false;
    const QString text = QString::fromLatin1(name);
    if (QHostAddress(text).protocol() == QAbstractSocket::IPv4Protocol)
        return true;
    return m_names.contains(bare(text));
}

QStringList ServedHosts::machineNames() {
    const QString host = QHostInfo::localHostName();
    const QString domain = QHostInfo::localDomainName();
    QStringList names{host};
    if (!domain.isEmpty() && !host.contains(QLatin1Char('.')))
        names << host + QLatin1Char('.') + domain;
    return names;
}

} // namespace kr7::bridge
