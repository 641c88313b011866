#include "telnetclient.h"

namespace kr7 {

namespace {
constexpr qsizetype kMaxSubnegotiation = 64; // the longest COM-PORT-OPTION command is 6 bytes
constexpr uint8_t kNoParity = 1, kOneStopBit = 1, kNoFlowControl = 1, kEightBits = 8;
constexpr qsizetype kMaxUnanswered = 8;

QString parityName(uint8_t v) {
    static const char *const names[] = {"?", "none", "odd", "even", "mark", "space"};
    return QString::fromLatin1(v < 6 ? names[v] : "?");
}
} // namespace

void TelnetClient::put(QByteArray &to, uint8_t verb, uint8_t option) {
    to.append(char(kIac)).append(char(verb)).append(char(option));
}

bool TelnetClient::weMay(uint8_t option) {
    return option == kBinary || option == kSuppressGoAhead || option == kComPort;
}

bool TelnetClient::serverMay(uint8_t option) {
    return option == kBinary || option == kSuppressGoAhead;
}

QByteArray TelnetClient::greeting() {
    QByteArray out;
    m_us[kComPort] = Q::WantYes;
    put(out, kWill, kComPort);
    m_us[kBinary] = Q::WantYes;
    put(out, kWill, kBinary);
    m_server[kBinary] = Q::WantYes;
    put(out, kDo, kBinary);
    return out;
}

TelnetClient::Read TelnetClient::receive(QByteArrayView bytes) {
    Read out;
    for (const char ch : bytes) {
        const auto b = uint8_t(ch);
        switch (m_state) {
        case State::Data:
            if (b == kIac) {
                m_state = State::Iac;
            } else {
                // Outside binary mode the server sends a carriage return as CR NUL.
                if (!(b == 0 && m_lastWasCr && m_server[kBinary] != Q::Yes))
                    out.data.append(ch);
                m_lastWasCr = b == '\r';
            }
            break;
        case State::Iac:
            if (b == kIac) {
                out.data.append(ch);
                m_lastWasCr = false;
                m_state = State::Data;
            } else if (b >= kWill && b <= kDont) {
                m_verb = b;
                m_state = State::Verb;
            } else if (b == kSb) {
                m_sub.clear();
                m_subTooLong = false;
                m_state = State::Sub;
            } else {
                m_state = State::Data; // NOP, data mark, go ahead, are-you-there...: nothing for the line
            }
            break;
        case State::Verb:
            onVerb(m_verb, b, out);
            m_state = State::Data;
            break;
        case State::Sub:
            if (b == kIac) {
                m_state = State::SubIac;
            } else if (m_sub.size() < kMaxSubnegotiation) {
                m_sub.append(ch);
            } else {
                m_subTooLong = true;
            }
            break;
        case State::SubIac:
            if (b == kIac) { // a doubled 0xFF inside a value
                if (m_sub.size() < kMaxSubnegotiation)
                    m_sub.append(ch);
                else
                    m_subTooLong = true;
                m_state = State::Sub;
            } else if (b == kSe) {
                if (!m_subTooLong)
                    onSubnegotiation(out);
                m_state = State::Data;
            } else if (b >= kWill && b <= kDont) {
                // An unterminated subnegotiation: drop it and read the command that cut it short.
                m_verb = b;
                m_state = State::Verb;
            } else {
                m_state = b == kSb ? State::Sub : State::Data;
                m_sub.clear();
                m_subTooLong = false;
            }
            break;
        }
    }
    return out;
}

void TelnetClient::onVerb(uint8_t verb, uint8_t option, Read &out) {
    const bool aboutUs = verb == kDo || verb == kDont;
    Q &q = aboutUs ? m_us[option] : m_server[option];
    const bool enable = verb == kDo || verb == kWill;
    const bool accept = aboutUs ? weMay(option) : serverMay(option);
    const uint8_t yes = aboutUs ? kWill : kDo;
    const uint8_t no = aboutUs ? kWont : kDont;
    const Q before = q;
    if (enable) {
        switch (q) {
        case Q::No:
            q = accept ? Q::Yes : Q::No;
            put(out.reply, accept ? yes : no, option);
            break;
        case Q::WantYes:
            q = Q::Yes; // the answer to our request
            break;
        case Q::WantNo: // answered our refusal with an agreement: treat the option as off
            q = Q::No;
            break;
        case Q::Yes:
            break; // already on: no answer, or two ends would answer each other for ever
        }
    } else {
        switch (q) {
        case Q::Yes:
            q = Q::No;
            put(out.reply, no, option);
            break;
        case Q::WantYes:
        case Q::WantNo:
            q = Q::No;
            break;
        case Q::No:
            break;
        }
    }
    if (aboutUs && option == kComPort && q != before) {
        if (q == Q::Yes)
            setComPort(true, out);
        else if (q == Q::No)
            setComPort(false, out);
    }
}

void TelnetClient::setComPort(bool agreed, Read &out) {
    if (agreed) {
        m_comPort = ComPort::Agreed;
        out.agreedNow = true;
        out.reply += settingsCommands();
        return;
    }
    if (m_comPort != ComPort::Refused)
        out.refusedNow = true;
    m_comPort = ComPort::Refused;
}

bool TelnetClient::giveUp() {
    if (m_comPort != ComPort::NotYet)
        return false;
    m_comPort = ComPort::Refused;
    return true;
}

QByteArray TelnetClient::settingsCommands() {
    QByteArray out;
    const auto command = [&out](uint8_t code, QByteArrayView value) {
        out.append(char(kIac)).append(char(kSb)).append(char(kComPort)).append(char(code));
        for (const char c : value) {
            out.append(c);
            if (uint8_t(c) == kIac)
                out.append(c);
        }
        out.append(char(kIac)).append(char(kSe));
    };
    const char baud[4] = {char(m_baud >> 24), char(m_baud >> 16), char(m_baud >> 8), char(m_baud)};
    command(kSetBaudRate, QByteArrayView(baud, 4));
    command(kSetDataSize, QByteArrayView("\x08", 1));
    command(kSetParity, QByteArrayView("\x01", 1));
    command(kSetStopSize, QByteArrayView("\x01", 1));
    command(kSetControl, QByteArrayView("\x01", 1));
    const quint32 asked[6] = {0, m_baud, kEightBits, kNoParity, kOneStopBit, kNoFlowControl};
    for (int c = kSetBaudRate; c <= kSetControl; ++c) {
        if (m_asked[c].size() >= kMaxUnanswered) // a server that never answers: keep the newest only
            m_asked[c].removeFirst();
        m_asked[c].append(asked[c]);
    }
    return out;
}

QByteArray TelnetClient::setBaud(quint32 baud) {
    m_baud = baud;
    return m_comPort == ComPort::Agreed ? settingsCommands() : QByteArray();
}

void TelnetClient::onSubnegotiation(Read &out) {
    if (m_sub.size() < 3 || uint8_t(m_sub[0]) != kComPort)
        return;
    const uint8_t code = uint8_t(m_sub[1]);
    if (code <= kServerOffset || code > kServerOffset + kSetControl)
        return; // line and modem state notices, purge answers, flow notices: nothing the panel uses
    const uint8_t command = code - kServerOffset;
    if (m_asked[command].isEmpty())
        return;
    const quint32 asked = m_asked[command].takeFirst();
    const QByteArrayView value = QByteArrayView(m_sub).sliced(2);
    const uint8_t v = uint8_t(value[0]);
    switch (command) {
    case kSetBaudRate: {
        if (value.size() < 4)
            return;
        const quint32 got = quint32(uint8_t(value[0])) << 24 | quint32(uint8_t(value[1])) << 16 |
                            quint32(uint8_t(value[2])) << 8 | quint32(uint8_t(value[3]));
        if (got != asked)
            out.notices
                << QStringLiteral("the gateway runs the line at %1 bit/s, not %2").arg(got).arg(asked);
        break;
    }
    case kSetDataSize:
        if (v != asked)
            out.notices << QStringLiteral("the gateway set %1 data bits, not 8").arg(v);
        break;
    case kSetParity:
        if (v != asked)
            out.notices << QStringLiteral("the gateway set parity %1, not none").arg(parityName(v));
        break;
    case kSetStopSize:
        if (v != asked)
            out.notices << QStringLiteral("the gateway set stop bits code %1, not 1").arg(v);
        break;
    case kSetControl:
        if (v != asked)
            out.notices << QStringLiteral("the gateway set flow control code %1, not none").arg(v);
        break;
    default:
        break;
    }
}

QByteArray TelnetClient::encode(QByteArrayView data) const {
    const bool binary = m_us[kBinary] == Q::Yes;
    QByteArray out;
    out.reserve(data.size() + 8);
    for (const char c : data) {
        out.append(c);
        if (uint8_t(c) == kIac)
            out.append(c);
        else if (c == '\r' && !binary)
            out.append('\0');
    }
    return out;
}

} // namespace kr7
