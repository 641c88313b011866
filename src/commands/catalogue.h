#pragma once

#include <QString>

#include <array>
#include <cstdint>
#include <string_view>

namespace kr7 {

// A text of the catalogue (a code, a caption, a prefix) as a QString; the catalogue is plain ASCII.
inline QString fromView(std::string_view s) {
    return QString::fromLatin1(s.data(), qsizetype(s.size()));
}

// How a one-shot button sends its line.
enum class Shape {
    Plain,      // build and send
    LongWait,   // set the reply and display-clear intervals, then build and send
    MenuPacing, // build and send, then pace the menu cursor buttons (Timer1 200 ms, ArrowMode 1)
};

// The reply window (Timer2) and how long the monitor keeps the exchange (Timer4), in milliseconds.
struct Wait {
    int replyMs = 0;
    int clearMs = 0;
};

inline constexpr Wait kNormalWait{.replyMs = 500, .clearMs = 1000};   // at start and after a release
inline constexpr Wait kPictureWait{.replyMs = 2000, .clearMs = 2500}; // picture modes, P-FAIL
inline constexpr Wait kGridWait{.replyMs = 5000, .clearMs = 5500};    // the input signal grid
inline constexpr Wait kSendWait{.replyMs = 2000, .clearMs = 2500};    // SEND

struct OneShot {
    std::string_view name; // the control's object name
    std::string_view what; // what it does, in words (for assistive technology)
    std::string_view code; // command code, without prefix and carriage return
    Shape shape;
    Wait wait = {}; // LongWait only
};

// Every button that sends one line per click: 38 singles and the 32 buttons of the input signal grid.
inline constexpr std::array<OneShot, 70> kOneShots{{
    {"Command17", "POWER ON", "C00", Shape::Plain},
    {"Command18", "POWER OFF", "C01", Shape::Plain},
    {"Command27", "Input mode 1", "C05", Shape::Plain},
    {"Command28", "Input mode 2", "C06", Shape::Plain},
    {"Command29", "Input mode 3", "C07", Shape::Plain},
    {"Command53", "Input mode 4", "C08", Shape::Plain},
    {"Command21", "NO SHOW ON", "C0D", Shape::Plain},
    {"Command22", "NO SHOW OFF", "C0E", Shape::Plain},
    {"Command25", "FREEZE ON", "C43", Shape::Plain},
    {"Command26", "FREEZE OFF", "C44", Shape::Plain},
    {"Command31", "AV size Regular", "C0F", Shape::Plain},
    {"Command32", "AV size Wide", "C10", Shape::Plain},
    {"Command23", "MENU ON", "C1C", Shape::MenuPacing},
    {"Command24", "MENU OFF", "C1D", Shape::Plain},
    {"Command13", "A-PC ADJ", "C89", Shape::MenuPacing},
    {"Command30", "IMAGE", "C27", Shape::Plain},
    {"Command14", "P-TIMER", "C8A", Shape::Plain},
    {"Command3", "DISPLAY CLEAR", "C1E", Shape::Plain},
    {"Command4", "Picture mode STAND", "CF IMAGE STAND", Shape::LongWait, kPictureWait},
    {"Command10", "Picture mode REAL", "CF IMAGE REAL", Shape::LongWait, kPictureWait},
    {"Command11", "Picture mode CINEMA", "CF IMAGE CINEMA", Shape::LongWait, kPictureWait},
    {"Command39", "Picture mode IMAGE1", "CF IMAGE CUSTOM1", Shape::LongWait, kPictureWait},
    {"Command40", "Picture mode IMAGE2", "CF IMAGE CUSTOM2", Shape::LongWait, kPictureWait},
    {"Command41", "Picture mode IMAGE3", "CF IMAGE CUSTOM3", Shape::LongWait, kPictureWait},
    {"Command42", "Picture mode IMAGE4", "CF IMAGE CUSTOM4", Shape::LongWait, kPictureWait},
    {"Command56", "LAMP SELECT 4 LAMP", "CF LAMPMODE FULL", Shape::Plain},
    {"Command57", "LAMP SELECT 2 LAMP", "CF LAMPMODE HALF", Shape::Plain},
    {"Command97", "FAN SPEED MAX", "CF FANSPEED MAX", Shape::Plain},
    {"Command98", "FAN SPEED NOR", "CF FANSPEED NOR", Shape::Plain},
    {"Command44", "STATUS, asks the power state", "CR0", Shape::Plain},
    {"Command45", "MODE, asks the input mode", "CR1", Shape::Plain},
    {"Command46", "L-TIME, asks the lamp hours", "CR3", Shape::Plain},
    {"Command47", "SETTING, asks the picture orientation", "CR4", Shape::Plain},
    {"Command54", "TEMP, asks the temperatures", "CR6", Shape::Plain},
    {"Command55", "L-MODE, asks the lamp state", "CR7", Shape::Plain},
    {"Command38", "PC type, asks the signal of the input", "CR9", Shape::Plain},
    {"Command12", "SETTING 2, asks mute and signal", "CRA", Shape::Plain},
    {"Command52", "P-FAIL, asks for lamp failures", "CR ALLPFAIL", Shape::LongWait, kPictureWait},
    // Input signal grid: row = the projector's input, column = signal type. The captions "DVI", "RGB" and
    // "SDI1" send "DIGITAL", "ANALOG" and "HD-SDI1".
    {"Command63", "Input 1 signal DVI", "CF INPUT1 DIGITAL", Shape::LongWait, kGridWait},
    {"Command64", "Input 1 signal RGB", "CF INPUT1 ANALOG", Shape::LongWait, kGridWait},
    {"Command65", "Input 1 signal VIDEO", "CF INPUT1 VIDEO", Shape::LongWait, kGridWait},
    {"Command66", "Input 1 signal YPbPr", "CF INPUT1 YPBPR", Shape::LongWait, kGridWait},
    {"Command67", "Input 1 signal YCbCr", "CF INPUT1 YCBCR", Shape::LongWait, kGridWait},
    {"Command68", "Input 1 signal S-VIDEO", "CF INPUT1 S-VIDEO", Shape::LongWait, kGridWait},
    {"Command69", "Input 1 signal HDCP", "CF INPUT1 HDCP", Shape::LongWait, kGridWait},
    {"Command70", "Input 1 signal SDI1", "CF INPUT1 HD-SDI1", Shape::LongWait, kGridWait},
    {"Command71", "Input 2 signal DVI", "CF INPUT2 DIGITAL", Shape::LongWait, kGridWait},
    {"Command72", "Input 2 signal RGB", "CF INPUT2 ANALOG", Shape::LongWait, kGridWait},
    {"Command73", "Input 2 signal VIDEO", "CF INPUT2 VIDEO", Shape::LongWait, kGridWait},
    {"Command74", "Input 2 signal YPbPr", "CF INPUT2 YPBPR", Shape::LongWait, kGridWait},
    {"Command75", "Input 2 signal YCbCr", "CF INPUT2 YCBCR", Shape::LongWait, kGridWait},
    {"Command76", "Input 2 signal S-VIDEO", "CF INPUT2 S-VIDEO", Shape::LongWait, kGridWait},
    {"Command77", "Input 2 signal HDCP", "CF INPUT2 HDCP", Shape::LongWait, kGridWait},
    {"Command78", "Input 2 signal SDI1", "CF INPUT2 HD-SDI1", Shape::LongWait, kGridWait},
    {"Command79", "Input 3 signal DVI", "CF INPUT3 DIGITAL", Shape::LongWait, kGridWait},
    {"Command80", "Input 3 signal RGB", "CF INPUT3 ANALOG", Shape::LongWait, kGridWait},
    {"Command81", "Input 3 signal VIDEO", "CF INPUT3 VIDEO", Shape::LongWait, kGridWait},
    {"Command82", "Input 3 signal YPbPr", "CF INPUT3 YPBPR", Shape::LongWait, kGridWait},
    {"Command83", "Input 3 signal YCbCr", "CF INPUT3 YCBCR", Shape::LongWait, kGridWait},
    {"Command84", "Input 3 signal S-VIDEO", "CF INPUT3 S-VIDEO", Shape::LongWait, kGridWait},
    {"Command85", "Input 3 signal HDCP", "CF INPUT3 HDCP", Shape::LongWait, kGridWait},
    {"Command86", "Input 3 signal SDI1", "CF INPUT3 HD-SDI1", Shape::LongWait, kGridWait},
    {"Command87", "Input 4 signal DVI", "CF INPUT4 DIGITAL", Shape::LongWait, kGridWait},
    {"Command88", "Input 4 signal RGB", "CF INPUT4 ANALOG", Shape::LongWait, kGridWait},
    {"Command89", "Input 4 signal VIDEO", "CF INPUT4 VIDEO", Shape::LongWait, kGridWait},
    {"Command90", "Input 4 signal YPbPr", "CF INPUT4 YPBPR", Shape::LongWait, kGridWait},
    {"Command91", "Input 4 signal YCbCr", "CF INPUT4 YCBCR", Shape::LongWait, kGridWait},
    {"Command92", "Input 4 signal S-VIDEO", "CF INPUT4 S-VIDEO", Shape::LongWait, kGridWait},
    {"Command93", "Input 4 signal HDCP", "CF INPUT4 HDCP", Shape::LongWait, kGridWait},
    {"Command94", "Input 4 signal SDI1", "CF INPUT4 HD-SDI1", Shape::LongWait, kGridWait},
}};

// How a held menu cursor button sets the send-path timers. The numbers are the values the panel has always
// given them.
enum class ArrowMode : uint8_t {
    KeepIntervals = 0,  // at start: the cursor keeps whatever reply and display intervals it finds
    MenuIntervals = 1,  // after MENU "ON" or "A-PC ADJ": reply 150 ms, display 190 ms
    RapidIntervals = 3, // after a D.Zoom release: 5 ms both
};

// A held button's pace: the repeat timer (Timer1) and the send-path timers while it is held.
struct Pace {
    int repeatMs = 0;
    Wait wait;
};

inline constexpr Pace kLensPace{.repeatMs = 50, .wait = {.replyMs = 25, .clearMs = 25}}; // zoom, focus, lens
inline constexpr Pace kStepPace{.repeatMs = 250,
                                .wait = {.replyMs = 200, .clearMs = 245}}; // D.Zoom, keystone
inline constexpr Pace kSelectPace{.repeatMs = 500, .wait = {.replyMs = 200, .clearMs = 245}};

// Press-and-hold buttons. A menu cursor button has no pace of its own: it keeps the repeat interval it finds
// and sets the send-path intervals by ArrowMode.
struct Repeat {
    std::string_view name;
    std::string_view what; // what it does, in words; arrows say their direction
    int repeatCode;        // RepeatCode while held
    std::string_view code;
    bool menuCursor = false;
    Pace pace = {};
    bool releaseSpeedsCursor = false; // D.Zoom: its release paces the menu cursor at 5 ms (ArrowMode 3)
};

inline constexpr std::array<Repeat, 19> kRepeats{{
    {.name = "Command15", .what = "Zoom plus", .repeatCode = 7, .code = "C47", .pace = kLensPace},
    {.name = "Command35", .what = "Zoom minus", .repeatCode = 8, .code = "C46", .pace = kLensPace},
    {.name = "Command36", .what = "Focus plus", .repeatCode = 9, .code = "C4B", .pace = kLensPace},
    {.name = "Command37", .what = "Focus minus", .repeatCode = 10, .code = "C4A", .pace = kLensPace},
    {.name = "Command59", .what = "Lens shift up", .repeatCode = 21, .code = "C5D", .pace = kLensPace},
    {.name = "Command62", .what = "Lens shift down", .repeatCode = 22, .code = "C5E", .pace = kLensPace},
    {.name = "Command60", .what = "Lens shift left", .repeatCode = 23, .code = "C5F", .pace = kLensPace},
    {.name = "Command61", .what = "Lens shift right", .repeatCode = 24, .code = "C60", .pace = kLensPace},
    {.name = "Command48",
     .what = "D.Zoom plus",
     .repeatCode = 17,
     .code = "C30",
     .pace = kStepPace,
     .releaseSpeedsCursor = true},
    {.name = "Command49",
     .what = "D.Zoom minus",
     .repeatCode = 18,
     .code = "C31",
     .pace = kStepPace,
     .releaseSpeedsCursor = true},
    {.name = "Command50", .what = "Keystone up", .repeatCode = 19, .code = "C8E", .pace = kStepPace},
    {.name = "Command51", .what = "Keystone down", .repeatCode = 20, .code = "C8F", .pace = kStepPace},
    {.name = "Command100", .what = "Keystone left", .repeatCode = 26, .code = "C91", .pace = kStepPace},
    {.name = "Command43", .what = "Keystone right", .repeatCode = 25, .code = "C90", .pace = kStepPace},
    {.name = "Command6", .what = "Menu select", .repeatCode = 13, .code = "C3F", .pace = kSelectPace},
    {.name = "Command5", .what = "Menu cursor up", .repeatCode = 3, .code = "C3C", .menuCursor = true},
    {.name = "Command7", .what = "Menu cursor down", .repeatCode = 4, .code = "C3D", .menuCursor = true},
    {.name = "Command9", .what = "Menu cursor left", .repeatCode = 5, .code = "C3B", .menuCursor = true},
    {.name = "Command8", .what = "Menu cursor right", .repeatCode = 6, .code = "C3A", .menuCursor = true},
}};

// The repeat table the tick reads: repeat code -> command code.
constexpr const Repeat *findRepeat(int repeatCode) {
    for (const Repeat &r : kRepeats)
        if (r.repeatCode == repeatCode)
            return &r;
    return nullptr;
}

// Menu cursor send-path intervals by ArrowMode (KeepIntervals leaves them as they are).
struct ArrowPace {
    ArrowMode mode;
    Wait wait;
};
inline constexpr std::array<ArrowPace, 2> kArrowPaces{{
    {.mode = ArrowMode::MenuIntervals, .wait = {.replyMs = 150, .clearMs = 190}},
    {.mode = ArrowMode::RapidIntervals, .wait = {.replyMs = 5, .clearMs = 5}},
}};

inline constexpr int kMenuRepeatMs = 200;       // Timer1 after MENU "ON" / "A-PC ADJ", and at start
inline constexpr int kDigitalZoomReleaseMs = 5; // Timer1 after a D.Zoom release

// The status queries by name, for kr7-query: each is the code of a panel button, but for the pressure, which
// only the free command entry sends.
struct Query {
    std::string_view name;
    std::string_view button; // the panel's button that sends it; empty: typed only
    std::string_view code;   // for a query without a button
};
inline constexpr std::array<Query, 9> kQueries{{
    {"power", "Command44", ""},
    {"input", "Command45", ""},
    {"lamp-hours", "Command46", ""},
    {"orientation", "Command47", ""},
    {"temperature", "Command54", ""},
    {"lamps", "Command55", ""},
    {"pc-type", "Command38", ""},
    {"signal", "Command12", ""},
    {"pressure", "", "CR PRESSURE"},
}};

constexpr const OneShot *findOneShot(std::string_view name) {
    for (const OneShot &b : kOneShots)
        if (b.name == name)
            return &b;
    return nullptr;
}

// The code a query name stands for; empty for a word that is no query name.
constexpr std::string_view queryCode(std::string_view name) {
    for (const Query &q : kQueries)
        if (q.name == name)
            return q.button.empty() ? q.code : findOneShot(q.button)->code;
    return {};
}

// The six "PJ Select" options, the prefix each selects, and the unit as kr7-query's --unit names it.
struct Address {
    std::string_view option;
    std::string_view prefix;
    std::string_view unit;
};
inline constexpr std::array<Address, 6> kAddresses{{
    {"Option3", "", "single"},
    {"Option4", "AFFF", "all"},
    {"Option5", "A001", "1"},
    {"Option6", "A002", "2"},
    {"Option7", "A003", "3"},
    {"Option8", "A004", "4"},
}};

// The prefix of a unit as kr7-query names it; no result for an unknown unit.
constexpr const Address *findUnit(std::string_view unit) {
    for (const Address &a : kAddresses)
        if (a.unit == unit)
            return &a;
    return nullptr;
}

} // namespace kr7
