#include "httpface.h"

#include "journal.h"

#include <QRandomGenerator>

namespace kr7::bridge {

HttpFace::HttpFace(FaceServices services, const Settings &settings, QObject *parent)
    : Face(parent), m_services(services), m_settings(HttpSettings::of(settings)),
      m_machine(ServedHosts::machineNames()) {
    QByteArray secret(32, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(secret.data()), 8);
    m_secret = secret;
}

HttpFace::~HttpFace() = default;

std::unique_ptr<HttpRoutes> HttpFace::make(const HttpSettings &settings) const {
    return std::make_unique<HttpRoutes>(m_services, settings, m_secret, m_machine);
}

bool HttpFace::start(QString *error) {
    m_routes = make(m_settings);
    if (m_routes->listen(error))
        return true;
    m_routes.reset();
    return false;
}

FaceReload HttpFace::reconfigure(const Settings &next) {
    HttpSettings wanted = HttpSettings::of(next);
    if (wanted == m_settings)
        return FaceReload::kept();
    const QString where = QStringLiteral("%1:%2").arg(wanted.host).arg(wanted.port);
    const bool sameAddress = wanted.host == m_settings.host && wanted.port == m_settings.port;
    // The old listener goes first when the new one wants its address.
    if (sameAddress)
        m_routes.reset();
    auto routes = make(wanted);
    QString error;
    if (routes->listen(&error)) {
        m_routes = std::move(routes);
        m_settings = std::move(wanted);
        journal(QStringLiteral("http: now on %1%2")
                    .arg(where, m_settings.web
                                    ? QStringLiteral(" with web config %1").arg(m_settings.web->path)
                                    : QString()));
        return FaceReload::restarted();
    }
    if (sameAddress) {
        // The new settings cannot be served (a certificate gone since the check, say): the ones before go on.
        m_routes = make(m_settings);
        QString again;
        if (!m_routes->listen(&again))
            journal(QStringLiteral("http: %1").arg(again));
    }
    return FaceReload::failed(
        QStringLiteral("%1; it stays on %2:%3").arg(error, m_settings.host).arg(m_settings.port));
}

void HttpFace::stop() {
    m_routes.reset();
}

} // namespace kr7::bridge
