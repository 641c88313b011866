#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "kr7version.h"

namespace kr7::panel {

enum class Kind { Frame, Label, Button, Option, TextBox, Image };
enum class Align { Left, Center, Right };

inline constexpr uint32_t kDefaultColour = 0xFFFFFFFFu; // the platform's own colour
inline constexpr uint32_t kGrey = 0x00C0C0C0;
inline constexpr uint32_t kWhite = 0x00FFFFFF;
inline constexpr uint32_t kGreen = 0x00C0FFC0;  // "ON", SEND, MAX, NOR
inline constexpr uint32_t kRed = 0x00C0C0FF;    // "OFF", CLS
inline constexpr uint32_t kCyan = 0x00FFFFC0;   // most command buttons
inline constexpr uint32_t kOrange = 0x00C0E0FF; // cursor and lens shift arrows
inline constexpr uint32_t kSelect = 0x000080FF; // SELECT
inline constexpr uint32_t kBlue = 0x00FFC0C0;   // right-hand column
inline constexpr uint32_t kYellow = 0x00C0FFFF; // lamp buttons
inline constexpr uint32_t kLineColour = 0x00FF8080;

// One control of the window. Positions and sizes in twips, relative to the container (the window's client
// area when container is empty). Colours are 0x00BBGGRR. Font is a code 'A'..'J'; 0 means the window's font.
struct Control {
    Kind kind;
    std::string_view name;
    std::string_view caption;
    std::string_view container;
    int left, top, width, height;
    uint32_t back = kGrey;
    char font = 0;
    uint32_t fore = 0x00000000;
    Align align = Align::Left;
    bool border = false;
    bool hidden = false;
    bool checked = false;
};

struct Line {
    std::string_view name;
    int x1, y1, x2, y2;
};

inline constexpr std::string_view kCaption = "VANO   KR7    CONTROL   Ver." KR7_VERSION;
inline constexpr int kClientWidth = 9495;
inline constexpr int kClientHeight = 8730;
// Title bar and borders, nominal on every platform, so that each view shows exactly its bands.
inline constexpr int kNominalFrame = 435;
inline constexpr int kLineWidthPx = 2;

// Outer heights of the four views.
inline constexpr int kCompactHeight = 5350;
inline constexpr int kDataHeight = 6645;
inline constexpr int kEnlargedHeight = 7200;
inline constexpr int kFullHeight = 9100;
inline constexpr int kToggleThreshold = 6000;

using K = Kind;
using A = Align;

inline constexpr std::array<Control, 146> kControls{{
    // Band 1: power, input mode, menu, the picture, lens shift.
    {K::Frame, "Frame1", "", "", 120, 240, 1695, 975, kGrey, 'C'},
    {K::Label, "Label1", "POWER", "Frame1", 240, 240, 1095, 255, kGrey, 'A', 0x000000C0, A::Center},
    {K::Button, "Command17", "ON", "Frame1", 120, 600, 615, 300, kGreen, 'D'},
    {K::Button, "Command18", "OFF", "Frame1", 960, 600, 615, 300, kRed, 'D'},
    {K::Frame, "Frame2", "", "", 2160, 240, 3132, 975, kGrey, 'C'},
    {K::Label, "Label2", "INPUT MODE SET", "Frame2", 600, 240, 1935, 255, kGrey, 'A', 0, A::Center},
    {K::Button, "Command27", "1", "Frame2", 240, 600, 495, 300, kCyan, 'D'},
    {K::Button, "Command28", "2", "Frame2", 960, 600, 495, 300, kCyan, 'D'},
    {K::Button, "Command29", "3", "Frame2", 1680, 600, 495, 300, kCyan, 'D'},
    {K::Button, "Command53", "4", "Frame2", 2400, 600, 495, 300, kCyan, 'D'},
    {K::Frame, "Frame6", "", "", 5640, 240, 1695, 975, kGrey, 'C'},
    {K::Label, "Label7", "MENU", "Frame6", 360, 240, 975, 255, kGrey, 'A', 0, A::Center},
    {K::Button, "Command23", "ON", "Frame6", 120, 600, 615, 300, kGreen, 'D'},
    {K::Button, "Command24", "OFF", "Frame6", 960, 600, 615, 300, kRed, 'D'},
    {K::Image, "Image1", "", "", 8160, 120, 1200, 390, 0x00B4B4B4},
    {K::Frame, "Frame10", "", "", 7680, 600, 1692, 1695, kGrey, 'G'},
    {K::Label, "Label20", "LENS SHIFT", "Frame10", 120, 195, 1455, 300, kGrey, 'A', 0, A::Center},
    {K::Button, "Command59", "↑", "Frame10", 600, 600, 492, 252, kOrange, 'G'},
    {K::Button, "Command60", "←", "Frame10", 240, 960, 492, 252, kOrange, 'G'},
    {K::Button, "Command61", "→", "Frame10", 960, 960, 492, 252, kOrange, 'G'},
    {K::Button, "Command62", "↓", "Frame10", 588, 1320, 492, 252, kOrange, 'G'},
    // Band 2: no-show, freeze, screen size.
    {K::Frame, "Frame4", "", "", 120, 1440, 1695, 855, kGrey, 'C'},
    {K::Label, "Label5", "NO SHOW", "Frame4", 360, 210, 1095, 285, kGrey, 'A', 0, A::Center},
    {K::Button, "Command21", "ON", "Frame4", 120, 480, 615, 300, kGreen, 'D'},
    {K::Button, "Command22", "OFF", "Frame4", 960, 480, 615, 300, kRed, 'D'},
    {K::Frame, "Frame7", "", "", 2160, 1440, 1695, 855, kGrey, 'C'},
    {K::Label, "Label8", "FREEZE", "Frame7", 240, 210, 1215, 285, kGrey, 'A', 0, A::Center},
    {K::Button, "Command25", "ON", "Frame7", 120, 480, 615, 300, kGreen, 'D'},
    {K::Button, "Command26", "OFF", "Frame7", 960, 480, 615, 300, kRed, 'D'},
    {K::Frame, "Frame5", "", "", 4320, 1440, 1815, 855, kGrey, 'C'},
    {K::Label, "Label6", "AV Size", "Frame5", 240, 210, 1335, 285, kGrey, 'A', 0, A::Center},
    {K::Button, "Command31", "Regular", "Frame5", 120, 480, 855, 300, kCyan, 'C'},
    {K::Button, "Command32", "Wide", "Frame5", 1080, 480, 615, 300, kCyan, 'C'},
    // Band 3: the menu cursor cross, the adjustment buttons, the right-hand column.
    {K::Button, "Command5", "↑", "", 1200, 2520, 855, 375, kOrange, 'D'},
    {K::Button, "Command9", "←", "", 240, 3000, 855, 375, kOrange, 'D'},
    {K::Button, "Command6", "SELECT", "", 1200, 3000, 855, 375, kSelect, 'B'},
    {K::Button, "Command8", "→", "", 2160, 3000, 855, 375, kOrange, 'D'},
    {K::Button, "Command7", "↓", "", 1200, 3480, 855, 375, kOrange, 'D'},
    {K::Label, "Label3", "VOL", "", 3600, 2520, 495, 255, kGrey, 'A', 0, A::Center},
    {K::Label, "Label13", "Zoom", "", 4440, 2520, 492, 252, kGrey, 'B'},
    {K::Button, "Command15", "+", "", 4440, 2880, 375, 255, kCyan, 'B'},
    {K::Button, "Command35", "-", "", 4440, 3240, 375, 255, kCyan, 'B'},
    {K::Label, "Label14", "Focus", "", 5280, 2520, 615, 255, kGrey, 'B'},
    {K::Button, "Command36", "+", "", 5280, 2880, 375, 255, kCyan, 'B'},
    {K::Button, "Command37", "-", "", 5280, 3240, 375, 255, kCyan, 'B'},
    {K::Label, "Label17", "D.Zoom", "", 6360, 2520, 735, 255, kGrey, 'B'},
    {K::Button, "Command48", "+", "", 6480, 2880, 375, 255, kCyan, 'C'},
    {K::Button, "Command49", "-", "", 6480, 3240, 375, 255, kCyan, 'B'},
    {K::Label, "Label18", "Keystone", "", 7320, 2520, 855, 255, kGrey, 'B'},
    {K::Button, "Command50", "↑", "", 7440, 2880, 375, 255, kCyan, 'B'},
    {K::Button, "Command51", "↓", "", 7440, 3240, 375, 255, kCyan, 'B'},
    {K::Button, "Command100", "←", "", 7030, 3120, 360, 255, kCyan, 'A'},
    {K::Button, "Command43", "→", "", 7850, 3120, 360, 255, kCyan, 'A'},
    {K::Button, "Command13", "A-PC ADJ", "", 8400, 2760, 975, 250, kBlue, 'B'},
    {K::Button, "Command30", "IMAGE", "", 8400, 3120, 975, 255, kBlue, 'B'},
    {K::Button, "Command14", "P-TIMER", "", 8400, 3360, 975, 250, kBlue, 'B'},
    {K::Button, "Command3", "DISPLAY CLEAR", "", 8400, 3600, 975, 492, kBlue, 'B'},
    // Band 4: picture modes, the port settings, lamp selection, END.
    {K::Button, "Command4", "STAND", "", 240, 4080, 975, 255, kCyan, 'B'},
    {K::Button, "Command10", "REAL", "", 1200, 4080, 975, 255, kCyan, 'B'},
    {K::Button, "Command11", "CINEMA", "", 2160, 4080, 975, 255, kCyan, 'B'},
    {K::Button, "Command39", "IMAGE1", "", 240, 4320, 975, 255, kCyan, 'B'},
    {K::Button, "Command40", "IMAGE2", "", 1200, 4320, 975, 255, kCyan, 'B'},
    {K::Button, "Command41", "IMAGE3", "", 2160, 4320, 975, 255, kCyan, 'B'},
    {K::Button, "Command42", "IMAGE4", "", 240, 4560, 975, 255, kCyan, 'B'},
    {K::Button, "Command33", "COM", "", 4080, 4200, 1815, 375, kDefaultColour, 'C'},
    {K::Frame, "Frame8", "", "", 3480, 3600, 2775, 1185, kGrey, 'C', 0, A::Left, false, true},
    {K::Option, "Option1", "COM1", "Frame8", 240, 240, 1215, 255, kGrey, 'A'},
    {K::Option, "Option2", "COM2", "Frame8", 1560, 240, 1095, 255, kGrey, 'A'},
    {K::Frame, "Frame13", "", "Frame8", 120, 480, 2535, 615, kGrey, 'A'},
    {K::Option, "Option9", "19200", "Frame13", 120, 240, 1095, 255, kGrey, 'A', 0, A::Left, false, false,
     true},
    {K::Option, "Option10", "9600", "Frame13", 1440, 240, 975, 300, kGrey, 'A'},
    {K::Label, "Label19", "LAMP SELECT", "", 6600, 3720, 1332, 252, kGrey, 'B'},
    {K::Button, "Command56", "4 LAMP", "", 6600, 3960, 1200, 372, kYellow, 'B'},
    {K::Button, "Command57", "2 LAMP", "", 6600, 4320, 1200, 372, kYellow, 'B'},
    {K::Button, "Command16", "END", "", 8400, 4320, 975, 375, kGrey, 'A'},
    // Band 5: the traffic monitor, the data display button, the status queries.
    {K::Frame, "Frame9", "", "", 45, 4920, 6312, 1290, kGrey, 'C'},
    {K::Label, "Label9", "TXD", "Frame9", 105, 210, 390, 285, kGrey, 'B', 0, A::Right},
    {K::Label, "Label11", "", "Frame9", 600, 180, 5610, 300, kWhite, 'J', 0, A::Left, true},
    {K::Label, "Label10", "RXD", "Frame9", 60, 540, 450, 300, kGrey, 'B', 0, A::Right},
    {K::Label, "Label12", "", "Frame9", 600, 540, 5616, 300, kWhite, 'J', 0, A::Left, true},
    {K::Label, "Label23", "STATUS", "Frame9", 120, 1005, 795, 225, kGrey, 'F'},
    {K::Label, "Label22", "", "Frame9", 930, 900, 5295, 300, kWhite, 'D', 0x000000FF, A::Left, true},
    {K::Button, "Command34", "データを表示する", "", 6615, 5040, 1200, 375, kGrey, 'C', 0, A::Left, false,
     true},
    {K::Button, "Command52", "P-FAIL", "", 8400, 5160, 975, 255, kCyan, 'A'},
    {K::Button, "Command44", "STATUS", "", 6480, 5640, 975, 255, kCyan, 'E'},
    {K::Button, "Command46", "L-TIME", "", 7440, 5640, 975, 255, kCyan, 'E'},
    {K::Button, "Command54", "TEMP", "", 8400, 5640, 975, 252, kCyan, 'E'},
    {K::Button, "Command45", "MODE", "", 6480, 5880, 975, 255, kCyan, 'E'},
    {K::Button, "Command47", "SETTING", "", 7440, 5880, 975, 255, kCyan, 'E'},
    {K::Button, "Command55", "L-MODE", "", 8400, 5880, 975, 252, kCyan, 'E'},
    // Band 6: projector selection.
    {K::Frame, "Frame11", "", "", 75, 6225, 6765, 465, kGrey, 'G'},
    {K::Label, "Label21", "PJ Select", "Frame11", 60, 150, 1050, 255, kGrey, 'F'},
    {K::Option, "Option3", "SINGLE", "Frame11", 1155, 168, 1095, 225, kGrey, 'F', 0, A::Left, false, false,
     true},
    {K::Option, "Option4", "ALL", "Frame11", 2280, 165, 855, 225, kGrey, 'F'},
    {K::Option, "Option5", "001", "Frame11", 3240, 180, 735, 225, kGrey, 'F'},
    {K::Option, "Option6", "002", "Frame11", 4080, 180, 735, 225, kGrey, 'F'},
    {K::Option, "Option7", "003", "Frame11", 4920, 180, 795, 225, kGrey, 'F'},
    {K::Option, "Option8", "004", "Frame11", 5880, 180, 795, 225, kGrey, 'F'},
    {K::Button, "Command38", "PC type", "", 7080, 6240, 1095, 255, kCyan, 'E'},
    {K::Button, "Command12", "SETTING 2", "", 8160, 6240, 1215, 252, kCyan, 'E'},
    // Band 7: the input signal grid (row = input, column = signal type) and fan speed.
    {K::Frame, "Frame14", "", "", 120, 6735, 7215, 1320, kGrey, 'A'},
    {K::Label, "Label15", "1", "Frame14", 120, 240, 255, 255},
    {K::Button, "Command63", "DVI", "Frame14", 360, 240, 735, 255, kCyan, 'B'},
    {K::Button, "Command64", "RGB", "Frame14", 1080, 240, 735, 255, kCyan, 'B'},
    {K::Button, "Command65", "VIDEO", "Frame14", 1800, 240, 975, 255, kCyan, 'B'},
    {K::Button, "Command66", "YPbPr", "Frame14", 2760, 240, 975, 255, kCyan, 'B'},
    {K::Button, "Command67", "YCbCr", "Frame14", 3720, 240, 975, 255, kCyan, 'B'},
    {K::Button, "Command68", "S-VIDEO", "Frame14", 4680, 240, 975, 255, kCyan, 'B'},
    {K::Button, "Command69", "HDCP", "Frame14", 5640, 240, 735, 255, kCyan, 'B'},
    {K::Button, "Command70", "SDI1", "Frame14", 6360, 240, 735, 255, kCyan, 'B'},
    {K::Label, "Label16", "2", "Frame14", 120, 480, 255, 255},
    {K::Button, "Command71", "DVI", "Frame14", 360, 480, 735, 255, kCyan, 'B'},
    {K::Button, "Command72", "RGB", "Frame14", 1080, 480, 735, 255, kCyan, 'B'},
    {K::Button, "Command73", "VIDEO", "Frame14", 1800, 480, 975, 255, kCyan, 'B'},
    {K::Button, "Command74", "YPbPr", "Frame14", 2760, 480, 975, 255, kCyan, 'B'},
    {K::Button, "Command75", "YCbCr", "Frame14", 3720, 480, 975, 255, kCyan, 'B'},
    {K::Button, "Command76", "S-VIDEO", "Frame14", 4680, 480, 975, 255, kCyan, 'B'},
    {K::Button, "Command77", "HDCP", "Frame14", 5640, 480, 735, 255, kCyan, 'B'},
    {K::Button, "Command78", "SDI1", "Frame14", 6360, 480, 735, 255, kCyan, 'B'},
    {K::Label, "Label24", "3", "Frame14", 120, 720, 255, 255},
    {K::Button, "Command79", "DVI", "Frame14", 360, 720, 735, 255, kCyan, 'B'},
    {K::Button, "Command80", "RGB", "Frame14", 1080, 720, 735, 255, kCyan, 'B'},
    {K::Button, "Command81", "VIDEO", "Frame14", 1800, 720, 975, 255, kCyan, 'B'},
    {K::Button, "Command82", "YPbPr", "Frame14", 2760, 720, 975, 255, kCyan, 'B'},
    {K::Button, "Command83", "YCbCr", "Frame14", 3720, 720, 975, 255, kCyan, 'B'},
    {K::Button, "Command84", "S-VIDEO", "Frame14", 4680, 720, 975, 255, kCyan, 'B'},
    {K::Button, "Command85", "HDCP", "Frame14", 5640, 720, 735, 255, kCyan, 'B'},
    {K::Button, "Command86", "SDI1", "Frame14", 6360, 720, 735, 255, kCyan, 'B'},
    {K::Label, "Label25", "4", "Frame14", 120, 960, 255, 255},
    {K::Button, "Command87", "DVI", "Frame14", 360, 960, 735, 255, kCyan, 'B'},
    {K::Button, "Command88", "RGB", "Frame14", 1080, 960, 735, 255, kCyan, 'B'},
    {K::Button, "Command89", "VIDEO", "Frame14", 1800, 960, 975, 255, kCyan, 'B'},
    {K::Button, "Command90", "YPbPr", "Frame14", 2760, 960, 975, 255, kCyan, 'B'},
    {K::Button, "Command91", "YCbCr", "Frame14", 3720, 960, 975, 255, kCyan, 'B'},
    {K::Button, "Command92", "S-VIDEO", "Frame14", 4680, 960, 975, 255, kCyan, 'B'},
    {K::Button, "Command93", "HDCP", "Frame14", 5640, 960, 735, 255, kCyan, 'B'},
    {K::Button, "Command94", "SDI1", "Frame14", 6360, 960, 735, 255, kCyan, 'B'},
    {K::Frame, "Frame16", "", "", 7440, 6750, 1935, 945, kGrey, 'A'},
    {K::Label, "Label27", "FAN SPEED", "Frame16", 345, 285, 1215, 255, kGrey, 'A'},
    {K::Button, "Command97", "MAX", "Frame16", 120, 600, 855, 255, kGreen, 'A'},
    {K::Button, "Command98", "NOR", "Frame16", 960, 600, 855, 255, kGreen, 'A'},
    // Band 8: free command entry.
    {K::Frame, "Frame15", "", "", 120, 8055, 7215, 570, kGrey, 'A'},
    {K::Label, "Label26", "CMD", "Frame15", 120, 240, 495, 255, kGrey, 'H'},
    {K::TextBox, "Text1", "", "Frame15", 600, 165, 5055, 345, kDefaultColour, 'I'},
    {K::Button, "Command95", "SEND", "Frame15", 5760, 240, 735, 255, kGreen, 'A'},
    {K::Button, "Command96", "CLS", "Frame15", 6480, 240, 615, 255, kRed, 'A'},
}};

// The outline of the menu cursor cross, on the window.
inline constexpr std::array<Line, 12> kLines{{
    {"Line7", 1080, 2400, 2160, 2400},
    {"Line1", 1080, 2400, 1080, 2880},
    {"Line2", 2160, 2400, 2160, 2880},
    {"Line8", 120, 2880, 1080, 2880},
    {"Line9", 2160, 2880, 3120, 2880},
    {"Line6", 120, 2880, 120, 3480},
    {"Line3", 3120, 2880, 3120, 3480},
    {"Line10", 120, 3480, 1080, 3480},
    {"Line12", 2160, 3480, 3120, 3480},
    {"Line5", 1080, 3480, 1080, 3960},
    {"Line4", 2160, 3480, 2160, 3960},
    {"Line11", 1080, 3960, 2160, 3960},
}};

struct FontSpec {
    char code;
    std::string_view face;
    double points;
    int weight; // 400 regular, 700 bold
};

inline constexpr std::string_view kGothic = "ＭＳ ゴシック";
inline constexpr std::string_view kPGothic = "ＭＳ Ｐゴシック";

inline constexpr std::array<FontSpec, 10> kFonts{{
    {'A', kGothic, 9, 700},
    {'B', kGothic, 9, 400},
    {'C', kPGothic, 9, 400},
    {'D', kPGothic, 9, 700},
    {'E', kGothic, 8.25, 700},
    {'F', kGothic, 8.25, 400},
    {'G', kPGothic, 7.5, 400},
    {'H', kGothic, 9.75, 400},
    {'I', kGothic, 9.75, 700},
    {'J', kPGothic, 9.75, 700},
}};

constexpr const Control *findControl(std::string_view name) {
    for (const Control &c : kControls)
        if (c.name == name)
            return &c;
    return nullptr;
}

} // namespace kr7::panel
