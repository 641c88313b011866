#pragma once

#include "commands.h"

#include <QDate>
#include <QJsonArray>
#include <QJsonObject>
#include <QObject>

#include <functional>
#include <variant>

namespace kr7::bridge {

// What an operator records of a lamp: when it was replaced, and the new lamp's serial number and a note.
struct LampNote {
    QDate replaced;
    QString serial;      // at most 64 printable characters; may be empty
    QString note;        // at most 500 characters, no control characters; may be empty
    QJsonObject request; // as received
};

// {"replaced": "2026-12-09", "serial": "...", "note": "..."} (replaced required); why not, for anything else.
std::variant<LampNote, QString> parseLampNote(QByteArrayView payload);

// Where the console reaches the lamps without reaching their face: the lamps face serves it.
class LampDesk : public QObject {
    Q_OBJECT
  public:
    // 200 with the lamp as it is now, 400 (the request, the lamp), 404 (no such projector).
    using Answer = DeskAnswer;
    // lamp: 1-4.
    using Record =
        std::function<Answer(const QString &projector, int lamp, const LampNote &note, const Origin &origin)>;
    using List = std::function<QJsonArray()>;

    using QObject::QObject;
    void serve(Record record, List list) {
        m_record = std::move(record);
        m_list = std::move(list);
    }
    // lamp as written in the path ("1" to "4").
    Answer record(const QString &projector, const QString &lamp, QByteArrayView payload,
                  const Origin &origin) const;
    // Every projector's lamps, the soonest to be spent first.
    QJsonArray list() const { return m_list ? m_list() : QJsonArray(); }

  private:
    Record m_record;
    List m_list;
};

} // namespace kr7::bridge
