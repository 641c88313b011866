#pragma once

#include <array>
#include <string_view>

namespace kr7 {

// How a one-shot button sends its line.
enum class Shape {
    Plain,      // build and send
    LongWait,   // set the reply and display-clear intervals, then build and send
    MenuPacing, // build and send, then pace the menu cursor buttons (Timer1 200 ms, ArrowMode 1)
};

struct OneShot {
    std::string_view name; // the control's object name
    std::string_view code; // command code, without prefix and carriage return
    Shape shape;
    int replyMs = 0; // LongWait only: Timer2 interval
    int clearMs = 0; // LongWait only: Timer4 interval
};

inline constexpr int kPictureReplyMs = 2000;
inline constexpr int kPictureClearMs = 2500;
inline constexpr int kGridReplyMs = 5000;
inline constexpr int kGridClearMs = 5500;

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
    {"Command4", "CF IMAGE STAND", Shape::LongWait, kPictureReplyMs, kPictureClearMs},
    {"Command10", "CF IMAGE REAL", Shape::LongWait, kPictureReplyMs, kPictureClearMs},
    {"Command11", "CF IMAGE CINEMA", Shape::LongWait, kPictureReplyMs, kPictureClearMs},
    {"Command39", "CF IMAGE CUSTOM1", Shape::LongWait, kPictureReplyMs, kPictureClearMs},
    {"Command40", "CF IMAGE CUSTOM2", Shape::LongWait, kPictureReplyMs, kPictureClearMs},
    {"Command41", "CF IMAGE CUSTOM3", Shape::LongWait, kPictureReplyMs, kPictureClearMs},
    {"Command42", "CF IMAGE CUSTOM4", Shape::LongWait, kPictureReplyMs, kPictureClearMs},
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
    {"Command52", "CR ALLPFAIL", Shape::LongWait, kPictureReplyMs, kPictureClearMs},
    // Input signal grid: row = the projector's input, column = signal type. The captions "DVI", "RGB" and
    // "SDI1" send "DIGITAL", "ANALOG" and "HD-SDI1".
    {"Command63", "CF INPUT1 DIGITAL", Shape::LongWait, kGridReplyMs, kGridClearMs},
    {"Command64", "CF INPUT1 ANALOG", Shape::LongWait, kGridReplyMs, kGridClearMs},
    {"Command65", "CF INPUT1 VIDEO", Shape::LongWait, kGridReplyMs, kGridClearMs},
    {"Command66", "CF INPUT1 YPBPR", Shape::LongWait, kGridReplyMs, kGridClearMs},
    {"Command67", "CF INPUT1 YCBCR", Shape::LongWait, kGridReplyMs, kGridClearMs},
    {"Command68", "CF INPUT1 S-VIDEO", Shape::LongWait, kGridReplyMs, kGridClearMs},
    {"Command69", "CF INPUT1 HDCP", Shape::LongWait, kGridReplyMs, kGridClearMs},
    {"Command70", "CF INPUT1 HD-SDI1", Shape::LongWait, kGridReplyMs, kGridClearMs},
    {"Command71", "CF INPUT2 DIGITAL", Shape::LongWait, kGridReplyMs, kGridClearMs},
    {"Command72", "CF INPUT2 ANALOG", Shape::LongWait, kGridReplyMs, kGridClearMs},
    {"Command73", "CF INPUT2 VIDEO", Shape::LongWait, kGridReplyMs, kGridClearMs},
    {"Command74", "CF INPUT2 YPBPR", Shape::LongWait, kGridReplyMs, kGridClearMs},
    {"Command75", "CF INPUT2 YCBCR", Shape::LongWait, kGridReplyMs, kGridClearMs},
    {"Command76", "CF INPUT2 S-VIDEO", Shape::LongWait, kGridReplyMs, kGridClearMs},
    {"Command77", "CF INPUT2 HDCP", Shape::LongWait, kGridReplyMs, kGridClearMs},
    {"Command78", "CF INPUT2 HD-SDI1", Shape::LongWait, kGridReplyMs, kGridClearMs},
    {"Command79", "CF INPUT3 DIGITAL", Shape::LongWait, kGridReplyMs, kGridClearMs},
    {"Command80", "CF INPUT3 ANALOG", Shape::LongWait, kGridReplyMs, kGridClearMs},
    {"Command81", "CF INPUT3 VIDEO", Shape::LongWait, kGridReplyMs, kGridClearMs},
    {"Command82", "CF INPUT3 YPBPR", Shape::LongWait, kGridReplyMs, kGridClearMs},
    {"Command83", "CF INPUT3 YCBCR", Shape::LongWait, kGridReplyMs, kGridClearMs},
    {"Command84", "CF INPUT3 S-VIDEO", Shape::LongWait, kGridReplyMs, kGridClearMs},
    {"Command85", "CF INPUT3 HDCP", Shape::LongWait, kGridReplyMs, kGridClearMs},
    {"Command86", "CF INPUT3 HD-SDI1", Shape::LongWait, kGridReplyMs, kGridClearMs},
    {"Command87", "CF INPUT4 DIGITAL", Shape::LongWait, kGridReplyMs, kGridClearMs},
    {"Command88", "CF INPUT4 ANALOG", Shape::LongWait, kGridReplyMs, kGridClearMs},
    {"Command89", "CF INPUT4 VIDEO", Shape::LongWait, kGridReplyMs, kGridClearMs},
    {"Command90", "CF INPUT4 YPBPR", Shape::LongWait, kGridReplyMs, kGridClearMs},
    {"Command91", "CF INPUT4 YCBCR", Shape::LongWait, kGridReplyMs, kGridClearMs},
    {"Command92", "CF INPUT4 S-VIDEO", Shape::LongWait, kGridReplyMs, kGridClearMs},
    {"Command93", "CF INPUT4 HDCP", Shape::LongWait, kGridReplyMs, kGridClearMs},
    {"Command94", "CF INPUT4 HD-SDI1", Shape::LongWait, kGridReplyMs, kGridClearMs},
}};

