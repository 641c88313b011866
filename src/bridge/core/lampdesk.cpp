#include "lampdesk.h"

#include "setrequest.h"

#include <QRegularExpression>

namespace kr7::bridge {

namespace {

bool printable(const QString &s, bool lineFeeds) {
    return std::all_of(s.begin(), s.end(),
                       [&](QChar c) { return c.isPrint() || (lineFeeds && c == QLatin1Char('\n')); });
}

} // namespace

std::variant<LampNote, QString> parseLampNote(QByteArrayView payload) {
    auto object = requestObject(
        payload,
        QStringLiteral(
            "a JSON object: {\"replaced\": \"YYYY-MM-DD\", \"serial\": \"...\", \"note\": \"...\"}"));
    if (const QString *why = std::get_if<QString>(&object))
        return *why;
    LampNote n;
    n.request = std::get<QJsonObject>(std::move(object));
    for (auto it = n.request.begin(); it != n.request.end(); ++it)
        if (it.key() != QLatin1String("replaced") && it.key() != QLatin1String("serial") &&
            it.key() != QLatin1String("note"))
            return QStringLiteral("unknown key '%1': replaced, serial and note").arg(it.key());
    const QJsonValue replaced = n.request.value(QLatin1String("replaced"));
    const std::optional<QDate> date = replaced.isString() ? isoDate(replaced.toString()) : std::nullopt;
    if (!date)
        return QStringLiteral("replaced: a date, YYYY-MM-DD");
    n.replaced = *date;
    const QJsonValue serial = n.request.value(QLatin1String("serial")),
                     note = n.request.value(QLatin1String("note"));
    if (!serial.isUndefined() &&
        (!serial.isString() || serial.toString().size() > 64 || !printable(serial.toString(), false)))
        return QStringLiteral("serial: at most 64 printable characters");
    if (!note.isUndefined() &&
        (!note.isString() || note.toString().size() > 500 || !printable(note.toString(), true)))
        return QStringLiteral("note: at most 500 characters, no control characters");
    n.serial = serial.toString();
    n.note = note.toString();
    return n;
}

LampDesk::Answer LampDesk::record(const QString &projector, const QString &lamp, QByteArrayView payload,
                                  const Origin &origin) const {
    if (!m_record)
        return {404, {{QStringLiteral("error"), QStringLiteral("no lamps here")}}};
    static const QRegularExpression one(QStringLiteral("^[1-4]$"));
    if (!one.match(lamp).hasMatch())
        return {400, {{QStringLiteral("error"), QStringLiteral("lamp '%1': 1, 2, 3 or 4").arg(lamp)}}};
    const auto parsed = parseLampNote(payload);
    if (const QString *why = std::get_if<QString>(&parsed))
        return {400, {{QStringLiteral("error"), *why}}};
    return m_record(projector, lamp.toInt(), std::get<LampNote>(parsed), origin);
}

} // namespace kr7::bridge
