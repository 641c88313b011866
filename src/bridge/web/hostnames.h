#pragma once

#include <QByteArrayView>
#include <QString>
#include <QStringList>

namespace kr7::bridge {

// The names a request's Host may give: an IP address literal (an IPv6 one in brackets), with or without a
// port; localhost; the machine's own host name and fully qualified name; and the configured http_names. Any
// other name is another site's, pointed at this machine (DNS rebinding): a page of it must never be served
// the console, its token or a projector.
class ServedHosts {
  public:
    // names: the configured ones; machine: this machine's own (machineNames()).
    ServedHosts(const QStringList &names, const QStringList &machine);

    bool serves(QByteArrayView host) const;

    // The machine's host name and, with the domain the resolver's configuration names, its full name; read
    // without asking a name server.
    static QStringList machineNames();

  private:
    QStringList m_names; // lower case, without a trailing dot
};

} // namespace kr7::bridge
