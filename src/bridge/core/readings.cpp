#include "readings.h"

#include "catalogue.h"
#include "monitortext.h"
#include "power.h"
#include "state.h"
#include "statusdecoder.h"

#include <QJsonArray>

#include <array>

namespace kr7::bridge {

namespace {

// The reply up to its carriage return.
QByteArrayView untilCr(QByteArrayView reply) {
    const qsizetype cr = reply.indexOf('\r');
    return cr < 0 ? reply : reply.first(cr);
}

// The reply's text before its carriage return, when it has exactly that many characters and ends there: a
// reply of another shape cannot be this query's answer (a late reply to the query before, an
// acknowledgement).
std::optional<QByteArrayView> body(QByteArrayView reply, qsizetype length) {
    if (reply.size() != length + 1 || reply.back() != '\r')
        return std::nullopt;
    return reply.first(length);
}

// The panel's status text for this reply to query, decoded exactly as the STATUS field shows it, outer
// blanks trimmed; nothing for a reply that is not length characters and its carriage return.
std::optional<QString> panelText(std::string_view query, QByteArrayView reply, qsizetype length) {
    if (!body(reply, length))
        return std::nullopt;
    const std::optional<QString> text = decodeStatus(fromView(queryCode(query)) + QLatin1Char('\r'),
                                                     QStringView(), monitorText(QString::fromLatin1(reply)));
    if (!text)
        return std::nullopt;
    return text->trimmed();
}

ReadResult fromText(const std::optional<QString> &text) {
    return text ? ReadResult{*text, true} : ReadResult{};
}

template <std::size_t N> ReadResult panel(const char (&query)[N], QByteArrayView reply, qsizetype length) {
    return fromText(panelText(query, reply, length));
}

ReadResult readPowerCode(QByteArrayView reply) {
    if (!panelText("power", reply, 2))
        return {};
    return {QString::fromLatin1(reply.first(2)), true};
}

// The power code's row of the power table: every face's "on" and "standby" come from it.
const PowerCode *powerRow(QByteArrayView reply) {
    const ReadResult code = readPowerCode(reply);
    return code.complete ? powerCode(code.value.toString()) : nullptr;
}

ReadResult readPower(QByteArrayView reply) {
    const PowerCode *row = powerRow(reply);
    if (!row)
        return {};
    return {powerIsOn(row->state) ? QStringLiteral("ON") : QStringLiteral("OFF"), true};
}

ReadResult readPowerState(QByteArrayView reply) {
    const PowerCode *row = powerRow(reply);
    if (!row)
        return {};
    const std::string_view name = powerStateName(row->state);
    return {QString::fromLatin1(name.data(), qsizetype(name.size())), true};
}

ReadResult readInput(QByteArrayView reply) {
    if (!panelText("input", reply, 1))
        return {};
    return {reply[0] - '0', true};
}

// The table holds exactly the modes 0-2 and the capital hexadecimal lamp digits.
ReadResult readLampMode(QByteArrayView reply) {
    if (!panelText("lamps", reply, 2))
        return {};
    return {reply[0] - '0', true};
}

ReadResult readLampsOn(QByteArrayView reply) {
    if (!panelText("lamps", reply, 2))
        return {};
    const int bits = reply.sliced(1, 1).toByteArray().toInt(nullptr, 16);
    return {QJsonArray{bool(bits & 1), bool(bits & 2), bool(bits & 4), bool(bits & 8)}, true};
}

// The panel shows the first 19 characters, so many are read: the four lamps' hours, each a group of at least
// three digits ("0042"), blanks between. A last group that runs on past them would be read cut short: it is
// null, and the reply counts as not read in full. Fewer or more than four groups is the reply of another
// query (a pressure reading is one group of digits).
ReadResult readLampHours(QByteArrayView reply) {
    if (!reply.endsWith('\r'))
        return {};
    const QByteArrayView text = untilCr(reply);
    const QByteArrayView shown = text.first(std::min<qsizetype>(19, text.size()));
    const bool cut = text.size() > shown.size() && text[shown.size()] != ' ' && shown.back() != ' ';
    QList<QByteArray> groups = shown.toByteArray().split(' ');
    groups.removeAll(QByteArray());
    if (groups.size() != 4)
        return {};
    QJsonArray hours;
    for (qsizetype i = 0; i < groups.size(); ++i) {
        for (const char c : groups[i])
            if (c < '0' || c > '9')
                return {};
        if (i == 3 && cut)
            hours << QJsonValue(QJsonValue::Null);
        else if (groups[i].size() < 3)
            return {};
        else
            hours << groups[i].toDouble();
    }
    return {hours, !cut};
}

// Sensor 1 is reply characters 1-5, sensor 2 characters 8-11: what the panel shows of each, and all it reads
// (what stands between and after them is not looked at: "036.0, 47.5", "035.5C,40.5C"). The reply ends at its
// carriage return and is short: a lamp-hours reply, the one other reply as long, has 15 characters or more.
ReadResult readTemperature(QByteArrayView reply) {
    const QByteArrayView text = untilCr(reply);
    if (text.size() + 1 != reply.size() || text.size() < 8 || text.size() > kMaxTemperatureReply)
        return {};
    // A field the reply ends within was cut short: no reading.
    const auto field = [&](qsizetype from, qsizetype n) -> QByteArrayView {
        return text.size() >= from + n ? text.sliced(from, n) : QByteArrayView();
    };
    const std::optional<double> sensors[] = {readDecimal(field(0, 5)), readDecimal(field(7, 4))};
    if (!sensors[0] && !sensors[1])
        return {};
    QJsonArray a;
    for (const auto &s : sensors)
        a << (s ? QJsonValue(*s) : QJsonValue(QJsonValue::Null));
    return {a, sensors[0] && sensors[1]};
}

// A signal's name ("NTSC", "1280X1024 60HZ", "----"): three characters or more, a letter or a dash among
// them. Shorter codes and plain numbers are the replies of other queries, and so is a reply that reads in
// full as two temperatures ("035.5C,40.5C").
ReadResult readPcType(QByteArrayView reply) {
    if (readTemperature(reply).complete)
        return {};
    const QByteArrayView text = untilCr(reply);
    if (text.size() < 3 || text.size() + 1 != reply.size())
        return {}; // no carriage return: the reply did not end
    bool named = false;
    for (const char c : text) {
        if (uchar(c) < 0x20 || uchar(c) > 0x7E)
            return {};
        named = named || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-';
    }
    if (!named)
        return {};
    return {QString::fromLatin1(text), true};
}

// The reading is a number of three to five digits, signed or not ("0512").
ReadResult readPressure(QByteArrayView reply) {
    const QByteArrayView text = untilCr(reply);
    const qsizetype digits = text.size() - (text.startsWith('+') || text.startsWith('-') ? 1 : 0);
    if (text.size() + 1 != reply.size() || digits < 3 || digits > 5 || text.contains('.'))
        return {};
    const std::optional<double> reading = readDecimal(text);
    const std::optional<int> hpa = reading ? pressureHpa(*reading) : std::nullopt;
    return hpa ? ReadResult{*hpa, true} : ReadResult{};
}

// The power code is two hexadecimal digits.
double codeSample(const QJsonValue &v) {
    return v.toString().toInt(nullptr, 16);
}
double onSample(const QJsonValue &v) {
    return v == QLatin1String("ON") ? 1 : 0;
}

// The lamp readings made of the hours and the plan: for each lamp whose hours were read.
template <typename F> QJsonValue perLamp(const Readings &r, F value) {
    const QJsonArray hours = r.value("lamp_hours").toArray();
    if (hours.size() != 4)
        return QJsonValue::Null;
    QJsonArray out;
    for (int i = 0; i < 4; ++i)
        out << (hours[i].isDouble() ? value(i, hours[i].toDouble()) : QJsonValue(QJsonValue::Null));
    return out;
}
QJsonValue dateOrNull(const std::optional<QDate> &d) {
    return d ? QJsonValue(d->toString(Qt::ISODate)) : QJsonValue(QJsonValue::Null);
}
QJsonValue lifeHours(const Readings &r) {
    return perLamp(r, [&](int, double) { return QJsonValue(r.lampPlan().lifeHours); });
}
QJsonValue lampsRemaining(const Readings &r) {
    return perLamp(r, [&](int, double h) { return QJsonValue(remainingHours(h, r.lampPlan().lifeHours)); });
}
QJsonValue forecastEnds(const Readings &r) {
    return perLamp(r, [&](int i, double) { return dateOrNull(r.lampPlan().forecastEnd[size_t(i)]); });
}
QJsonValue replacedDates(const Readings &r) {
    return perLamp(r, [&](int i, double) { return dateOrNull(r.lampPlan().replaced[size_t(i)]); });
}
QJsonValue replacementCounts(const Readings &r) {
    return perLamp(r, [&](int i, double) { return QJsonValue(r.lampPlan().replacements[size_t(i)]); });
}
// A date as the start of its day, UTC, in seconds since 1970.
double dateSample(const QJsonValue &v) {
    return double(QDate::fromString(v.toString(), Qt::ISODate).startOfDay(Qt::UTC).toSecsSinceEpoch());
}

using T = JsonType;
// clang-format off
const std::array kTable{
    Reading{.key = "power_code", .query = "power", .type = T::String, .read = readPowerCode,
            .metric = {.name = "kr7_power_status_code",
                       .help = "The power status code of the reply to CR0, read as hexadecimal.",
                       .sample = codeSample}},
    Reading{.key = "power", .query = "power", .type = T::String, .read = readPower,
            .metric = {.name = "kr7_power_on",
                       .help = "1 while the projector is on or warming up (power codes 00, 02, 04, 08, 40).",
                       .sample = onSample},
            .entity = {.component = "switch", .object = "power", .title = "Power",
                       .config = R"({"payload_on":"{\"power\": \"ON\"}","payload_off":"{\"power\": \"OFF\"}",)"
                                 R"("state_on":"ON","state_off":"OFF"})",
                       .commanded = true}},
    // on, warming_up, cooling, standby or failed: the power table's word for the code.
    Reading{.key = "power_state", .query = "power", .type = T::String, .read = readPowerState},
    Reading{.key = "power_status", .query = "power", .type = T::String,
            .read = [](QByteArrayView r) { return panel("power", r, 2); }, .infoLabel = "power",
            .entity = {.component = "sensor", .object = "power_status", .title = "Power status"}},
    Reading{.key = "input", .query = "input", .type = T::Integer, .read = readInput,
            .metric = {.name = "kr7_input", .help = "The input selected, 1-4."},
            .entity = {.component = "select", .object = "input", .title = "Input",
                       .config = R"({"command_template":"{\"input\": {{ value }}}","options":["1","2","3","4"]})",
                       .commanded = true}},
    Reading{.key = "input_text", .query = "input", .type = T::String,
            .read = [](QByteArrayView r) { return panel("input", r, 1); }, .inState = false, .infoLabel = "input"},
    Reading{.key = "orientation", .query = "orientation", .type = T::String,
            .read = [](QByteArrayView r) { return panel("orientation", r, 2); }, .infoLabel = "orientation"},
    Reading{.key = "lamp_hours", .query = "lamp-hours", .type = T::NumberList, .read = readLampHours, .items = 4,
            .metric = {.name = "kr7_lamp_used_seconds",
                       .help = "The lamp's hours of use as the projector counts them, in seconds.",
                       .itemLabel = "lamp", .scale = 3600.0},
            .entity = {.component = "sensor", .object = "lamp_hours_%1", .title = "Lamp %1 hours",
                       .config = R"({"unit_of_measurement":"h","state_class":"total_increasing"})"}},
    Reading{.key = "lamp_life_hours", .query = "lamp-hours", .type = T::NumberList, .items = 4,
            .metric = {.name = "kr7_lamp_life_seconds", .help = "The lamp's life, in seconds of use.",
                       .itemLabel = "lamp", .scale = 3600.0},
            .derive = lifeHours},
    Reading{.key = "lamp_remaining_hours", .query = "lamp-hours", .type = T::NumberList, .items = 4,
            .metric = {.name = "kr7_lamp_remaining_seconds",
                       .help = "What is left of the lamp's life, in seconds of use; 0 once it is spent.",
                       .itemLabel = "lamp", .scale = 3600.0},
            .entity = {.component = "sensor", .object = "lamp_remaining_%1", .title = "Lamp %1 remaining",
                       .config = R"({"unit_of_measurement":"h","state_class":"measurement"})"},
            .derive = lampsRemaining},
    Reading{.key = "lamp_forecast_end", .query = "lamp-hours", .type = T::StringList, .items = 4,
            .metric = {.name = "kr7_lamp_forecast_end_timestamp_seconds",
                       .help = "The day the lamp reaches its life at its burn of the last 30 days (its start, UTC).",
                       .itemLabel = "lamp", .sample = dateSample},
            .derive = forecastEnds},
    Reading{.key = "lamp_replaced", .query = "lamp-hours", .type = T::StringList, .items = 4,
            .derive = replacedDates},
    Reading{.key = "lamp_replacements", .query = "lamp-hours", .type = T::NumberList, .items = 4, .inState = false,
            .metric = {.name = "kr7_lamp_replacements_total", .type = "counter",
                       .help = "Replacements of the lamp the bridge recorded.", .itemLabel = "lamp"},
            .derive = replacementCounts},
    Reading{.key = "temperature", .query = "temperature", .type = T::NumberList, .read = readTemperature,
            .items = 2,
            .metric = {.name = "kr7_temperature_celsius", .help = "The projector's temperature sensors.",
                       .itemLabel = "sensor"},
            .entity = {.component = "sensor", .object = "temperature_%1", .title = "Temperature %1",
                       .config = R"({"device_class":"temperature","unit_of_measurement":"°C",)"
                                 R"("state_class":"measurement"})"}},
    Reading{.key = "lamp_mode", .query = "lamps", .type = T::Integer, .read = readLampMode,
            .metric = {.name = "kr7_lamp_mode",
                       .help = "Lamp mode: 0 four lamps, 1 lamps 1 and 4, 2 lamps 2 and 3."}},
    Reading{.key = "lamps", .query = "lamps", .type = T::BooleanList, .read = readLampsOn, .items = 4,
            .metric = {.name = "kr7_lamp_on", .help = "1 while the lamp is on.", .itemLabel = "lamp"},
            .entity = {.component = "binary_sensor", .object = "lamp_%1", .title = "Lamp %1",
                       .config = R"({"device_class":"light"})"}},
    Reading{.key = "lamps_text", .query = "lamps", .type = T::String,
            .read = [](QByteArrayView r) { return panel("lamps", r, 2); }, .inState = false, .infoLabel = "lamps"},
    Reading{.key = "pc_type", .query = "pc-type", .type = T::String, .read = readPcType, .infoLabel = "pc_type"},
    Reading{.key = "signal", .query = "signal", .type = T::String,
            .read = [](QByteArrayView r) { return panel("signal", r, 2); }, .infoLabel = "signal",
            .entity = {.component = "sensor", .object = "signal", .title = "Signal"}},
    // The code itself, for PJLink's AV mute: 01 video, 02 audio, 03 both muted.
    Reading{.key = "signal_code", .query = "signal", .type = T::String,
            .read = [](QByteArrayView r) {
                return panelText("signal", r, 2) ? ReadResult{QString::fromLatin1(r.first(2)), true} : ReadResult{};
            },
            .inState = false},
    Reading{.key = "pressure_hpa", .query = "pressure", .type = T::Integer, .read = readPressure,
            .metric = {.name = "kr7_pressure_hpa", .help = "The air pressure the projector measures, in hPa."},
            .entity = {.component = "sensor", .object = "pressure", .title = "Pressure",
                       .config = R"({"device_class":"atmospheric_pressure","unit_of_measurement":"hPa",)"
                                 R"("state_class":"measurement"})"}},
};
// clang-format on

} // namespace

