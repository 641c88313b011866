#include "scheduledesk.h"

namespace kr7::bridge {

std::variant<Steering, QString> parseSteering(QByteArrayView payload) {
    auto object =
        requestObject(payload, QStringLiteral("a JSON object with one key: skip_next, hold_until or resume"));
    if (const QString *why = std::get_if<QString>(&object))
        return *why;
    Steering s;
    s.request = std::get<QJsonObject>(std::move(object));
    if (s.request.size() != 1)
        return QStringLiteral("one key at a time: skip_next, hold_until or resume");
    const QString key = s.request.begin().key();
    const QJsonValue v = s.request.begin().value();
    if (key == QLatin1String("skip_next") && v == QJsonValue(true)) {
        s.kind = Steering::Kind::SkipNext;
    } else if (key == QLatin1String("resume") && v == QJsonValue(true)) {
        s.kind = Steering::Kind::Resume;
    } else if (key == QLatin1String("hold_until")) {
        const std::optional<QDate> until = v.isString() ? isoDate(v.toString()) : std::nullopt;
        if (!until)
            return QStringLiteral("hold_until: a date, YYYY-MM-DD");
        s.until = *until;
        s.kind = Steering::Kind::HoldUntil;
    } else {
        return QStringLiteral(
            "{\"skip_next\": true}, {\"hold_until\": \"YYYY-MM-DD\"} or {\"resume\": true}");
    }
    return s;
}

ScheduleDesk::Answer ScheduleDesk::steer(const QString &name, QByteArrayView payload,
                                         const Origin &origin) const {
    if (!m_steer)
        return {404, {{QStringLiteral("error"), QStringLiteral("no schedules here")}}};
    const auto parsed = parseSteering(payload);
    if (const QString *why = std::get_if<QString>(&parsed))
        return {400, {{QStringLiteral("error"), *why}}};
    return m_steer(name, std::get<Steering>(parsed), origin);
}

} // namespace kr7::bridge
