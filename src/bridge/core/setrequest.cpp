#include "setrequest.h"

#include "catalogue.h"
#include "commandset.h"

#include <QJsonDocument>
#include <QRegularExpression>
#include <QStringList>

#include <cmath>

namespace kr7::bridge {

namespace {

const QStringList kKeys{QStringLiteral("power"),   QStringLiteral("input"), QStringLiteral("command"),
                        QStringLiteral("refresh"), QStringLiteral("line"),  QStringLiteral("pause")};

// The catalogue's code and reply window of a button, by its name.
void fromButton(SetRequest &r, std::string_view button) {
    const OneShot *row = findOneShot(button);
    r.code = fromView(row->code);
    r.windowMs = row->shape == Shape::LongWait ? row->wait.replyMs : kNormalWait.replyMs;
}

} // namespace

std::variant<SetRequest, QString> parseSetRequest(QByteArrayView payload, bool allowRaw) {
    if (payload.size() > kMaxSetPayload)
        return QStringLiteral("payload of %1 bytes: at most %2").arg(payload.size()).arg(kMaxSetPayload);
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(payload.toByteArray(), &error);
    if (error.error != QJsonParseError::NoError)
        return QStringLiteral("not JSON: %1 at byte %2").arg(error.errorString()).arg(error.offset);
    if (!document.isObject())
        return QStringLiteral("not a JSON object: one key, such as {\"power\": \"ON\"}");
    SetRequest r;
    r.request = document.object();
    if (r.request.size() != 1)
        return r.request.isEmpty() ? QStringLiteral("no key: one of %1").arg(kKeys.join(QStringLiteral(", ")))
                                   : QStringLiteral("one key at a time, not %1")
                                         .arg(r.request.keys().join(QStringLiteral(", ")));
    const QString key = r.request.begin().key();
    const QJsonValue value = r.request.begin().value();
    if (key == QLatin1String("power")) {
        if (value != QLatin1String("ON") && value != QLatin1String("OFF"))
            return QStringLiteral("power: \"ON\" or \"OFF\"");
        r.kind = SetRequest::Kind::Power;
        fromButton(r, value == QLatin1String("ON") ? "Command17" : "Command18");
        r.pollAfter = true;
    } else if (key == QLatin1String("input")) {
        int input = 0;
        if (value.isDouble() && value.toDouble() == double(value.toInt()))
            input = value.toInt();
        else if (value.isString() && value.toString().size() == 1)
            input = value.toString().toInt();
        if (input < 1 || input > 4)
            return QStringLiteral("input: 1, 2, 3 or 4");
        constexpr std::string_view buttons[] = {"Command27", "Command28", "Command29", "Command53"};
        r.kind = SetRequest::Kind::Input;
        fromButton(r, buttons[input - 1]);
        r.pollAfter = true;
    } else if (key == QLatin1String("command")) {
        const QString code = value.toString();
        const OneShot *row = nullptr;
        for (const OneShot &b : kOneShots)
            if (value.isString() && fromView(b.code) == code)
                row = &b;
        if (!row)
            return QStringLiteral(
                       "command '%1' is not a code of the catalogue (C00, CF LAMPMODE HALF, CR0, ...)")
                .arg(value.isString() ? code : QStringLiteral("(not a string)"));
        r.kind = SetRequest::Kind::Command;
        fromButton(r, row->name);
    } else if (key == QLatin1String("refresh")) {
        if (value != QJsonValue(true))
            return QStringLiteral("refresh: true");
        r.kind = SetRequest::Kind::Refresh;
    } else if (key == QLatin1String("line")) {
        if (!allowRaw)
            return QStringLiteral("free command lines are refused here (allow_raw is false)");
        if (!value.isString())
            return QStringLiteral("line: the text of a command line");
        const QString text = value.toString();
        for (const QChar c : text)
            if (c.unicode() < 0x20 || c.unicode() == 0x7F)
                return QStringLiteral(
                    "line: control characters are not sent (one line, its carriage return added)");
        r.kind = SetRequest::Kind::Line;
        r.code = CommandSet::toLineCharacters(text);
        r.windowMs = kSendWait.replyMs;
    } else if (key == QLatin1String("pause")) {
        const double seconds = value.toDouble(-1);
        if (!value.isDouble() || !(seconds >= 0 && seconds <= kMaxPauseSeconds) ||
            seconds != std::floor(seconds))
            return QStringLiteral("pause: 1-%1 seconds, or 0 to end a pause").arg(kMaxPauseSeconds);
        r.kind = SetRequest::Kind::Pause;
        r.seconds = int(seconds);
    } else {
        return QStringLiteral("unknown key '%1' (known: %2)").arg(key, kKeys.join(QStringLiteral(", ")));
    }
    return r;
}

std::optional<SetRequest> catalogueRequest(const QString &code) {
    for (const OneShot &b : kOneShots)
        if (fromView(b.code) == code) {
            SetRequest r;
            r.kind = SetRequest::Kind::Command;
            fromButton(r, b.name);
            return r;
        }
    return std::nullopt;
}

std::variant<QJsonObject, QString> requestObject(QByteArrayView payload, const QString &shape) {
    if (payload.size() > kMaxSetPayload)
        return QStringLiteral("payload of %1 bytes: at most %2").arg(payload.size()).arg(kMaxSetPayload);
    QJsonParseError error;
    const QJsonDocument d = QJsonDocument::fromJson(payload.toByteArray(), &error);
    if (error.error != QJsonParseError::NoError || !d.isObject())
        return shape;
    return d.object();
}

std::optional<QDate> isoDate(const QString &text) {
    static const QRegularExpression shape(QStringLiteral("^\\d{4}-\\d{2}-\\d{2}$"));
    const QDate d = QDate::fromString(text, Qt::ISODate);
    if (!shape.match(text).hasMatch() || !d.isValid())
        return std::nullopt;
    return d;
}

QJsonValue requestAsReceived(QByteArrayView payload) {
    if (payload.size() > kMaxSetPayload)
        return QJsonValue(QJsonValue::Null);
    const QJsonDocument d = QJsonDocument::fromJson(payload.toByteArray());
    return d.isObject() ? QJsonValue(d.object()) : QJsonValue(QString::fromUtf8(payload));
}

QJsonObject resultObject(const QJsonValue &request, const CommandOutcome &outcome) {
    QJsonObject o{{QStringLiteral("request"), request}};
    if (outcome.exchange) {
        const ExchangeResult &e = *outcome.exchange;
        o[QStringLiteral("line")] = QString::fromLatin1(e.line);
        o[QStringLiteral("replied")] = e.replied;
        o[QStringLiteral("reply")] = QString::fromLatin1(e.reply);
        o[QStringLiteral("elapsed_ms")] = std::round(e.elapsedMs * 10) / 10;
    } else if (outcome.accepted) {
        o[QStringLiteral("accepted")] = true;
    } else {
        o[QStringLiteral("error")] = outcome.error;
    }
    return o;
}

QJsonObject groupResultObject(const QJsonValue &request,
                              const QList<std::pair<QString, CommandOutcome>> &results) {
    QJsonObject each;
    for (const auto &[name, outcome] : results) {
        QJsonObject o = resultObject(request, outcome);
        o.remove(QStringLiteral("request"));
        each[name] = o;
    }
    return {{QStringLiteral("request"), request}, {QStringLiteral("results"), each}};
}

} // namespace kr7::bridge
