#pragma once

#include "config.h"
#include "setrequest.h"
#include "state.h"
#include "webconfig.h"

#include <QObject>

#include <functional>
#include <memory>
#include <optional>
#include <variant>
#include <vector>

namespace kr7::traffic {
class TrafficLog;
}

namespace kr7::bridge {

class HttpFace;
class LinePoller;
class MqttFace;
class PjlinkFace;

// What the service runs on: the configuration and, when one is named, the web configuration.
struct Settings {
    Config config;
    std::optional<WebConfig> web;
};

// Reads the configuration and the web configuration it names (webConfigFile, when given, in its place).
// On failure "FILE:LINE:COLUMN: what is wrong".
std::variant<Settings, QString> loadSettings(const QString &path, const QString &webConfigFile = {});

// The service: one state, a poller per line, and its faces.
class Bridge : public QObject {
    Q_OBJECT
  public:
    Bridge(Settings settings, traffic::TrafficLog *log, QObject *parent = nullptr);
    ~Bridge() override;

    // Listens and opens every line. False with the reason when the service cannot run (the address is taken).
    bool start(QString *error);
    // Closes every port and stops listening.
    void stop();
    // Applies a new configuration with the least disturbance: a line whose port and speed stay keeps its
    // port open, its projectors' readings and counters and its place in its round; projectors gone are
    // taken out of every face, new ones start as at boot; a face whose settings changed is started again,
    // the others go on. The service state records the reload.
    void reload(Settings next);

    // Hands a request for projector (index in the state) to its line; done follows once.
    void submit(int projector, const SetRequest &request, std::function<void(const CommandOutcome &)> done);

    BridgeState &state() { return m_state; }
    const Config &config() const { return m_config; }

  private:
    std::unique_ptr<MqttFace> makeMqtt(const MqttConfig &config);
    std::unique_ptr<HttpFace> makeHttp(const std::optional<WebConfig> &web);

    traffic::TrafficLog *m_log;
    Config m_config;
    std::optional<WebConfig> m_web;
    BridgeState m_state;
    std::vector<std::unique_ptr<LinePoller>> m_pollers;
    std::unique_ptr<HttpFace> m_http;
    std::unique_ptr<MqttFace> m_mqtt;
    std::unique_ptr<PjlinkFace> m_pjlink;
};

} // namespace kr7::bridge
