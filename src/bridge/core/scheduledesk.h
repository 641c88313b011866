#pragma once

#include "commands.h"

#include <QDate>
#include <QJsonArray>
#include <QJsonObject>
#include <QObject>

#include <functional>
#include <variant>

namespace kr7::bridge {

// What an operator asks of a schedule entry: skip its next run, hold it until a date (its runs before that
// date do not run), or resume it.
struct Steering {
    enum class Kind { SkipNext, HoldUntil, Resume };
    Kind kind = Kind::Resume;
    QDate until;
    QJsonObject request; // as received
};

// {"skip_next": true}, {"hold_until": "2027-01-07"} or {"resume": true}; why not, for anything else.
std::variant<Steering, QString> parseSteering(QByteArrayView payload);

// Where the faces that take operators' requests (the console, MQTT) reach the schedules without reaching
// their face: the schedule face serves it.
class ScheduleDesk : public QObject {
    Q_OBJECT
  public:
    // 200 with the entry as it is now, 400 (the request), 404 (no such entry).
    using Answer = DeskAnswer;
    using Steer = std::function<Answer(const QString &name, const Steering &steering, const Origin &origin)>;
    using List = std::function<QJsonArray()>;

    using QObject::QObject;
    void serve(Steer steer, List list) {
        m_steer = std::move(steer);
        m_list = std::move(list);
    }
    Answer steer(const QString &name, QByteArrayView payload, const Origin &origin) const;
    // Every entry with its next run, its last run and its result per projector, and its override.
    QJsonArray list() const { return m_list ? m_list() : QJsonArray(); }

  private:
    Steer m_steer;
    List m_list;
};

} // namespace kr7::bridge