ReadingTable readingTable() {
    return kTable;
}

QList<PolledQuery> polledQueries(ReadingTable table) {
    QList<PolledQuery> out;
    for (const Reading &r : table)
        if (std::none_of(out.begin(), out.end(), [&](const PolledQuery &q) { return q.name == r.query; }))
            out << PolledQuery{r.query, fromView(queryCode(r.query))};
    return out;
}

Readings::Readings(ReadingTable table)
    : m_table(table), m_values(qsizetype(table.size()), QJsonValue::Null) {}

void Readings::setLampPlan(const LampPlan &plan) {
    m_plan = plan;
    derive();
}

void Readings::derive() {
    for (size_t i = 0; i < m_table.size(); ++i)
        if (m_table[i].derive)
            m_values[qsizetype(i)] = m_table[i].derive(*this);
}

QJsonValue Readings::value(std::string_view key) const {
    for (size_t i = 0; i < m_table.size(); ++i)
        if (m_table[i].key == key)
            return m_values[qsizetype(i)];
    return QJsonValue::Null;
}

bool Readings::read(std::string_view query, QByteArrayView reply) {
    bool complete = !reply.isEmpty();
    bool any = false;
    for (size_t i = 0; i < m_table.size(); ++i) {
        if (m_table[i].query != query)
            continue;
        if (!m_table[i].read)
            continue;
        any = true;
        const ReadResult r = reply.isEmpty() ? ReadResult{} : m_table[i].read(reply);
        m_values[qsizetype(i)] = r.value;
        complete = complete && r.complete;
    }
    derive();
    return any && complete;
}

