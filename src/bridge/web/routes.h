#pragma once

#include "authentication.h"
#include "commands.h"
#include "eventstream.h"
#include "face.h"
#include "historyfile.h"
#include "hostnames.h"
#include "metricstext.h"
#include "settings.h"

#include <QAbstractHttpServer>
#include <QElapsedTimer>
#include <QString>

#include <memory>
#include <optional>

class QTcpSocket;

namespace kr7::bridge {

class Admission;

// What the HTTP face takes of the settings: where it listens and how it is secured.
struct HttpSettings {
    QString host;
    quint16 port = 0;
    std::optional<WebConfig> web;
    QStringList names;   // http_names
    QString historyPath; // the history file to read, or none
    bool operator==(const HttpSettings &) const = default;

    static HttpSettings of(const Settings &settings);
};

// What the HTTP face serves: GET /metrics and GET /state from the state as the pollers last left it (a
// request never waits for a projector), the venue console (GET /, its script and style, and GET /events, the
// projectors' states as they change), POST /api/projectors/NAME and /api/groups/NAME for an operator's
// commands, GET /api/schedules and POST /api/schedules/NAME to steer one. One of these serves one set of
// settings on one listener; the face makes another when they change.
class HttpRoutes : public QAbstractHttpServer {
    Q_OBJECT
  public:
    // However many scrapers ask, the exposition is written again at most this often; a scrape sees the
    // state at most this much older than it is (the projectors themselves are polled every few seconds).
    static constexpr int kRenderEveryMs = 500;

    // secret: this run's key for the pages' tokens, the same for every listener of the run; machine: this
    // machine's own names, served in Host.
    HttpRoutes(FaceServices services, HttpSettings settings, QByteArray secret, const QStringList &machine,
               QObject *parent = nullptr);
    ~HttpRoutes() override;

    // Listens on the settings' address only. False with the reason when it cannot.
    bool listen(QString *error);

  protected:
    bool handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) override;
    void missingHandler(const QHttpServerRequest &request, QTcpSocket *socket) override;

  private:
    struct HeldRequest;
    void serve(const HeldRequest &request, QTcpSocket *socket, const QString &user);
    bool mayAct(const HeldRequest &request, QTcpSocket *socket, const QString &user);
    void lamp(const HeldRequest &request, QTcpSocket *socket, const QString &user);
    QJsonArray groupsList() const;
    static QJsonArray commandList();
    static Origin originOf(const HeldRequest &request, const QString &user);
    void command(const HeldRequest &request, QTcpSocket *socket, const QString &user);
    void group(const HeldRequest &request, QTcpSocket *socket, const QString &user);
    void schedules(const HeldRequest &request, QTcpSocket *socket, const QString &user);
    void openStream(const HeldRequest &request, QTcpSocket *socket, const QString &user);
    void history(const HeldRequest &request, QTcpSocket *socket);
    void samples(const HeldRequest &request, QTcpSocket *socket);
    QByteArray metrics();
    QByteArray page(const QString &user) const;
    void send(QTcpSocket *socket, const HeldRequest &request, int status, const QByteArray &type,
              const QByteArray &body, const QList<std::pair<QByteArray, QByteArray>> &extra = {});
    QByteArray securityHeaders() const;

    FaceServices m_services;
    HttpSettings m_settings;
    ServedHosts m_hosts;
    Admission *m_admission = nullptr; // the listener's, once listening
    Authentication m_auth;
    EventStream m_events;
    std::unique_ptr<HistoryReader> m_history; // with a history file

    MetricsText m_metrics;
    QByteArray m_exposition;
    QElapsedTimer m_rendered;
    bool m_changed = true;
};

} // namespace kr7::bridge
