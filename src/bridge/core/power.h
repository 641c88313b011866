#pragma once

#include <QString>
#include <QStringView>

#include <string_view>

namespace kr7::bridge {

// Where a projector is in its power cycle, as every face says it: /metrics (kr7_power_on), MQTT and /state
// ("power", "power_state"), the console's words, PJLink's POWR and the alarms all read this one table, so
// that no two faces ever disagree about one reply.
enum class PowerState { On, WarmingUp, Cooling, Standby, Failed };

// One power status code of the reply to CR0. The first digit is the phase (0 on, 4 counting down to on, 2
// cooling down, 8 standby, 1 power failure), the second what comes with it (8 a temperature warning, 4 the
// lamps put out by power management, 2 no key input, 1 every lamp failed).
struct PowerCode {
    std::string_view code;
    PowerState state;
    bool lampsMeantToBurn;   // the lamps the lamp mode burns should be lit now
    bool temperatureWarning; // the projector warns of its temperature
    bool lampFailure;        // every lamp failed
};

// The row of a code; nothing for a code the projector does not send.
const PowerCode *powerCode(QStringView code);

// The state's name in /state and MQTT: "on", "warming_up", "cooling", "standby", "failed".
std::string_view powerStateName(PowerState state);

// Lit or lighting: MQTT's and /state's "power" is "ON", kr7_power_on is 1.
bool powerIsOn(PowerState state);

} // namespace kr7::bridge
