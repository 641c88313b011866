#pragma once

#include "lamps.h"

#include <QByteArrayView>
#include <QJsonValue>
#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace kr7::bridge {

// What a reading's value is in /state and MQTT's state object. A list has a fixed number of items (lamps 1-4,
// sensors 1-2); an item that could not be read is null.
enum class JsonType : uint8_t { String, Integer, Boolean, NumberList, BooleanList, StringList };

// A reading's Prometheus family. A list gives one sample per item that holds a value, its number (from 1)
// in itemLabel; a Boolean is 1 or 0.
struct MetricFamily {
    const char *name = nullptr; // nullptr: the reading has no family of its own
    const char *type = "gauge";
    const char *help = "";
    const char *itemLabel = nullptr;
    double scale = 1;                               // a number's sample is the number times this
    double (*sample)(const QJsonValue &) = nullptr; // for a value that is no number (a code as text)
};

// A reading's entity in Home Assistant's MQTT discovery. For a list, one entity per item: "%1" in object and
// title is the item's number. Its value template is made from the reading's key and type.
struct DiscoveryEntity {
    const char *component = nullptr; // "sensor", "binary_sensor", "switch", "select"; nullptr: none
    const char *object = nullptr;
    const char *title = nullptr;
    const char *config = "{}"; // further keys of the entity's config, as JSON
    bool commanded = false;    // with the projector's command topic (NAME/set)
};

// The value this reply gives a reading, and whether the reply could be read in full for it. A value that
// could not be read is null, never a value made up from a reply that held none.
struct ReadResult {
    QJsonValue value = QJsonValue::Null;
    bool complete = false;
};

class Readings;

// One reading: the value one query's reply gives, and all that each face makes of it. A row here is all a
// new reading needs: the line polls its query, /state and MQTT show its key, the metrics face writes its
// family, discovery announces its entity.
struct Reading {
    std::string_view key;   // the member of the state object; also the reading's name
    std::string_view query; // the catalogue's name of the query whose reply gives it ("power" is CR0)
    JsonType type;
    ReadResult (*read)(QByteArrayView reply) = nullptr;
    int items = 0;                   // a list's number of items
    bool inState = true;             // false: a text only the status info shows
    const char *infoLabel = nullptr; // kr7_status_info{query=infoLabel,text=value}: a panel text
    MetricFamily metric = {};
    DiscoveryEntity entity = {};
    // A reading made of others and of the lamp plan (a lamp's remaining hours), in place of read: made again
    // whenever they change.
    QJsonValue (*derive)(const Readings &readings) = nullptr;
};

using ReadingTable = std::span<const Reading>;

// The readings of a KR7, in the order the queries are asked.
ReadingTable readingTable();

// The queries a table asks, each once, in the order of its rows.
struct PolledQuery {
    std::string_view name;
    QString code; // from the catalogue: "CR0", ...
};
QList<PolledQuery> polledQueries(ReadingTable table = readingTable());

// What a projector's replies say: a value per row of the table, null while the newest reply to its query
// could not be read (or before the first): never a value left over from an earlier reply.
class Readings {
  public:
    Readings() : Readings(readingTable()) {}
    explicit Readings(ReadingTable table);

    ReadingTable table() const { return m_table; }
    const QJsonValue &at(qsizetype row) const { return m_values[row]; }
    // The value of the reading with this key; null when absent or no such reading.
    QJsonValue value(std::string_view key) const;
    bool has(std::string_view key) const { return !value(key).isNull(); }

    // Replaces what the readings of query hold by what this reply to it says. False when the reply could not
    // be read in full; what could not be read is then null (a temperature reply with one good sensor keeps
    // that one).
    bool read(std::string_view query, QByteArrayView reply);
    // Forgets everything query said.
    void clear(std::string_view query);
    // Forgets everything.
    void clear();

    // What the lamps' derived readings are made of.
    const LampPlan &lampPlan() const { return m_plan; }
    void setLampPlan(const LampPlan &plan);

    bool operator==(const Readings &other) const {
        return m_values == other.m_values && m_plan == other.m_plan;
    }

  private:
    void derive();

    ReadingTable m_table;
    QList<QJsonValue> m_values;
    LampPlan m_plan;
};

// What is wrong with a projector, by its power code (the power table) and lamps: every lamp failed (power
// code 21, 81); a lamp that the lamp mode burns (mode 0: all four, 1: lamps 1 and 4, 2: lamps 2 and 3) is off
// while the lamps are meant to burn (00, 02, 08); a temperature warning (08, 28, 24, 88); a power failure
// (10).
struct Alarms {
    bool lampFailure = false;
    bool lampOff = false;
    bool temperature = false;
    bool powerFail = false;
    std::array<LampWear, 4> lamps{}; // by the lamp plan: near its end, over its life
};
Alarms alarmsOf(const Readings &readings);

struct ProjectorState;
// The core's one alarm rule in words, as the console, the history and the journal say them: "unreachable",
// "temperature warning", ... Empty: nothing is wrong.
QStringList alarmWords(const ProjectorState &p);

// A temperature reply has at most this many characters before its carriage return.
inline constexpr qsizetype kMaxTemperatureReply = 13;

// A decimal number and nothing else: an optional sign, digits, at most one decimal point.
std::optional<double> readDecimal(QByteArrayView text);

} // namespace kr7::bridge
