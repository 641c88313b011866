// Arbitrary bytes as an MQTT command payload: a request that passes names only what the catalogue offers,
// a line that passes carries no control character, and its result message is JSON. The same bytes as a
// schedule entry's override: one that passes is one of the three, with a real date. And as an operator's
// record of a lamp: one that passes has a real date and bounded, printable texts.
#include "catalogue.h"
#include "lampdesk.h"
#include "scheduledesk.h"
#include "setrequest.h"

#include <QJsonDocument>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

using namespace kr7;
using namespace kr7::bridge;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    const bool allowRaw = data[0] & 1;
    const QByteArrayView payload(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    const auto steering = parseSteering(payload);
    if (const Steering *st = std::get_if<Steering>(&steering)) {
        if (st->request.size() != 1 || (st->kind == Steering::Kind::HoldUntil) != st->until.isValid())
            std::abort();
    } else if (std::get<QString>(steering).isEmpty()) {
        std::abort();
    }
    const auto note = parseLampNote(payload);
    if (const LampNote *n = std::get_if<LampNote>(&note)) {
        if (!n->replaced.isValid() || n->serial.size() > 64 || n->note.size() > 500 ||
            std::any_of(n->serial.begin(), n->serial.end(), [](QChar c) { return !c.isPrint(); }))
            std::abort();
    } else if (std::get<QString>(note).isEmpty()) {
        std::abort();
    }
    const auto parsed = parseSetRequest(payload, allowRaw);
    if (const QString *error = std::get_if<QString>(&parsed)) {
        if (error->isEmpty())
            std::abort();
        return 0;
    }
    const SetRequest &r = std::get<SetRequest>(parsed);
    if (payload.size() > kMaxSetPayload || r.request.size() != 1 || r.windowMs <= 0)
        std::abort();
    switch (r.kind) {
    case SetRequest::Kind::Power:
    case SetRequest::Kind::Input:
    case SetRequest::Kind::Command: {
        bool known = false;
        for (const OneShot &b : kOneShots)
            known |= r.code == QLatin1StringView(b.code.data(), qsizetype(b.code.size()));
        if (!known)
            std::abort();
        break;
    }
    case SetRequest::Kind::Line:
        if (!allowRaw)
            std::abort();
        for (const QChar c : r.code)
            if (c.unicode() < 0x20 || c.unicode() == 0x7F || c.unicode() > 0xFF)
                std::abort();
        break;
    case SetRequest::Kind::Pause:
        if (r.seconds < 0 || r.seconds > kMaxPauseSeconds)
            std::abort();
        break;
    case SetRequest::Kind::Refresh:
        break;
    }
    CommandOutcome outcome;
    outcome.exchange = ExchangeResult{};
    outcome.exchange->line = r.code.toLatin1();
    QJsonParseError error;
    QJsonDocument::fromJson(QJsonDocument(resultObject(r.request, outcome)).toJson(), &error);
    if (error.error != QJsonParseError::NoError)
        std::abort();
    return 0;
}
