#include "readings.h"

#include "catalogue.h"
#include "monitortext.h"
#include "statusdecoder.h"

#include <QStringList>

namespace kr7 {

namespace {

// The reply up to its carriage return.
QByteArrayView untilCr(QByteArrayView reply) {
    const qsizetype cr = reply.indexOf('\r');
    return cr < 0 ? reply : reply.first(cr);
}

// The panel's status text for this reply, decoded exactly as the STATUS field shows it, outer blanks trimmed.
std::optional<QString> panelText(QueryKind q, QByteArrayView reply) {
    const std::optional<QString> text = decodeStatus(queryCodeOf(q) + QLatin1Char('\r'), QStringView(),
                                                     monitorText(QString::fromLatin1(reply)));
    if (!text)
        return std::nullopt;
    return text->trimmed();
}

bool readPower(Readings &r, QByteArrayView reply) {
    r.powerStatus = panelText(QueryKind::Power, reply);
    if (r.powerStatus)
        r.powerCode = QString::fromLatin1(reply.first(2));
    return r.powerStatus.has_value();
}

bool readInput(Readings &r, QByteArrayView reply) {
    r.inputText = panelText(QueryKind::Input, reply);
    if (r.inputText)
        r.input = reply[0] - '0';
    return r.inputText.has_value();
}

bool readOrientation(Readings &r, QByteArrayView reply) {
    r.orientation = panelText(QueryKind::Orientation, reply);
    return r.orientation.has_value();
}

bool readSignal(Readings &r, QByteArrayView reply) {
    r.signal = panelText(QueryKind::Signal, reply);
    return r.signal.has_value();
}

bool readLamps(Readings &r, QByteArrayView reply) {
    r.lampsText = panelText(QueryKind::Lamps, reply);
    if (!r.lampsText)
        return false;
    // The table holds exactly the modes 0-2 and the capital hexadecimal lamp digits.
    r.lampMode = reply[0] - '0';
    const int bits = reply.sliced(1, 1).toByteArray().toInt(nullptr, 16);
    r.lampsOn = std::array<bool, 4>{bool(bits & 1), bool(bits & 2), bool(bits & 4), bool(bits & 8)};
    return true;
}

// The panel shows the first 19 characters, so many are read. A number that runs on past them would be read
// cut short: it is left out, and the reply counts as not read in full.
bool readLampHours(Readings &r, QByteArrayView reply) {
    const QByteArrayView text = untilCr(reply);
    QByteArrayView shown = text.first(std::min<qsizetype>(19, text.size()));
    const bool cut = text.size() > shown.size() && text[shown.size()] != ' ' && shown.back() != ' ';
    if (cut)
        shown = shown.first(shown.lastIndexOf(' ') + 1);
    QList<double> hours;
    for (const QByteArray &group : shown.toByteArray().split(' ')) {
        if (group.isEmpty())
            continue;
        for (const char c : group)
            if (c < '0' || c > '9')
                return false;
        if (hours.size() == 4)
            return false;
        hours << group.toDouble();
    }
    r.lampHours = hours;
    return !hours.isEmpty() && !cut;
}

// Sensor 1 is reply characters 1-5, sensor 2 characters 8-11: what the panel shows of each.
bool readTemperature(Readings &r, QByteArrayView reply) {
    const auto chars = [&](qsizetype from, qsizetype n) -> QByteArrayView {
        if (reply.size() <= from)
            return {};
        return reply.sliced(from, std::min(n, reply.size() - from));
    };
    r.temperature[0] = readDecimal(chars(0, 5));
    r.temperature[1] = readDecimal(chars(7, 4));
    return r.temperature[0] && r.temperature[1];
}

bool readPcType(Readings &r, QByteArrayView reply) {
    const QByteArrayView text = untilCr(reply);
    if (text.isEmpty() || text.size() == reply.size())
        return false; // no carriage return: the reply did not end
    for (const char c : text)
        if (uchar(c) < 0x20 || uchar(c) > 0x7E)
            return false;
    r.pcType = QString::fromLatin1(text);
    return true;
}

bool readPressure(Readings &r, QByteArrayView reply) {
    const std::optional<double> reading = readDecimal(untilCr(reply));
    if (reading)
        r.pressureHpa = pressureHpa(*reading);
    return r.pressureHpa.has_value();
}

struct Reader {
    QueryKind query;
    bool (*read)(Readings &, QByteArrayView);
    void (*clear)(Readings &);
};
constexpr std::array<Reader, 9> kReaders{{
    {QueryKind::Power, readPower, [](Readings &r) { r.powerCode.reset(), r.powerStatus.reset(); }},
    {QueryKind::Input, readInput, [](Readings &r) { r.input.reset(), r.inputText.reset(); }},
    {QueryKind::Orientation, readOrientation, [](Readings &r) { r.orientation.reset(); }},
    {QueryKind::LampHours, readLampHours, [](Readings &r) { r.lampHours.clear(); }},
    {QueryKind::Temperature, readTemperature, [](Readings &r) { r.temperature = {}; }},
    {QueryKind::Lamps, readLamps,
     [](Readings &r) { r.lampMode.reset(), r.lampsOn.reset(), r.lampsText.reset(); }},
    {QueryKind::PcType, readPcType, [](Readings &r) { r.pcType.reset(); }},
    {QueryKind::Signal, readSignal, [](Readings &r) { r.signal.reset(); }},
    {QueryKind::Pressure, readPressure, [](Readings &r) { r.pressureHpa.reset(); }},
}};

const Reader &reader(QueryKind q) {
    return kReaders[size_t(q)];
}

static_assert([] {
    for (size_t i = 0; i < kReaders.size(); ++i)
        if (size_t(kReaders[i].query) != i || size_t(kPolledQueries[i].query) != i)
            return false;
    return true;
}());

} // namespace

QString queryCodeOf(QueryKind q) {
    const std::string_view code = queryCode(kPolledQueries[size_t(q)].name);
    return QString::fromLatin1(code.data(), qsizetype(code.size()));
}

bool readReply(Readings &r, QueryKind q, QByteArrayView reply) {
    reader(q).clear(r);
    return !reply.isEmpty() && reader(q).read(r, reply);
}

void clearReadings(Readings &r, QueryKind q) {
    reader(q).clear(r);
}

bool powerIsOn(QStringView code) {
    for (const char *on : {"00", "02", "04", "08", "40"})
        if (code == QLatin1StringView(on))
            return true;
    return false;
}

std::optional<double> readDecimal(QByteArrayView text) {
    qsizetype i = 0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        ++i;
    bool digits = false, point = false;
    for (; i < text.size(); ++i) {
        if (text[i] >= '0' && text[i] <= '9')
            digits = true;
        else if (text[i] == '.' && !point)
            point = true;
        else
            return std::nullopt;
    }
    if (!digits)
        return std::nullopt;
    bool ok = false;
    const double v = text.toByteArray().toDouble(&ok);
    if (!ok)
        return std::nullopt;
    return v;
}

} // namespace kr7
