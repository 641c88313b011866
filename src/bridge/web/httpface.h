#pragma once

#include "face.h"
#include "routes.h"

#include <memory>

namespace kr7::bridge {

// The HTTP face: /metrics, /state and the venue console on one listener, secured, when a web configuration
// is given, as Prometheus' exporters are (TLS, HTTP Basic users with bcrypt hashes, roles). Its parts:
// Admission (connections and TLS), Authentication (users and roles), EventStream (the console's stream) and
// HttpRoutes (what each path answers). A reload that changes where it listens or how it is secured starts a
// new listener; one that cannot start leaves the one before in place.
class HttpFace : public Face {
    Q_OBJECT
  public:
    HttpFace(FaceServices services, const Settings &settings, QObject *parent = nullptr);
    ~HttpFace() override;

    QString name() const override { return QStringLiteral("http"); }
    bool start(QString *error) override;
    FaceReload reconfigure(const Settings &next) override;
    void stop() override;

  private:
    std::unique_ptr<HttpRoutes> make(const HttpSettings &settings) const;

    FaceServices m_services;
    HttpSettings m_settings;
    QByteArray m_secret;   // this run's key for the pages' command tokens, kept across restarts
    QStringList m_machine; // this machine's own names
    std::unique_ptr<HttpRoutes> m_routes;
};

} // namespace kr7::bridge