void Readings::clear(std::string_view query) {
    for (size_t i = 0; i < m_table.size(); ++i)
        if (m_table[i].query == query)
            m_values[qsizetype(i)] = QJsonValue::Null;
    derive();
}

void Readings::clear() {
    m_values.fill(QJsonValue::Null);
    derive();
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

Alarms alarmsOf(const Readings &readings) {
    Alarms a;
    const QJsonArray hours = readings.value("lamp_hours").toArray();
    for (int i = 0; i < 4 && hours.size() == 4; ++i)
        if (hours[i].isDouble())
            a.lamps[size_t(i)] = lampWear(hours[i].toDouble(), readings.lampPlan(), i);
    const PowerCode *row = powerCode(readings.value("power_code").toString());
    if (!row)
        return a;
    // The lamps that a lamp mode burns.
    static constexpr std::array<std::array<bool, 4>, 3> kLampsOfMode{
        {{true, true, true, true}, {true, false, false, true}, {false, true, true, false}}};
    a.lampFailure = row->lampFailure;
    if (row->lampsMeantToBurn) {
        const QJsonValue mode = readings.value("lamp_mode");
        const QJsonArray lamps = readings.value("lamps").toArray();
        if (mode.isDouble() && mode.toInt() >= 0 && mode.toInt() <= 2 && lamps.size() == 4)
            for (int i = 0; i < 4; ++i)
                if (kLampsOfMode[size_t(mode.toInt())][size_t(i)] && lamps[i].isBool() && !lamps[i].toBool())
                    a.lampOff = true;
    }
    a.temperature = row->temperatureWarning;
    a.powerFail = row->state == PowerState::Failed;
    return a;
}

QStringList alarmWords(const ProjectorState &p) {
    QStringList words;
    const Alarms a = alarmsOf(p.readings);
    if (!p.available)
        words << QStringLiteral("unreachable");
    if (a.temperature)
        words << QStringLiteral("temperature warning");
    if (a.lampFailure)
        words << QStringLiteral("lamp failure");
    if (a.lampOff)
        words << QStringLiteral("a lamp its mode uses is off");
    if (a.powerFail)
        words << QStringLiteral("power failure");
    for (int i = 0; i < 4; ++i)
        if (a.lamps[size_t(i)] == LampWear::NearEnd)
            words << QStringLiteral("lamp %1 near its end").arg(i + 1);
        else if (a.lamps[size_t(i)] == LampWear::OverLife)
            words << QStringLiteral("lamp %1 over its life").arg(i + 1);
    return words + p.faceAlarms;
}

} // namespace kr7::bridge
