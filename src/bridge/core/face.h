#pragma once

#include "settings.h"

#include <QObject>
#include <QString>

namespace kr7::bridge {

class BridgeState;
class ChangeFeed;
class Commands;
class Events;
class ScheduleDesk;
class LampDesk;

// What every face is given: the one state (to read), the feed of its changes (to follow), the desk where
// commands are submitted (with their origin), and the events of what happened. A face never reaches another
// face.
struct FaceServices {
    BridgeState &state;
    ChangeFeed &feed;
    Commands &commands;
    Events &events;
    ScheduleDesk &schedules;
    LampDesk &lamps;
};

// How a face took the next settings at a reload.
struct FaceReload {
    enum class Kind {
        Kept,      // nothing it uses changed: its connections, sessions and remembered logins go on
        Restarted, // it serves the new settings now
        Failed,    // it could not (reason): it goes on with the settings before
    };
    Kind kind = Kind::Kept;
    QString reason;

    static FaceReload kept() { return {Kind::Kept, {}}; }
    static FaceReload restarted() { return {Kind::Restarted, {}}; }
    static FaceReload failed(QString why) { return {Kind::Failed, std::move(why)}; }
};

// A face of the bridge: HTTP (metrics, /state, the console), MQTT, PJLink, the history, the schedules. The
// service holds a list of them and runs start, reload and stop over the list; a face compares the settings it
// uses by what they say, never by where they are written.
class Face : public QObject {
    Q_OBJECT
  public:
    using QObject::QObject;

    // Its name in the journal and in the reload's line: "http", "mqtt", ...
    virtual QString name() const = 0;
    // Starts with the settings it was made with. False with the reason when the bridge cannot run so (an
    // address taken, a file that cannot be read).
    virtual bool start(QString *error) = 0;
    // Takes the next settings, which --check-config accepts.
    virtual FaceReload reconfigure(const Settings &next) = 0;
    // Says goodbye where it has to (MQTT's "offline") and closes what it opened; no callback comes after.
    virtual void stop() = 0;
};

} // namespace kr7::bridge
