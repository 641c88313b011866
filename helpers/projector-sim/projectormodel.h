#pragma once

#include <QByteArray>
#include <QList>

#include <array>
#include <optional>

namespace kr7::sim {

// One projector: four lamps, four inputs, lens, menu. Time is given by the caller in milliseconds so that
// warm-up, cooling and lamp hours can be driven without waiting.
struct Unit {
    enum class Power { Standby, CountDown, On, Cooling };
    int number = 1;
    Power power = Power::Standby;
    qint64 powerChangeAt = 0; // when the count down or the cooling ends
    int input = 1;            // 1..4
    bool noShow = false;
    bool freeze = false;
    bool menu = false;
    bool wide = false;
    bool fanMax = false;
    bool halfLamps = false; // 2-lamp mode, lamps 1 and 4
    QByteArray picture = "STAND";
    std::array<QByteArray, 4> signalType{"DIGITAL", "ANALOG", "VIDEO", "VIDEO"};
    std::array<double, 4> lampHours{1234, 1201, 987, 1010};
    qint64 hoursCountedTo = 0; // lamp hours are counted up to this time
    int lensX = 0, lensY = 0, zoom = 0, focus = 0, digitalZoom = 0, keystoneV = 0, keystoneH = 0;
};

struct Timing {
    qint64 warmUpMs = 3000;
    qint64 coolDownMs = 5000;
    qint64 msPerLampHour = 60000; // lamp hours grow an hour per lit minute, so a demo sees them move
};

// The command language of a shared line: an optional address ("A" and three characters: "FFF" for all,
// "001".."004" for one unit), a command code, a carriage return. Lines for "FFF" act on every unit; only the
// lowest-numbered unit answers them, as only one talker may drive a shared line. A line without an address
// is for the one projector of a point-to-point line: the lowest-numbered unit acts and answers.
class ProjectorModel {
  public:
    static constexpr char kAck = 6;

    explicit ProjectorModel(QList<int> units = {1, 2, 3, 4}, Timing timing = {});

    // One line without its carriage return, at time now. The reply to send back, or nothing.
    std::optional<QByteArray> handleLine(const QByteArray &line, qint64 now);

    const Unit *unit(int number) const;
    const QList<Unit> &units() const { return m_units; }
    void advance(qint64 now);

    // Pressure around the projector, in hPa (as the status text shows it).
    double pressureHpa = 1013.0;

  private:
    std::optional<QByteArray> apply(Unit &u, const QByteArray &code, qint64 now);
    QByteArray query(const Unit &u, const QByteArray &code) const;
    static bool lampsLit(const Unit &u);

    QList<Unit> m_units;
    Timing m_timing;
};

// The reading the projector reports for a pressure in hPa (inverse of the panel's conversion).
int pressureReading(double hpa);

} // namespace kr7::sim
