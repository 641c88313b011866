#pragma once

#include <array>
#include <string_view>

namespace kr7::status {

struct CodeText {
    std::string_view code; // a leading slice of the RXD monitor text
    std::string_view text; // the status text, exactly as shown
};

inline constexpr std::array<CodeText, 13> kPowerStatus{{
    {" 0 0", " Power ON"},
    {" 8 0", " Stand by"},
    {" 4 0", " Count down"},
    {" 2 0", " Cooling down"},
    {" 1 0", " Power Fail"},
    {" 0 8", " Temperature Warning(Power ON)"},
    {" 0 2", " NO Key input "},
    {" 0 4", " Lamp OFF by PWR Management"},
    {" 2 8", " Temperature Warning & cooling down"},
    {" 2 4", " Lamp OFF & Tempereture Warning by PWR Management"},
    {" 8 8", " Temperature Warning and recoverd"},
    {" 2 1", " Cooling down (All Lamp FAIL)"},
    {" 8 1", " Cooling down & sutandby (All Lamp FAIL)"},
}};

inline constexpr std::array<CodeText, 4> kInputMode{{
    {" 1", " Input mode 1"},
    {" 2", " Input mode 2"},
    {" 3", " Input mode 3"},
    {" 4", " Input mode 4"},
}};

inline constexpr std::array<CodeText, 4> kOrientation{{
    {" 1 1", " Normally"},
    {" 1 0", " Top/Bottom reversal"},
    {" 0 1", " Left/Right reversal"},
    {" 0 0", " Top/Bottom , Left/Right reversal"},
}};

inline constexpr std::array<CodeText, 6> kMuteSignal{{
    {" 0 0", " Video & Audio mute OFF"},
    {" 0 1", " Video mute ON"},
    {" 0 2", " Audio mute ON"},
    {" 0 3", " Video & Audio mute ON"},
    {" 8 0", " No signal"},
    {" F F", " Stand by"},
}};

// Lamp state: mode character 0, 1 or 2, then a hex digit with one bit per lamp that is on.
inline constexpr std::array<CodeText, 48> kLamps{{
    {" 0 0", " All OFF : 4 Lamp mode"},          {" 0 1", " No1 ON  : 4 Lamp mode"},
    {" 0 2", " No2 ON  : 4 Lamp mode"},          {" 0 3", " No1,2 ON  : 4 Lamp mode"},
    {" 0 4", " No3 ON  : 4 Lamp mode"},          {" 0 5", " No1,3 ON  : 4 Lamp mode"},
    {" 0 6", " No2,3 ON  : 4 Lamp mode"},        {" 0 7", " No1,2,3 ON  : 4 Lamp mode"},
    {" 0 8", " No4 ON  : 4 Lamp mode"},          {" 0 9", " No1,4 ON  : 4 Lamp mode"},
    {" 0 A", " No2,4 ON  : 4 Lamp mode"},        {" 0 B", " No1,2,4 ON  : 4 Lamp mode"},
    {" 0 C", " No3,4 ON  : 4 Lamp mode"},        {" 0 D", " No1,3,4 ON  : 4 Lamp mode"},
    {" 0 E", " No2,3,4 ON  : 4 Lamp mode"},      {" 0 F", " All ON  : 4 Lamp mode"},
    {" 1 0", " All OFF : 2 Lamp mode(1,4)"},     {" 1 1", " No1 ON  : 2 Lamp mode(1,4)"},
    {" 1 2", " No2 ON  : 2 Lamp mode(1,4)"},     {" 1 3", " No1,2 ON  : 2 Lamp mode(1,4)"},
    {" 1 4", " No3 ON  : 2 Lamp mode(1,4)"},     {" 1 5", " No1,3 ON  : 2 Lamp mode(1,4)"},
    {" 1 6", " No2,3 ON  : 2 Lamp mode(1,4)"},   {" 1 7", " No1,2,3 ON  : 2 Lamp mode(1,4)"},
    {" 1 8", " No4 ON  : 2 Lamp mode(1,4)"},     {" 1 9", " No1,4 ON  : 2 Lamp mode(1,4)"},
    {" 1 A", " No2,4 ON  : 2 Lamp mode(1,4)"},   {" 1 B", " No1,2,4 ON  : 2 Lamp mode(1,4)"},
    {" 1 C", " No3,4 ON  : 2 Lamp mode(1,4)"},   {" 1 D", " No1,3,4 ON  : 2 Lamp mode(1,4)"},
    {" 1 E", " No2,3,4 ON  : 2 Lamp mode(1,4)"}, {" 1 F", " All ON  : 2 Lamp mode(1,4)"},
    {" 2 0", " All OFF : 2 Lamp mode(2,3)"},     {" 2 1", " No1 ON  : 2 Lamp mode(2,3)"},
    {" 2 2", " No2 ON  : 2 Lamp mode(2,3)"},     {" 2 3", " No1,2 ON  : 2 Lamp mode(2,3)"},
    {" 2 4", " No3 ON  : 2 Lamp mode(2,3)"},     {" 2 5", " No1,3 ON  : 2 Lamp mode(2,3)"},
    {" 2 6", " No2,3 ON  : 2 Lamp mode(2,3)"},   {" 2 7", " No1,2,3 ON  : 2 Lamp mode(2,3)"},
    {" 2 8", " No4 ON  : 2 Lamp mode(2,3)"},     {" 2 9", " No1,4 ON  : 2 Lamp mode(2,3)"},
    {" 2 A", " No2,4 ON  : 2 Lamp mode(2,3)"},   {" 2 B", " No1,2,4 ON  : 2 Lamp mode(2,3)"},
    {" 2 C", " No3,4 ON  : 2 Lamp mode(2,3)"},   {" 2 D", " No1,3,4 ON  : 2 Lamp mode(2,3)"},
    {" 2 E", " No2,3,4 ON  : 2 Lamp mode(2,3)"}, {" 2 F", " All ON  : 2 Lamp mode(2,3)"},
}};

} // namespace kr7::status
