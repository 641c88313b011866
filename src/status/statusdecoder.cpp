#include "statusdecoder.h"

#include "statustables.h"

#include <QByteArray>

#include <cmath>
#include <cstdint>
#include <span>

namespace kr7 {

namespace {

using status::CodeText;

// The first n characters of the monitor text, or all of it when shorter.
QStringView slice(QStringView text, qsizetype n) {
    return text.first(std::min(n, text.size()));
}

// Monitor text slices are ASCII by construction (tokens are ASCII), but compare through Latin-1 so that any
// text at all is handled safely.
bool equalsAscii(QStringView a, std::string_view b) {
    return a.size() == qsizetype(b.size()) && QLatin1StringView(b.data(), qsizetype(b.size())) == a;
}

std::optional<QString> lookUp(std::span<const CodeText> table, QStringView key) {
    for (const CodeText &row : table) {
        if (equalsAscii(key, row.code))
            return QString::fromLatin1(row.text.data(), qsizetype(row.text.size()));
    }
    return std::nullopt;
}

bool sectionApplies(QStringView sendLine, QStringView prefix, QLatin1StringView query) {
    // SendLine == prefix & query & CR, exactly and case-sensitively.
    if (sendLine.size() != prefix.size() + query.size() + 1)
        return false;
    return sendLine.startsWith(prefix) && sendLine.sliced(prefix.size(), query.size()) == query &&
           sendLine.back() == QLatin1Char('\r');
}

// Round to nearest, a half going to the even neighbour; no result outside the 16-bit signed range.
std::optional<int16_t> toInt16(double v) {
    if (!std::isfinite(v))
        return std::nullopt;
    const double r = std::nearbyint(v); // default rounding mode: to nearest, ties to even
    if (r < -32768.0 || r > 32767.0)
        return std::nullopt;
    return static_cast<int16_t>(r);
}

} // namespace

double readLeadingNumber(QStringView text) {
    qsizetype i = 0;
    const auto skipBlanks = [&] {
        while (i < text.size() &&
               (text[i] == QLatin1Char(' ') || text[i] == QLatin1Char('\t') || text[i] == QLatin1Char('\n')))
            ++i;
    };
    skipBlanks();
    // Collect sign, digits and one decimal point, then convert once: the conversion is correctly rounded,
    // so a half stays a half for the rounding that follows.
    QByteArray number;
    if (i < text.size() && (text[i] == QLatin1Char('-') || text[i] == QLatin1Char('+'))) {
        number.append(char(text[i].unicode()));
        ++i;
    }
    bool afterPoint = false;
    bool anyDigit = false;
    for (;;) {
        skipBlanks();
        if (i >= text.size())
            break;
        const char16_t c = text[i].unicode();
        if (c >= '0' && c <= '9') {
            number.append(char(c));
            anyDigit = true;
        } else if (c == '.' && !afterPoint) {
            number.append('.');
            afterPoint = true;
        } else {
            break;
        }
        ++i;
    }
    if (!anyDigit)
        return 0.0;
    bool ok = false;
    const double v = number.toDouble(&ok);
    if (ok)
        return v;
    // Out of range for a double: only the sign matters from here on.
    return number.startsWith('-') ? -HUGE_VAL : HUGE_VAL;
}

std::optional<int> pressureHpa(double reading) {
    const std::optional<int16_t> n = toInt16(reading);
    // n * 5 must fit 16 bits: outside this range the projector's own arithmetic overflows.
    if (!n || *n < -6553 || *n > 6553)
        return std::nullopt;
    const int16_t m = static_cast<int16_t>(*n * 5);
    const double p = (m / 1024.0 - 0.204) / 0.00459 + 150.0;
    const std::optional<int16_t> P = toInt16(p);
    if (!P)
        return std::nullopt;
    return *P;
}

std::optional<QString> pressureText(QStringView rxdText) {
    const std::optional<int> hpa = pressureHpa(readLeadingNumber(rxdText));
    if (!hpa)
        return std::nullopt;
    return QString::number(*hpa) + QStringLiteral(" hPa");
}

std::optional<QString> decodeStatus(QStringView sendLine, QStringView prefix, QStringView rxd) {
    using namespace status;
    if (sectionApplies(sendLine, prefix, QLatin1StringView("CR0")))
        return lookUp(kPowerStatus, slice(rxd, 4));
    if (sectionApplies(sendLine, prefix, QLatin1StringView("CR1")))
        return lookUp(kInputMode, slice(rxd, 2));
    if (sectionApplies(sendLine, prefix, QLatin1StringView("CR4")))
        return lookUp(kOrientation, slice(rxd, 4));
    if (sectionApplies(sendLine, prefix, QLatin1StringView("CR3")))
        return slice(rxd, 38).toString() + QStringLiteral(" Hour Use");
    if (sectionApplies(sendLine, prefix, QLatin1StringView("CR6"))) {
        const QStringView s2 =
            rxd.size() >= 15 ? rxd.sliced(14, std::min<qsizetype>(8, rxd.size() - 14)) : QStringView();
        QString text = QStringLiteral("  S1=");
        text.append(slice(rxd, 10))
            .append(QLatin1String(" C  ,   S2= "))
            .append(s2)
            .append(QLatin1String(" C"));
        return text;
    }
    if (sectionApplies(sendLine, prefix, QLatin1StringView("CRA")))
        return lookUp(kMuteSignal, slice(rxd, 4));
    if (sectionApplies(sendLine, prefix, QLatin1StringView("CR9")))
        return rxd.toString();
    if (sectionApplies(sendLine, prefix, QLatin1StringView("CR PRESSURE")))
        return pressureText(rxd);
    if (sectionApplies(sendLine, prefix, QLatin1StringView("CR7")))
        return lookUp(kLamps, slice(rxd, 4));
    return std::nullopt;
}

} // namespace kr7
