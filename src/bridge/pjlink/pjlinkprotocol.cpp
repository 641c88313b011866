#include "pjlinkprotocol.h"

#include "power.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <algorithm>

#include <array>

namespace kr7::bridge {

namespace {

bool isHex(QByteArrayView s) {
    for (const char c : s)
        if (!std::isxdigit(uchar(c)))
            return false;
    return true;
}

// "%1POWR ?" and the like: a class digit, four letters, one blank, the parameter.
std::optional<PjlinkRequest> parseRequest(QByteArrayView text) {
    if (text.size() < 7 || text[0] != '%' || (text[1] != '1' && text[1] != '2') || text[6] != ' ')
        return std::nullopt;
    PjlinkRequest r;
    r.cls = text[1];
    for (const char c : text.sliced(2, 4)) {
        if (!std::isalnum(uchar(c)))
            return std::nullopt;
        r.body += char(std::toupper(uchar(c)));
    }
    r.parameter = text.sliced(7).toByteArray();
    return r;
}

constexpr QByteArrayView kErr1 = "ERR1", kErr2 = "ERR2", kErr3 = "ERR3", kErr4 = "ERR4";

QString powerCode(const PjlinkProjector &p) {
    return p.readings ? p.readings->value("power_code").toString() : QString();
}

// What each body answers. query: the value now (nothing: the value is not read yet, ERR3); set: what a
// parameter other than "?" comes to. fromProjector: the value is the projector's (ERR4 while it is down).
struct Row {
    const char *body;
    char cls; // the class that defines it
    bool fromProjector;
    std::optional<QByteArray> (*query)(const PjlinkProjector &, QByteArrayView parameter);
    PjlinkAnswer (*set)(const PjlinkProjector &, QByteArrayView parameter);
};

std::optional<QByteArray> queryPower(const PjlinkProjector &p, QByteArrayView) {
    const std::optional<char> v = pjlinkPower(powerCode(p));
    if (!v)
        return std::nullopt;
    return QByteArray(1, *v);
}

std::optional<QByteArray> queryInput(const PjlinkProjector &p, QByteArrayView) {
    const int input = p.readings ? p.readings->value("input").toInt() : 0;
    if (input < 1 || input > p.inputs.size())
        return std::nullopt;
    return p.inputs[input - 1].toLatin1();
}

std::optional<QByteArray> queryMute(const PjlinkProjector &p, QByteArrayView) {
    const QJsonValue code = p.readings ? p.readings->value("signal_code") : QJsonValue();
    if (!code.isString())
        return std::nullopt;
    const QString c = code.toString();
    return QByteArray(c == QLatin1String("01")   ? "11"
                      : c == QLatin1String("02") ? "21"
                      : c == QLatin1String("03") ? "31"
                                                 : "30");
}

std::optional<QByteArray> queryErrors(const PjlinkProjector &p, QByteArrayView) {
    if (powerCode(p).isEmpty())
        return std::nullopt;
    const Alarms a = alarmsOf(*p.readings);
    QByteArray v = "000000";
    // A lamp near its end or over its life is a warning: the standard's "lamp replacement due".
    const bool worn =
        std::any_of(a.lamps.begin(), a.lamps.end(), [](LampWear w) { return w != LampWear::Fine; });
    v[1] = a.lampFailure ? '2' : (a.lampOff || worn) ? '1' : '0';
    v[2] = a.temperature ? '1' : '0';
    v[5] = a.powerFail ? '2' : '0';
    return v;
}

std::optional<QByteArray> queryLamps(const PjlinkProjector &p, QByteArrayView) {
    if (!p.readings)
        return std::nullopt;
    const QJsonArray hours = p.readings->value("lamp_hours").toArray();
    const QJsonArray on = p.readings->value("lamps").toArray();
    if (hours.size() != 4 || on.size() != 4)
        return std::nullopt;
    QByteArrayList parts;
    for (int i = 0; i < 4; ++i) {
        if (!hours[i].isDouble())
            return std::nullopt;
        parts << QByteArray::number(qint64(hours[i].toDouble())) << (on[i].toBool() ? "1" : "0");
    }
    return parts.join(' ');
}

std::optional<QByteArray> queryInputs(const PjlinkProjector &p, QByteArrayView) {
    return p.inputs.join(QLatin1Char(' ')).toLatin1();
}

std::optional<QByteArray> queryName(const PjlinkProjector &p, QByteArrayView) {
    return p.name.toUtf8();
}

std::optional<QByteArray> queryInfo(const PjlinkProjector &p, QByteArrayView) {
    return p.info.left(32);
}

std::optional<QByteArray> queryFreeze(const PjlinkProjector &p, QByteArrayView) {
    return QByteArray(p.frozen ? "1" : "0");
}

std::optional<QByteArray> queryInputName(const PjlinkProjector &p, QByteArrayView parameter) {
    const qsizetype i = p.inputs.indexOf(QString::fromLatin1(parameter.sliced(1)));
    return i < 0 ? kErr2.toByteArray() : QStringLiteral("Input %1").arg(i + 1).toLatin1();
}

PjlinkAnswer now(QByteArrayView value) {
    PjlinkAnswer a;
    a.value = value.toByteArray();
    return a;
}

PjlinkAnswer sent(const char *code, std::string_view follow = {}, std::optional<bool> freeze = std::nullopt) {
    return PjlinkAnswer{"OK", QString::fromLatin1(code), follow, freeze};
}

PjlinkAnswer setPower(const PjlinkProjector &p, QByteArrayView v) {
    if (v == "1")
        return pjlinkPower(powerCode(p)) == '2' ? now(kErr3) : sent("C00", "power");
    if (v == "0")
        return sent("C01", "power");
    return now(kErr2);
}

PjlinkAnswer setInput(const PjlinkProjector &p, QByteArrayView v) {
    static constexpr const char *kCodes[] = {"C05", "C06", "C07", "C08"};
    const qsizetype i = p.inputs.indexOf(QString::fromLatin1(v));
    if (i < 0 || i > 3)
        return now(kErr2);
    return sent(kCodes[i], "input");
}

PjlinkAnswer setMute(const PjlinkProjector &, QByteArrayView v) {
    if (v == "11" || v == "31")
        return sent("C0D", "signal");
    if (v == "10" || v == "30")
        return sent("C0E", "signal");
    return now(kErr2);
}

PjlinkAnswer setFreeze(const PjlinkProjector &, QByteArrayView v) {
    if (v == "1")
        return sent("C43", {}, true);
    if (v == "0")
        return sent("C44", {}, false);
    return now(kErr2);
}

std::optional<QByteArray> constant(const char *text) {
    return QByteArray(text);
}

const std::array kRows{
    Row{"POWR", '1', true, queryPower, setPower},
    Row{"INPT", '1', true, queryInput, setInput},
    Row{"AVMT", '1', true, queryMute, setMute},
    Row{"ERST", '1', true, queryErrors, nullptr},
    Row{"LAMP", '1', true, queryLamps, nullptr},
    Row{"INST", '1', false, queryInputs, nullptr},
    Row{"NAME", '1', false, queryName, nullptr},
    Row{"INF1", '1', false, [](const PjlinkProjector &, QByteArrayView) { return constant("VANO"); },
        nullptr},
    Row{"INF2", '1', false, [](const PjlinkProjector &, QByteArrayView) { return constant("KR7"); }, nullptr},
    Row{"INFO", '1', false, queryInfo, nullptr},
    Row{"CLSS", '1', false, [](const PjlinkProjector &, QByteArrayView) { return constant("2"); }, nullptr},
    Row{"SVER", '2', false,
        [](const PjlinkProjector &p, QByteArrayView) {
            return std::optional<QByteArray>(
                QStringLiteral("kr7-bridge %1").arg(p.version).toLatin1().left(32));
        },
        nullptr},
    Row{"SNUM", '2', false, [](const PjlinkProjector &, QByteArrayView) { return constant(""); }, nullptr},
    Row{"INNM", '2', false, queryInputName, nullptr},
    Row{"FREZ", '2', true, queryFreeze, setFreeze},
};

// Class 2 bodies of what a KR7 does not report: defined, but not here.
constexpr std::array kNotReported{"IRES", "RRES", "FILT", "RLMP", "RFIL", "SVOL", "MVOL"};

} // namespace

std::optional<char> pjlinkPower(QStringView code) {
    const PowerCode *row = powerCode(code);
    if (!row)
        return std::nullopt;
    switch (row->state) {
    case PowerState::On:
        return '1';
    case PowerState::WarmingUp:
        return '3';
    case PowerState::Cooling:
        return '2';
    case PowerState::Standby:
    case PowerState::Failed: // PJLink has no word for it: off, and ERST says the power failed
        return '0';
    }
    return std::nullopt;
}

PjlinkAnswer pjlinkAnswer(const PjlinkRequest &request, const PjlinkProjector &p) {
    if (request.cls == '2')
        for (const char *body : kNotReported)
            if (request.body == body)
                return now(kErr1);
    const Row *row = nullptr;
    for (const Row &r : kRows)
        if (request.body == r.body && request.cls >= r.cls)
            row = &r;
    if (!row)
        return now(kErr1);
    const bool asks = row->body == QByteArrayView("INNM")
                          ? request.parameter.startsWith('?') && request.parameter.size() > 1
                          : request.parameter == "?";
    if (!asks && !row->set)
        return now(kErr2);
    if (row->fromProjector && !p.available)
        return now(kErr4);
    if (!asks)
        return row->set(p, request.parameter);
    const std::optional<QByteArray> v = row->query(p, request.parameter);
    return now(v ? QByteArrayView(*v) : kErr3);
}

QByteArray pjlinkReply(const PjlinkRequest &request, QByteArrayView value) {
    return '%' + QByteArray(1, request.cls) + request.body + '=' + value.toByteArray() + '\r';
}

QByteArray pjlinkDigest(QByteArrayView random, QByteArrayView password) {
    return QCryptographicHash::hash(random.toByteArray() + password.toByteArray(), QCryptographicHash::Md5)
        .toHex();
}

PjlinkSession::PjlinkSession(QByteArray password, QByteArray random)
    : m_password(std::move(password)), m_random(std::move(random)), m_authenticated(m_password.isEmpty()) {}

QByteArray PjlinkSession::greeting() const {
    return m_password.isEmpty() ? QByteArray("PJLINK 0\r") : "PJLINK 1 " + m_random + '\r';
}

std::optional<PjlinkSession::Event> PjlinkSession::line(QByteArrayView text) {
    if (!m_password.isEmpty() && text.size() >= 32 && isHex(text.first(32))) {
        // A digest, on the first request or again on a later one: it must be right every time.
        if (text.first(32).toByteArray().toLower() != pjlinkDigest(m_random, m_password))
            return Event{Event::Kind::AuthFailed, {}};
        m_authenticated = true;
        text = text.sliced(32);
    }
    if (!m_authenticated)
        return Event{Event::Kind::AuthFailed, {}};
    const std::optional<PjlinkRequest> r = parseRequest(text);
    if (!r)
        return std::nullopt; // not a request: no reply
    return Event{Event::Kind::Request, *r};
}

QList<PjlinkSession::Event> PjlinkSession::feed(QByteArrayView bytes) {
    QList<Event> events;
    for (const char c : bytes) {
        if (m_closed)
            break;
        if (c == '\r') {
            const QByteArray text = std::exchange(m_pending, {});
            if (text.isEmpty())
                continue;
            if (std::optional<Event> e = line(text)) {
                m_closed = e->kind != Event::Kind::Request;
                events << *e;
            }
            continue;
        }
        if ((c == '\n' || c == '\0') && m_pending.isEmpty())
            continue; // after a CR, from a client that ends its lines its own way
        m_pending += c;
        if (m_pending.size() > kMaxLine) {
            m_closed = true;
            events << Event{Event::Kind::Overlong, {}};
        }
    }
    return events;
}

} // namespace kr7::bridge
