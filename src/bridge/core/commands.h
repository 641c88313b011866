#pragma once

#include "config.h"
#include "setrequest.h"

#include <QDateTime>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>

namespace kr7::bridge {

class BridgeState;

// Who asked for a command: the face, and who asked there. Travels with the command to its result and into the
// history.
struct Origin {
    QString face;     // "console", "mqtt", "pjlink", "schedule"
    QString user;     // the console's user, or "anonymous" where no users are configured
    QString address;  // the console's or the PJLink controller's address
    QString topic;    // MQTT: the topic the command came on
    QString schedule; // a schedule: its name
    QString group;    // a command to a group: the group's name

    // The members that are set.
    QJsonObject toJson() const;
    // For the journal: "console (alice from 10.0.0.31)".
    QString text() const;
};

// A command once it has its outcome, for whoever keeps track (the history).
struct CommandRecord {
    QString projector;
    QString line; // its line, as configured
    QJsonObject request;
    Origin origin;
    CommandOutcome outcome;
    QDateTime at; // when it was submitted, UTC
};

// Where every face hands in its commands for a projector: each goes to its line's queue with its origin, and
// its outcome comes back on the face's own thread, once, to a callback bound to a context object of the face.
// A face that is gone meanwhile is never called back: the command still completes on the wire (or is refused,
// said once), and finished() tells its outcome all the same.
class Commands : public QObject {
    Q_OBJECT
  public:
    using Done = std::function<void(const CommandOutcome &)>;
    // How a request reaches a projector's line: the service's, which holds the lines.
    using Route = std::function<void(int projector, const SetRequest &, Done)>;

    explicit Commands(const BridgeState &state, QObject *parent = nullptr);

    void setRoute(Route route) { m_route = std::move(route); }
    // The groups commands may go to (and the projectors, for all): the configuration in force.
    void setConfig(const Config &config) { m_config = config; }
    const Config &config() const { return m_config; }

    // Each projector's outcome, in the group's order.
    using GroupDone = std::function<void(const QList<std::pair<QString, CommandOutcome>> &)>;
    // A request for every projector of a group (all: every projector), each through its own line's queue (the
    // lines in parallel), with the group in its origin; power-on staggered as the group says. done once every
    // member has its outcome; false at once for a name that is no group.
    bool submitGroup(const QString &group, const SetRequest &request, const Origin &origin, QObject *context,
                     GroupDone done);

    // projector is the index in the state now; done is called on this thread unless context is gone.
    void submit(int projector, const SetRequest &request, const Origin &origin, QObject *context, Done done);

  signals:
    void finished(const CommandRecord &record);

  private:
    const BridgeState &m_state;
    Route m_route;
    Config m_config;
};

} // namespace kr7::bridge
