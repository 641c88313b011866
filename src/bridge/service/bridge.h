#pragma once

#include "changefeed.h"
#include "commands.h"
#include "config.h"
#include "events.h"
#include "face.h"
#include "lampdesk.h"
#include "scheduledesk.h"
#include "settings.h"
#include "state.h"

#include <QObject>

#include <memory>
#include <variant>
#include <vector>

namespace kr7::traffic {
class TrafficLog;
}

namespace kr7::bridge {

class LinePoller;

// Reads the configuration and the web configuration it names (webConfigFile, when given, in its place).
// On failure "FILE:LINE:COLUMN: what is wrong".
std::variant<Settings, QString> loadSettings(const QString &path, const QString &webConfigFile = {});

// The service: one state, a poller per line, the feed of the state's changes, the desk where commands are
// submitted, and the faces over them.
class Bridge : public QObject {
    Q_OBJECT
  public:
    Bridge(Settings settings, traffic::TrafficLog *log, QObject *parent = nullptr);
    ~Bridge() override;

    // Starts every face and opens every line. False with the reason when the service cannot run (an address
    // taken).
    bool start(QString *error);
    // Closes every port and stops every face.
    void stop();
    // Applies a new configuration with the least disturbance: a line whose port and speed stay keeps its
    // port open, its projectors' readings and counters and its place in its round; projectors gone are
    // taken out of every face, new ones start as at boot; each face takes the settings it uses, and goes on
    // as it is when they did not change. The service state records whether every face could.
    void reload(Settings next);

    BridgeState &state() { return m_state; }
    const Config &config() const { return m_config; }

  private:
    void route(int projector, const SetRequest &request, Commands::Done done);

    traffic::TrafficLog *m_log;
    Config m_config;
    BridgeState m_state;
    ChangeFeed m_feed;
    Commands m_commands;
    Events m_events;
    ScheduleDesk m_schedules;
    LampDesk m_lamps;
    QString m_scheme; // HTTP or HTTPS, as the face listens at start
    std::vector<std::unique_ptr<LinePoller>> m_pollers;
    std::vector<std::unique_ptr<Face>> m_faces;
};

} // namespace kr7::bridge
