#include "projectormodel.h"

#include <cmath>

namespace kr7::sim {

namespace {
const QByteArray kAckReply(1, ProjectorModel::kAck);

QByteArray hex2(int v) {
    return QByteArray::number(v, 16).toUpper().rightJustified(2, '0');
}
} // namespace

int pressureReading(double hpa) {
    return int(std::lround(((hpa - 150.0) * 0.00459 + 0.204) * 1024.0 / 5.0));
}

ProjectorModel::ProjectorModel(QList<int> units, Timing timing) : m_timing(timing) {
    std::sort(units.begin(), units.end());
    for (int n : units) {
        Unit u;
        u.number = n;
        m_units.append(u);
    }
}

const Unit *ProjectorModel::unit(int number) const {
    for (const Unit &u : m_units)
        if (u.number == number)
            return &u;
    return nullptr;
}

bool ProjectorModel::lampsLit(const Unit &u) {
    return u.power == Unit::Power::On || u.power == Unit::Power::CountDown;
}

void ProjectorModel::advance(qint64 now) {
    for (Unit &u : m_units) {
        if (lampsLit(u)) {
            const double lit = double(now - u.hoursCountedTo) / double(m_timing.msPerLampHour);
            for (int i = 0; i < 4; ++i)
                if (!u.halfLamps || i == 0 || i == 3)
                    u.lampHours[i] += lit;
        }
        u.hoursCountedTo = now;
        if (u.power == Unit::Power::CountDown && now >= u.powerChangeAt)
            u.power = Unit::Power::On;
        if (u.power == Unit::Power::Cooling && now >= u.powerChangeAt)
            u.power = Unit::Power::Standby;
    }
}

std::optional<QByteArray> ProjectorModel::handleLine(const QByteArray &line, qint64 now) {
    advance(now);
    if (m_units.isEmpty())
        return std::nullopt;
    QByteArray code = line;
    int target = 0; // 0: the point-to-point projector, -1: all units, n: unit n
    if (code.startsWith('A') && code.size() >= 4) {
        const QByteArray address = code.mid(1, 3);
        code = code.mid(4);
        if (address == "FFF") {
            target = -1;
        } else {
            bool ok = false;
            target = address.toInt(&ok);
            if (!ok || target <= 0 || !unit(target))
                return std::nullopt; // another projector's line, or nobody's
        }
    }
    std::optional<QByteArray> reply;
    for (Unit &u : m_units) {
        const bool addressed = target == -1 || u.number == target || (target == 0 && &u == &m_units.front());
        if (!addressed)
            continue;
        std::optional<QByteArray> r = apply(u, code, now);
        if (&u == &m_units.front() || target > 0)
            reply = r; // on "FFF" only the first unit talks
    }
    return reply;
}

std::optional<QByteArray> ProjectorModel::apply(Unit &u, const QByteArray &code, qint64 now) {
    if (code.startsWith("CR")) {
        QByteArray r = query(u, code);
        if (r.isEmpty())
            return std::nullopt;
        return r + '\r';
    }
    using P = Unit::Power;
    static const QList<QByteArray> plainCodes = {
        "C0F", "C10", "C89", "C27", "C8A", "C1E", "C47", "C46", "C4B", "C4A", "C5D", "C5E", "C5F",
        "C60", "C30", "C31", "C8E", "C8F", "C90", "C91", "C3C", "C3D", "C3B", "C3A", "C3F"};
    if (code == "C00") {
        if (u.power == P::Standby) {
            u.power = P::CountDown;
            u.powerChangeAt = now + m_timing.warmUpMs;
        }
    } else if (code == "C01") {
        if (u.power == P::On || u.power == P::CountDown) {
            u.power = P::Cooling;
            u.powerChangeAt = now + m_timing.coolDownMs;
        }
    } else if (code.size() == 3 && code >= "C05" && code <= "C08") {
        u.input = code[2] - '4';
    } else if (code == "C0D" || code == "C0E") {
        u.noShow = code == "C0D";
    } else if (code == "C43" || code == "C44") {
        u.freeze = code == "C43";
    } else if (code == "C1C" || code == "C1D") {
        u.menu = code == "C1C";
    } else if (plainCodes.contains(code)) {
        if (code == "C10" || code == "C0F")
            u.wide = code == "C10";
        if (code == "C47" || code == "C46")
            u.zoom += code == "C47" ? 1 : -1;
        if (code == "C5D" || code == "C5E")
            u.lensY += code == "C5D" ? 1 : -1;
        if (code == "C5F" || code == "C60")
            u.lensX += code == "C60" ? 1 : -1;
    } else if (code.startsWith("CF IMAGE ")) {
        static const QList<QByteArray> modes = {"STAND",   "REAL",    "CINEMA", "CUSTOM1",
                                                "CUSTOM2", "CUSTOM3", "CUSTOM4"};
        const QByteArray mode = code.mid(9);
        if (!modes.contains(mode))
            return std::nullopt;
        u.picture = mode;
    } else if (code == "CF LAMPMODE FULL" || code == "CF LAMPMODE HALF") {
        u.halfLamps = code.endsWith("HALF");
    } else if (code == "CF FANSPEED MAX" || code == "CF FANSPEED NOR") {
        u.fanMax = code.endsWith("MAX");
    } else if (code.startsWith("CF INPUT") && code.size() > 10 && code[9] == ' ') {
        static const QList<QByteArray> words = {"DIGITAL", "ANALOG",  "VIDEO", "YPBPR",
                                                "YCBCR",   "S-VIDEO", "HDCP",  "HD-SDI1"};
        const int input = code[8] - '0';
        const QByteArray word = code.mid(10);
        if (input < 1 || input > 4 || !words.contains(word))
            return std::nullopt;
        u.signalType[input - 1] = word;
    } else {
        return std::nullopt; // not understood: a real projector stays silent
    }
    return kAckReply;
}

QByteArray ProjectorModel::query(const Unit &u, const QByteArray &code) const {
    using P = Unit::Power;
    const bool on = u.power == P::On;
    if (code == "CR0") {
        switch (u.power) {
        case P::On:
            return "00";
        case P::Standby:
            return "80";
        case P::CountDown:
            return "40";
        case P::Cooling:
            return "20";
        }
    }
    if (code == "CR1")
        return QByteArray::number(u.input);
    if (code == "CR3") {
        QByteArray r;
        for (int i = 0; i < 4; ++i) {
            if (i)
                r += ' ';
            r += QByteArray::number(int(u.lampHours[i])).rightJustified(4, '0').right(4);
        }
        return r;
    }
    if (code == "CR4")
        return "11";
    if (code == "CR6") {
        // Intake (S1, five characters) and exhaust (S2, four); the two characters between are not shown.
        const double intake = on ? (u.fanMax ? 33.5 : 36.0) : 24.5;
        const double exhaust = on ? (u.fanMax ? 42.0 : 47.5) : 24.0;
        return QByteArray::number(intake, 'f', 1).rightJustified(5, '0') + ", " +
               QByteArray::number(exhaust, 'f', 1).rightJustified(4, '0');
    }
    if (code == "CR7") {
        const int mode = u.halfLamps ? 1 : 0;
        const int lamps = lampsLit(u) ? (u.halfLamps ? 0x9 : 0xF) : 0;
        return QByteArray::number(mode) + QByteArray::number(lamps, 16).toUpper();
    }
    if (code == "CR9") {
        static const QList<QByteArray> pcTypes = {"1280X1024 60HZ", "1024X768 60HZ", "NTSC", "NTSC"};
        return on ? pcTypes[u.input - 1] : QByteArray("----");
    }
    if (code == "CRA") {
        if (!on)
            return "FF";
        if (u.input > 2)
            return "80"; // nothing plugged into inputs 3 and 4
        return hex2(u.noShow ? 1 : 0);
    }
    if (code == "CR PRESSURE")
        return QByteArray::number(pressureReading(pressureHpa)).rightJustified(4, '0');
    if (code == "CR ALLPFAIL")
        return "0000";
    return {};
}

} // namespace kr7::sim
