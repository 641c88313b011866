#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace kr7 {

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
    std::string_view code; // command code, without prefix and carriage return
    Shape shape;
    Wait wait = {}; // LongWait only
};

// Every button that sends one line per click: 38 singles and the 32 buttons of the input signal grid.
inline constexpr std::array<OneShot, 70> kOneShots{{
    {"Command17", "C00", Shape::Plain},
    {"Command18", "C01", Shape::Plain},
    {"Command27", "C05", Shape::Plain},
    {"Command28", "C06", Shape::Plain},
    {"Command29", "C07", Shape::Plain},
    {"Command53", "C08", Shape::Plain},
    {"Command21", "C0D", Shape::Plain},
    {"Command22", "C0E", Shape::Plain},
    {"Command25", "C43", Shape::Plain},
    {"Command26", "C44", Shape::Plain},
    {"Command31", "C0F", Shape::Plain},
    {"Command32", "C10", Shape::Plain},
    {"Command23", "C1C", Shape::MenuPacing},
    {"Command24", "C1D", Shape::Plain},
    {"Command13", "C89", Shape::MenuPacing},
    {"Command30", "C27", Shape::Plain},
    {"Command14", "C8A", Shape::Plain},
    {"Command3", "C1E", Shape::Plain},
    {"Command4", "CF IMAGE STAND", Shape::LongWait, kPictureWait},
    {"Command10", "CF IMAGE REAL", Shape::LongWait, kPictureWait},
    {"Command11", "CF IMAGE CINEMA", Shape::LongWait, kPictureWait},
    {"Command39", "CF IMAGE CUSTOM1", Shape::LongWait, kPictureWait},
    {"Command40", "CF IMAGE CUSTOM2", Shape::LongWait, kPictureWait},
    {"Command41", "CF IMAGE CUSTOM3", Shape::LongWait, kPictureWait},
    {"Command42", "CF IMAGE CUSTOM4", Shape::LongWait, kPictureWait},
    {"Command56", "CF LAMPMODE FULL", Shape::Plain},
    {"Command57", "CF LAMPMODE HALF", Shape::Plain},
    {"Command97", "CF FANSPEED MAX", Shape::Plain},
    {"Command98", "CF FANSPEED NOR", Shape::Plain},
    {"Command44", "CR0", Shape::Plain},
    {"Command45", "CR1", Shape::Plain},
    {"Command46", "CR3", Shape::Plain},
    {"Command47", "CR4", Shape::Plain},
    {"Command54", "CR6", Shape::Plain},
    {"Command55", "CR7", Shape::Plain},
    {"Command38", "CR9", Shape::Plain},
    {"Command12", "CRA", Shape::Plain},
    {"Command52", "CR ALLPFAIL", Shape::LongWait, kPictureWait},
    // Input signal grid: row = the projector's input, column = signal type. The captions "DVI", "RGB" and
    // "SDI1" send "DIGITAL", "ANALOG" and "HD-SDI1".
    {"Command63", "CF INPUT1 DIGITAL", Shape::LongWait, kGridWait},
    {"Command64", "CF INPUT1 ANALOG", Shape::LongWait, kGridWait},
    {"Command65", "CF INPUT1 VIDEO", Shape::LongWait, kGridWait},
    {"Command66", "CF INPUT1 YPBPR", Shape::LongWait, kGridWait},
    {"Command67", "CF INPUT1 YCBCR", Shape::LongWait, kGridWait},
    {"Command68", "CF INPUT1 S-VIDEO", Shape::LongWait, kGridWait},
    {"Command69", "CF INPUT1 HDCP", Shape::LongWait, kGridWait},
    {"Command70", "CF INPUT1 HD-SDI1", Shape::LongWait, kGridWait},
    {"Command71", "CF INPUT2 DIGITAL", Shape::LongWait, kGridWait},
    {"Command72", "CF INPUT2 ANALOG", Shape::LongWait, kGridWait},
    {"Command73", "CF INPUT2 VIDEO", Shape::LongWait, kGridWait},
    {"Command74", "CF INPUT2 YPBPR", Shape::LongWait, kGridWait},
    {"Command75", "CF INPUT2 YCBCR", Shape::LongWait, kGridWait},
    {"Command76", "CF INPUT2 S-VIDEO", Shape::LongWait, kGridWait},
    {"Command77", "CF INPUT2 HDCP", Shape::LongWait, kGridWait},
    {"Command78", "CF INPUT2 HD-SDI1", Shape::LongWait, kGridWait},
    {"Command79", "CF INPUT3 DIGITAL", Shape::LongWait, kGridWait},
    {"Command80", "CF INPUT3 ANALOG", Shape::LongWait, kGridWait},
    {"Command81", "CF INPUT3 VIDEO", Shape::LongWait, kGridWait},
    {"Command82", "CF INPUT3 YPBPR", Shape::LongWait, kGridWait},
    {"Command83", "CF INPUT3 YCBCR", Shape::LongWait, kGridWait},
    {"Command84", "CF INPUT3 S-VIDEO", Shape::LongWait, kGridWait},
    {"Command85", "CF INPUT3 HDCP", Shape::LongWait, kGridWait},
    {"Command86", "CF INPUT3 HD-SDI1", Shape::LongWait, kGridWait},
    {"Command87", "CF INPUT4 DIGITAL", Shape::LongWait, kGridWait},
    {"Command88", "CF INPUT4 ANALOG", Shape::LongWait, kGridWait},
    {"Command89", "CF INPUT4 VIDEO", Shape::LongWait, kGridWait},
    {"Command90", "CF INPUT4 YPBPR", Shape::LongWait, kGridWait},
    {"Command91", "CF INPUT4 YCBCR", Shape::LongWait, kGridWait},
    {"Command92", "CF INPUT4 S-VIDEO", Shape::LongWait, kGridWait},
    {"Command93", "CF INPUT4 HDCP", Shape::LongWait, kGridWait},
    {"Command94", "CF INPUT4 HD-SDI1", Shape::LongWait, kGridWait},
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
    int repeatCode; // RepeatCode while held
    std::string_view code;
    bool menuCursor = false;
    Pace pace = {};
    bool releaseSpeedsCursor = false; // D.Zoom: its release paces the menu cursor at 5 ms (ArrowMode 3)
};

inline constexpr std::array<Repeat, 19> kRepeats{{
    {.name = "Command15", .repeatCode = 7, .code = "C47", .pace = kLensPace},
    {.name = "Command35", .repeatCode = 8, .code = "C46", .pace = kLensPace},
    {.name = "Command36", .repeatCode = 9, .code = "C4B", .pace = kLensPace},
    {.name = "Command37", .repeatCode = 10, .code = "C4A", .pace = kLensPace},
    {.name = "Command59", .repeatCode = 21, .code = "C5D", .pace = kLensPace},
    {.name = "Command62", .repeatCode = 22, .code = "C5E", .pace = kLensPace},
    {.name = "Command60", .repeatCode = 23, .code = "C5F", .pace = kLensPace},
    {.name = "Command61", .repeatCode = 24, .code = "C60", .pace = kLensPace},
    {.name = "Command48", .repeatCode = 17, .code = "C30", .pace = kStepPace, .releaseSpeedsCursor = true},
    {.name = "Command49", .repeatCode = 18, .code = "C31", .pace = kStepPace, .releaseSpeedsCursor = true},
    {.name = "Command50", .repeatCode = 19, .code = "C8E", .pace = kStepPace},
    {.name = "Command51", .repeatCode = 20, .code = "C8F", .pace = kStepPace},
    {.name = "Command100", .repeatCode = 26, .code = "C91", .pace = kStepPace},
    {.name = "Command43", .repeatCode = 25, .code = "C90", .pace = kStepPace},
    {.name = "Command6", .repeatCode = 13, .code = "C3F", .pace = kSelectPace},
    {.name = "Command5", .repeatCode = 3, .code = "C3C", .menuCursor = true},
    {.name = "Command7", .repeatCode = 4, .code = "C3D", .menuCursor = true},
    {.name = "Command9", .repeatCode = 5, .code = "C3B", .menuCursor = true},
    {.name = "Command8", .repeatCode = 6, .code = "C3A", .menuCursor = true},
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

// The six "PJ Select" options and the prefix each selects.
struct Address {
    std::string_view option;
    std::string_view prefix;
};
inline constexpr std::array<Address, 6> kAddresses{{
    {"Option3", ""},
    {"Option4", "AFFF"},
    {"Option5", "A001"},
    {"Option6", "A002"},
    {"Option7", "A003"},
    {"Option8", "A004"},
}};

} // namespace kr7
