#pragma once

#include "exchange.h"

#include <QByteArrayView>
#include <QDate>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <optional>
#include <variant>

namespace kr7::bridge {

// One command for one projector, as building automation sends it on NAME/set: a JSON object with one key.
struct SetRequest {
    enum class Kind { Power, Input, Command, Refresh, Line, Pause };
    Kind kind = Kind::Refresh;
    QString code; // Power, Input, Command: the catalogue's code; Line: the typed text as the line carries it
    int windowMs = 500;     // the reply window the panel gives the line
    int seconds = 0;        // Pause: 1-7200, or 0 to end a pause
    bool pollAfter = false; // power and input: the projector is polled right after, so its state follows
    QString followQuery;    // or only this query (its name), once the projector answered (PJLink's settings)
    QJsonObject request;    // as received, for the result
};

inline constexpr qsizetype kMaxSetPayload = 1024;
inline constexpr int kMaxPauseSeconds = 7200;

// The request, or why it is refused. Only codes of the panel's catalogue; a free line only when allowRaw.
std::variant<SetRequest, QString> parseSetRequest(QByteArrayView payload, bool allowRaw);

// An operator's request body: one JSON object of at most kMaxSetPayload bytes; else why not (its size, or
// `shape`, which says what is wanted).
std::variant<QJsonObject, QString> requestObject(QByteArrayView payload, const QString &shape);

// A date written YYYY-MM-DD that is one; nothing for anything else.
std::optional<QDate> isoDate(const QString &text);

// What a desk answers an operator's request: 200 with what was asked after it, 400 for the request, 404 for
// what it names; the body is {"error": ...} when refused.
struct DeskAnswer {
    int status = 200;
    QJsonObject body;
};

// The request as it came, for the result: the object when it parses, else its text; null when too long.
QJsonValue requestAsReceived(QByteArrayView payload);

// A one-shot of the catalogue by its code, with its reply window; nothing for a code that is none.
std::optional<SetRequest> catalogueRequest(const QString &code);

// How a request ended: accepted (refresh, pause), an exchange on the wire, or refused with the reason.
struct CommandOutcome {
    bool accepted = false;
    std::optional<ExchangeResult> exchange;
    QString error;
};

// The result message: {"request": ..., "line": ..., "replied": ..., "reply": ..., "elapsed_ms": ...},
// {"request": ..., "accepted": true} or {"request": ..., "error": "why"}. The line's and the reply's bytes
// are characters of the same codes.
QJsonObject resultObject(const QJsonValue &request, const CommandOutcome &outcome);

// A group's result: {"request": ..., "results": {"NAME": <resultObject without its request>, ...}}.
QJsonObject groupResultObject(const QJsonValue &request,
                              const QList<std::pair<QString, CommandOutcome>> &results);

} // namespace kr7::bridge