// Press-and-hold buttons. A menu cursor button keeps the repeat interval it finds and sets the send-path
// intervals by ArrowMode; the others carry their own pace.
struct Repeat {
    std::string_view name;
    int repeatCode; // RepeatCode while held
    std::string_view code;
    bool menuCursor = false;
    int repeatMs = 0;         // Timer1
    int replyMs = 0;          // Timer2
    int clearMs = 0;          // Timer4
    bool digitalZoom = false; // its release paces the menu cursor at 5 ms (ArrowMode 3)
};

inline constexpr std::array<Repeat, 19> kRepeats{{
    {"Command15", 7, "C47", false, 50, 25, 25},
    {"Command35", 8, "C46", false, 50, 25, 25},
    {"Command36", 9, "C4B", false, 50, 25, 25},
    {"Command37", 10, "C4A", false, 50, 25, 25},
    {"Command59", 21, "C5D", false, 50, 25, 25},
    {"Command62", 22, "C5E", false, 50, 25, 25},
    {"Command60", 23, "C5F", false, 50, 25, 25},
    {"Command61", 24, "C60", false, 50, 25, 25},
    {"Command48", 17, "C30", false, 250, 200, 245, true},
    {"Command49", 18, "C31", false, 250, 200, 245, true},
    {"Command50", 19, "C8E", false, 250, 200, 245},
    {"Command51", 20, "C8F", false, 250, 200, 245},
    {"Command100", 26, "C91", false, 250, 200, 245},
    {"Command43", 25, "C90", false, 250, 200, 245},
    {"Command6", 13, "C3F", false, 500, 200, 245},
    {"Command5", 3, "C3C", true},
    {"Command7", 4, "C3D", true},
    {"Command9", 5, "C3B", true},
    {"Command8", 6, "C3A", true},
}};

// The repeat table the tick reads: repeat code -> command code.
constexpr const Repeat *findRepeat(int repeatCode) {
    for (const Repeat &r : kRepeats)
        if (r.repeatCode == repeatCode)
            return &r;
    return nullptr;
}

// Menu cursor send-path intervals by ArrowMode (0 leaves them as they are).
struct ArrowPace {
    int arrowMode;
    int replyMs;
    int clearMs;
};
inline constexpr std::array<ArrowPace, 2> kArrowPaces{{{1, 150, 190}, {3, 5, 5}}};

inline constexpr int kMenuRepeatMs = 200;       // Timer1 after MENU "ON" / "A-PC ADJ", and at start
inline constexpr int kDigitalZoomReleaseMs = 5; // Timer1 after a D.Zoom release
inline constexpr int kNormalReplyMs = 500;      // Timer2 at start and after a release
inline constexpr int kNormalClearMs = 1000;     // Timer4 at start and after a release
inline constexpr int kSendReplyMs = 2000;       // SEND
inline constexpr int kSendClearMs = 2500;

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
