#pragma once

#include <QByteArrayView>
#include <QList>
#include <QString>

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace kr7 {

// What a projector's replies say, each value present only while the newest reply to its query could be read:
// never a value left over from an earlier reply, never one made up for a reply that held none.
struct Readings {
    std::optional<QString> powerCode;   // two characters of the power table: "00", "80", ...
    std::optional<QString> powerStatus; // the panel's texts, outer blanks trimmed
    std::optional<int> input;           // 1-4
    std::optional<QString> inputText;
    std::optional<QString> orientation;
    std::optional<QString> signal;
    std::optional<int> lampMode; // 0 four lamps, 1 lamps 1 and 4, 2 lamps 2 and 3
    std::optional<std::array<bool, 4>> lampsOn;
    std::optional<QString> lampsText;
    QList<double> lampHours; // lamp 1 first, as many as the projector gave (up to four)
    std::array<std::optional<double>, 2> temperature; // sensors 1 and 2, degrees Celsius
    std::optional<QString> pcType;
    std::optional<int> pressureHpa;

    bool operator==(const Readings &) const = default;
};

// The queries a watching program asks, in the order it asks them.
enum class QueryKind : uint8_t {
    Power,
    Input,
    Orientation,
    LampHours,
    Temperature,
    Lamps,
    PcType,
    Signal,
    Pressure
};

struct QueryRow {
    QueryKind query;
    std::string_view name;  // kr7-query's name; the code comes from the catalogue
    std::string_view label; // the query as a metric label names it
};
inline constexpr std::array<QueryRow, 9> kPolledQueries{{
    {QueryKind::Power, "power", "power"},
    {QueryKind::Input, "input", "input"},
    {QueryKind::Orientation, "orientation", "orientation"},
    {QueryKind::LampHours, "lamp-hours", "lamp_hours"},
    {QueryKind::Temperature, "temperature", "temperature"},
    {QueryKind::Lamps, "lamps", "lamps"},
    {QueryKind::PcType, "pc-type", "pc_type"},
    {QueryKind::Signal, "signal", "signal"},
    {QueryKind::Pressure, "pressure", "pressure"},
}};

// The command code of a polled query ("CR0", ...).
QString queryCodeOf(QueryKind q);

// Replaces what r holds from query q by what this reply to it says. Returns false when the reply could not
// be read in full; what could not be read is then absent (a temperature reply with one good sensor keeps
// that one).
bool readReply(Readings &r, QueryKind q, QByteArrayView reply);
// Forgets everything query q said.
void clearReadings(Readings &r, QueryKind q);

// Power codes under which the lamps are lit or lighting: on, warming up, or on with a warning.
bool powerIsOn(QStringView code);

// A decimal number and nothing else: an optional sign, digits, at most one decimal point.
std::optional<double> readDecimal(QByteArrayView text);

} // namespace kr7
