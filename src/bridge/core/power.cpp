#include "power.h"

#include <array>

namespace kr7::bridge {

namespace {

using S = PowerState;
// Every code the status texts know. 24 ("Lamp OFF & Tempereture Warning by PWR Management") is cooling: its
// first digit is the cooling phase, as in 20, 28 and 21, and its text says the lamps are out; its second
// digit is 04's (lamps put out by power management); it warns of the temperature, as its text says.
constexpr std::array<PowerCode, 13> kCodes{{
    {"00", S::On, true, false, false},         // Power ON
    {"02", S::On, true, false, false},         // NO Key input
    {"04", S::On, false, false, false},        // Lamp OFF by PWR Management
    {"08", S::On, true, true, false},          // Temperature Warning(Power ON)
    {"40", S::WarmingUp, false, false, false}, // Count down
    {"20", S::Cooling, false, false, false},   // Cooling down
    {"28", S::Cooling, false, true, false},    // Temperature Warning & cooling down
    {"24", S::Cooling, false, true, false},    // Lamp OFF & Tempereture Warning by PWR Management
    {"21", S::Cooling, false, false, true},    // Cooling down (All Lamp FAIL)
    {"80", S::Standby, false, false, false},   // Stand by
    {"88", S::Standby, false, true, false},    // Temperature Warning and recoverd
    {"81", S::Standby, false, false, true},    // Cooling down & sutandby (All Lamp FAIL)
    {"10", S::Failed, false, false, false},    // Power Fail
}};

} // namespace

const PowerCode *powerCode(QStringView code) {
    for (const PowerCode &c : kCodes)
        if (code == QLatin1StringView(c.code.data(), qsizetype(c.code.size())))
            return &c;
    return nullptr;
}

std::string_view powerStateName(PowerState state) {
    switch (state) {
    case S::On:
        return "on";
    case S::WarmingUp:
        return "warming_up";
    case S::Cooling:
        return "cooling";
    case S::Standby:
        return "standby";
    case S::Failed:
        return "failed";
    }
    return "failed";
}

bool powerIsOn(PowerState state) {
    return state == S::On || state == S::WarmingUp;
}

} // namespace kr7::bridge
