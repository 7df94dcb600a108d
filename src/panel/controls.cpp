#include "panel/controls.h"

#include <algorithm>
#include <array>

namespace mero::panel {
namespace {

// clang-format off
// name, kind, container, caption, left, top, width, height, colour, font, tab,
// alignment, bordered, visible at start, text colour, marked at start
constexpr std::array kControls = std::to_array<ControlRow>({
    {"Image1", Kind::Picture, "window", "", 8160, 120, 1200, 390, Colour::None, {}, -1, Align::Left, false, true, {0, 0, 0}},
    {"Command33", Kind::Button, "window", "COM", 4080, 4200, 1815, 375, Colour::Face, {Face::PGothic, 9, false}, 41, Align::Left, false, true, {0, 0, 0}},
    {"Command16", Kind::Button, "window", "END", 8400, 4320, 975, 375, Colour::Grey, {Face::Gothic, 9, true}, 26, Align::Left, false, true, {0, 0, 0}},
    {"Frame8", Kind::Frame, "window", "", 3480, 3600, 2775, 1185, Colour::Grey, {}, 42, Align::Left, false, false, {0, 0, 0}},
    {"Option1", Kind::Option, "Frame8", "COM1", 240, 240, 1215, 255, Colour::Grey, {Face::Gothic, 9, true}, 43, Align::Left, false, true, {0, 0, 0}},
    {"Option2", Kind::Option, "Frame8", "COM2", 1560, 240, 1095, 255, Colour::Grey, {Face::Gothic, 9, true}, 44, Align::Left, false, true, {0, 0, 0}},
    {"Frame13", Kind::Frame, "Frame8", "", 120, 480, 2535, 615, Colour::Grey, {}, 70, Align::Left, false, true, {0, 0, 0}},
    {"Option9", Kind::Option, "Frame13", "19200", 120, 240, 1095, 255, Colour::Grey, {Face::Gothic, 9, true}, 71, Align::Left, false, true, {0, 0, 0}, true},
    {"Option10", Kind::Option, "Frame13", "9600", 1440, 240, 975, 300, Colour::Grey, {Face::Gothic, 9, true}, 72, Align::Left, false, true, {0, 0, 0}},
    {"Frame9", Kind::Frame, "window", "", 45, 4920, 6312, 1290, Colour::Grey, {}, 45, Align::Left, false, true, {0, 0, 0}},
    {"Label9", Kind::Label, "Frame9", "TXD", 105, 210, 390, 285, Colour::Grey, {Face::Gothic, 9, false}, 46, Align::Right, false, true, {0, 0, 0}},
    {"Label11", Kind::Label, "Frame9", "", 600, 180, 5610, 300, Colour::White, {Face::PGothic, 9.75, true}, 48, Align::Left, true, true, {0, 0, 0}},
    {"Label10", Kind::Label, "Frame9", "RXD", 75, 555, 450, 300, Colour::Grey, {Face::Gothic, 9, false}, 47, Align::Right, false, true, {0, 0, 0}},
    {"Label12", Kind::Label, "Frame9", "", 600, 540, 5616, 300, Colour::White, {Face::PGothic, 9.75, true}, 49, Align::Left, true, true, {0, 0, 0}},
    {"Label23", Kind::Label, "Frame9", "STATUS", 120, 960, 735, 225, Colour::Grey, {Face::Gothic, 8.25, false}, 104, Align::Left, false, true, {0, 0, 0}},
    {"Label22", Kind::Label, "Frame9", "", 930, 915, 5295, 300, Colour::White, {Face::PGothic, 9, true}, 103, Align::Left, true, true, {255, 0, 0}},
    {"Command34", Kind::Button, "window", "データを表示する", 6600, 5040, 1200, 375, Colour::Grey, {Face::PGothic, 9, false}, 50, Align::Left, false, false, {0, 0, 0}},
    {"Frame15", Kind::Frame, "window", "", 120, 8040, 7215, 570, Colour::Grey, {}, 94, Align::Left, false, true, {0, 0, 0}},
    {"Label26", Kind::Label, "Frame15", "CMD", 120, 240, 495, 255, Colour::Grey, {Face::Gothic, 9.75, false}, 98, Align::Left, false, true, {0, 0, 0}},
    {"Text1", Kind::TextBox, "Frame15", "", 600, 165, 5055, 345, Colour::White, {Face::Gothic, 9.75, true}, 95, Align::Left, false, true, {0, 0, 0}},
    {"Command95", Kind::Button, "Frame15", "SEND", 5760, 240, 735, 255, Colour::Green, {Face::Gothic, 9, true}, 96, Align::Left, false, true, {0, 0, 0}},
    {"Command96", Kind::Button, "Frame15", "CLS", 6480, 240, 615, 255, Colour::Red, {Face::Gothic, 9, true}, 97, Align::Left, false, true, {0, 0, 0}},
    {"Frame1", Kind::Frame, "window", "", 120, 240, 1695, 975, Colour::Grey, {}, 0, Align::Left, false, true, {0, 0, 0}},
    {"Label1", Kind::Label, "Frame1", "POWER", 240, 240, 1095, 255, Colour::Grey, {Face::Gothic, 9, true}, 2, Align::Centre, false, true, {192, 0, 0}},
    {"Command17", Kind::Button, "Frame1", "ON", 120, 600, 615, 300, Colour::Green, {Face::PGothic, 9, true}, 1, Align::Left, false, true, {0, 0, 0}},
    {"Command18", Kind::Button, "Frame1", "OFF", 960, 600, 615, 300, Colour::Red, {Face::PGothic, 9, true}, 27, Align::Left, false, true, {0, 0, 0}},
    {"Frame2", Kind::Frame, "window", "", 2160, 240, 2775, 975, Colour::Grey, {}, 3, Align::Left, false, true, {0, 0, 0}},
    {"Label2", Kind::Label, "Frame2", "INPUT MODE SET", 480, 240, 1935, 255, Colour::Grey, {Face::Gothic, 9, true}, 4, Align::Centre, false, true, {0, 0, 0}},
    {"Command27", Kind::Button, "Frame2", "PC1", 240, 600, 495, 300, Colour::Cyan, {Face::PGothic, 9, true}, 36, Align::Left, false, true, {0, 0, 0}},
    {"Command28", Kind::Button, "Frame2", "PC2", 960, 600, 495, 300, Colour::Cyan, {Face::PGothic, 9, true}, 37, Align::Left, false, true, {0, 0, 0}},
    {"Command29", Kind::Button, "Frame2", "Video", 1680, 600, 735, 300, Colour::Cyan, {Face::PGothic, 9, true}, 38, Align::Left, false, true, {0, 0, 0}},
    {"Frame6", Kind::Frame, "window", "", 5280, 240, 1695, 975, Colour::Grey, {}, 14, Align::Left, false, true, {0, 0, 0}},
    {"Label7", Kind::Label, "Frame6", "MENU", 360, 240, 975, 255, Colour::Grey, {Face::Gothic, 9, true}, 15, Align::Centre, false, true, {0, 0, 0}},
    {"Command23", Kind::Button, "Frame6", "ON", 120, 600, 615, 300, Colour::Green, {Face::PGothic, 9, true}, 32, Align::Left, false, true, {0, 0, 0}},
    {"Command24", Kind::Button, "Frame6", "OFF", 960, 600, 615, 300, Colour::Red, {Face::PGothic, 9, true}, 33, Align::Left, false, true, {0, 0, 0}},
    {"Frame3", Kind::Frame, "window", "", 120, 1440, 1695, 855, Colour::Grey, {}, 8, Align::Left, false, true, {0, 0, 0}},
    {"Label4", Kind::Label, "Frame3", "SOUND MUTE", 120, 195, 1455, 300, Colour::Grey, {Face::Gothic, 9, true}, 9, Align::Centre, false, true, {0, 0, 0}},
    {"Command19", Kind::Button, "Frame3", "ON", 120, 480, 615, 300, Colour::Green, {Face::PGothic, 9, true}, 28, Align::Left, false, true, {0, 0, 0}},
    {"Command20", Kind::Button, "Frame3", "OFF", 960, 480, 615, 300, Colour::Red, {Face::PGothic, 9, true}, 29, Align::Left, false, true, {0, 0, 0}},
    {"Frame4", Kind::Frame, "window", "", 2520, 1440, 1695, 855, Colour::Grey, {}, 10, Align::Left, false, true, {0, 0, 0}},
    {"Label5", Kind::Label, "Frame4", "NO SHOW", 360, 210, 1095, 285, Colour::Grey, {Face::Gothic, 9, true}, 11, Align::Centre, false, true, {0, 0, 0}},
    {"Command21", Kind::Button, "Frame4", "ON", 120, 480, 615, 300, Colour::Green, {Face::PGothic, 9, true}, 30, Align::Left, false, true, {0, 0, 0}},
    {"Command22", Kind::Button, "Frame4", "OFF", 960, 480, 615, 300, Colour::Red, {Face::PGothic, 9, true}, 31, Align::Left, false, true, {0, 0, 0}},
    {"Frame7", Kind::Frame, "window", "", 5040, 1440, 1695, 855, Colour::Grey, {}, 22, Align::Left, false, true, {0, 0, 0}},
    {"Label8", Kind::Label, "Frame7", "FREEZE", 240, 210, 1215, 285, Colour::Grey, {Face::Gothic, 9, true}, 23, Align::Centre, false, true, {0, 0, 0}},
    {"Command25", Kind::Button, "Frame7", "ON", 120, 480, 615, 300, Colour::Green, {Face::PGothic, 9, true}, 34, Align::Left, false, true, {0, 0, 0}},
    {"Command26", Kind::Button, "Frame7", "OFF", 960, 480, 615, 300, Colour::Red, {Face::PGothic, 9, true}, 35, Align::Left, false, true, {0, 0, 0}},
    {"Frame5", Kind::Frame, "window", "", 7440, 1440, 1815, 855, Colour::Grey, {}, 12, Align::Left, false, true, {0, 0, 0}},
    {"Label6", Kind::Label, "Frame5", "AV Size", 240, 210, 1335, 285, Colour::Grey, {Face::Gothic, 9, true}, 13, Align::Centre, false, true, {0, 0, 0}},
    {"Command31", Kind::Button, "Frame5", "Regular", 120, 480, 855, 300, Colour::Cyan, {Face::PGothic, 9, false}, 39, Align::Left, false, true, {0, 0, 0}},
    {"Command32", Kind::Button, "Frame5", "Wide", 1080, 480, 615, 300, Colour::Cyan, {Face::PGothic, 9, false}, 40, Align::Left, false, true, {0, 0, 0}},
    {"Command5", Kind::Button, "window", "↑", 1200, 2520, 855, 375, Colour::Peach, {Face::PGothic, 9, true}, 17, Align::Left, false, true, {0, 0, 0}},
    {"Command9", Kind::Button, "window", "←", 240, 3000, 855, 375, Colour::Peach, {Face::PGothic, 9, true}, 21, Align::Left, false, true, {0, 0, 0}},
    {"Command6", Kind::Button, "window", "SELECT", 1200, 3000, 855, 375, Colour::Orange, {Face::Gothic, 9, false}, 18, Align::Left, false, true, {0, 0, 0}},
    {"Command8", Kind::Button, "window", "→", 2160, 3000, 855, 375, Colour::Peach, {Face::PGothic, 9, true}, 20, Align::Left, false, true, {0, 0, 0}},
    {"Command7", Kind::Button, "window", "↓", 1200, 3480, 855, 375, Colour::Peach, {Face::PGothic, 9, true}, 19, Align::Left, false, true, {0, 0, 0}},
    {"Label3", Kind::Label, "window", "VOL", 3600, 2520, 495, 255, Colour::Grey, {Face::Gothic, 9, true}, 7, Align::Centre, false, true, {0, 0, 0}},
    {"Command1", Kind::Button, "window", "+", 3600, 2880, 375, 255, Colour::Apricot, {Face::Gothic, 9, true}, 5, Align::Left, false, true, {0, 0, 0}},
    {"Command2", Kind::Button, "window", "-", 3600, 3240, 375, 255, Colour::Apricot, {Face::Gothic, 9, true}, 6, Align::Left, false, true, {0, 0, 0}},
    {"Label13", Kind::Label, "window", "Brightness", 4560, 2520, 975, 255, Colour::Grey, {Face::Gothic, 9, false}, 53, Align::Left, false, true, {0, 0, 0}},
    {"Command15", Kind::Button, "window", "+", 4800, 2880, 375, 255, Colour::Cyan, {Face::Gothic, 9, false}, 51, Align::Left, false, true, {0, 0, 0}},
    {"Command35", Kind::Button, "window", "-", 4800, 3240, 375, 255, Colour::Cyan, {Face::Gothic, 9, false}, 52, Align::Left, false, true, {0, 0, 0}},
    {"Label17", Kind::Label, "window", "D.Zoom", 6360, 2520, 735, 255, Colour::Grey, {Face::Gothic, 9, false}, 60, Align::Left, false, true, {0, 0, 0}},
    {"Command48", Kind::Button, "window", "+", 6480, 2880, 375, 255, Colour::Cyan, {Face::PGothic, 9, false}, 58, Align::Left, false, true, {0, 0, 0}},
    {"Command49", Kind::Button, "window", "-", 6480, 3240, 375, 255, Colour::Cyan, {Face::Gothic, 9, false}, 59, Align::Left, false, true, {0, 0, 0}},
    {"Label18", Kind::Label, "window", "Keystone", 7320, 2520, 855, 255, Colour::Grey, {Face::Gothic, 9, false}, 63, Align::Left, false, true, {0, 0, 0}},
    {"Command50", Kind::Button, "window", "+", 7440, 2880, 375, 255, Colour::Cyan, {Face::Gothic, 9, false}, 61, Align::Left, false, true, {0, 0, 0}},
    {"Command51", Kind::Button, "window", "-", 7440, 3240, 375, 255, Colour::Cyan, {Face::Gothic, 9, false}, 62, Align::Left, false, true, {0, 0, 0}},
    {"Command13", Kind::Button, "window", "A-IMAGE", 8400, 2760, 975, 250, Colour::Teal, {Face::Gothic, 9, false}, 24, Align::Left, false, true, {0, 0, 0}},
    {"Command30", Kind::Button, "window", "IMAGE", 8400, 3120, 975, 255, Colour::Lavender, {Face::Gothic, 9, false}, 69, Align::Left, false, true, {0, 0, 0}},
    {"Command14", Kind::Button, "window", "P-TIMER", 8400, 3360, 975, 250, Colour::Lavender, {Face::Gothic, 9, false}, 25, Align::Left, false, true, {0, 0, 0}},
    {"Command3", Kind::Button, "window", "DISPLAY CLEAR", 8400, 3600, 975, 492, Colour::Lavender, {Face::Gothic, 9, false}, 16, Align::Left, false, true, {0, 0, 0}},
    {"Label19", Kind::Label, "window", "R/C KEY OFF", 6600, 3720, 1332, 252, Colour::Grey, {Face::Gothic, 9, false}, 68, Align::Left, false, true, {0, 0, 0}},
    {"Command56", Kind::Button, "window", "NONE", 6600, 3960, 1200, 372, Colour::Cyan, {Face::Gothic, 9, false}, 65, Align::Left, false, true, {0, 0, 0}},
    {"Command57", Kind::Button, "window", "R/C", 6600, 4320, 606, 372, Colour::Cyan, {Face::Gothic, 9, false}, 66, Align::Left, false, true, {0, 0, 0}},
    {"Command58", Kind::Button, "window", "KEY", 7200, 4320, 606, 372, Colour::Cyan, {Face::Gothic, 9, false}, 67, Align::Left, false, true, {0, 0, 0}},
    {"Command4", Kind::Button, "window", "STAND", 240, 4080, 975, 255, Colour::Cyan, {Face::Gothic, 9, false}, 73, Align::Left, false, true, {0, 0, 0}},
    {"Command10", Kind::Button, "window", "REAL", 1200, 4080, 975, 255, Colour::Cyan, {Face::Gothic, 9, false}, 74, Align::Left, false, true, {0, 0, 0}},
    {"Command11", Kind::Button, "window", "CINEMA", 2160, 4080, 975, 255, Colour::Cyan, {Face::Gothic, 9, false}, 75, Align::Left, false, true, {0, 0, 0}},
    {"Command39", Kind::Button, "window", "IMAGE1", 240, 4320, 975, 255, Colour::Cyan, {Face::Gothic, 9, false}, 76, Align::Left, false, true, {0, 0, 0}},
    {"Command40", Kind::Button, "window", "IMAGE2", 1200, 4320, 975, 255, Colour::Cyan, {Face::Gothic, 9, false}, 77, Align::Left, false, true, {0, 0, 0}},
    {"Command41", Kind::Button, "window", "IMAGE3", 2160, 4320, 975, 255, Colour::Cyan, {Face::Gothic, 9, false}, 78, Align::Left, false, true, {0, 0, 0}},
    {"Command42", Kind::Button, "window", "IMAGE4", 240, 4560, 975, 255, Colour::Cyan, {Face::Gothic, 9, false}, 79, Align::Left, false, true, {0, 0, 0}},
    {"Command12", Kind::Button, "window", "B.Board", 1200, 4560, 975, 255, Colour::Cyan, {Face::Gothic, 9, false}, 111, Align::Left, false, true, {0, 0, 0}},
    {"Command36", Kind::Button, "window", "Dynamic", 2160, 4560, 975, 255, Colour::Cyan, {Face::Gothic, 9, false}, 112, Align::Left, false, true, {0, 0, 0}},
    {"Command44", Kind::Button, "window", "STATUS", 6480, 5640, 975, 255, Colour::Cyan, {Face::Gothic, 8.25, true}, 54, Align::Left, false, true, {0, 0, 0}},
    {"Command45", Kind::Button, "window", "MODE", 6480, 5880, 975, 255, Colour::Cyan, {Face::Gothic, 8.25, true}, 55, Align::Left, false, true, {0, 0, 0}},
    {"Command46", Kind::Button, "window", "L-TIME", 7440, 5640, 975, 255, Colour::Cyan, {Face::Gothic, 8.25, true}, 56, Align::Left, false, true, {0, 0, 0}},
    {"Command47", Kind::Button, "window", "SETTING", 7440, 5880, 975, 255, Colour::Cyan, {Face::Gothic, 8.25, true}, 57, Align::Left, false, true, {0, 0, 0}},
    {"Command54", Kind::Button, "window", "TEMP", 8400, 5640, 975, 252, Colour::Cyan, {Face::Gothic, 8.25, true}, 64, Align::Left, false, true, {0, 0, 0}},
    {"Frame14", Kind::Frame, "window", "", 120, 6735, 7215, 1320, Colour::Grey, {}, 80, Align::Left, false, true, {0, 0, 0}},
    {"Label15", Kind::Label, "Frame14", "PC1", 120, 240, 735, 255, Colour::Grey, {Face::Gothic, 9, true}, 91, Align::Left, false, true, {0, 0, 0}},
    {"Label16", Kind::Label, "Frame14", "PC2", 120, 480, 735, 255, Colour::Grey, {Face::Gothic, 9, true}, 92, Align::Left, false, true, {0, 0, 0}},
    {"Label24", Kind::Label, "Frame14", "Video", 120, 720, 855, 255, Colour::Grey, {Face::Gothic, 9, true}, 93, Align::Left, false, true, {0, 0, 0}},
    {"Command64", Kind::Button, "Frame14", "RGB", 960, 240, 975, 255, Colour::Cyan, {Face::Gothic, 9, false}, 81, Align::Left, false, true, {0, 0, 0}},
    {"Command65", Kind::Button, "Frame14", "DVI(PC Digital)", 1920, 240, 1815, 255, Colour::Cyan, {Face::Gothic, 9, false}, 82, Align::Left, false, true, {0, 0, 0}},
    {"Command66", Kind::Button, "Frame14", "DVI(AV HDCP)", 3720, 240, 1815, 255, Colour::Cyan, {Face::Gothic, 9, false}, 83, Align::Left, false, true, {0, 0, 0}},
    {"Command72", Kind::Button, "Frame14", "RGB", 960, 480, 975, 255, Colour::Cyan, {Face::Gothic, 9, false}, 85, Align::Left, false, true, {0, 0, 0}},
    {"Command74", Kind::Button, "Frame14", "Component", 1920, 480, 1450, 255, Colour::Cyan, {Face::Gothic, 9, false}, 87, Align::Left, false, true, {0, 0, 0}},
    {"Command73", Kind::Button, "Frame14", "Scart", 3360, 480, 975, 255, Colour::Cyan, {Face::Gothic, 9, false}, 86, Align::Left, false, true, {0, 0, 0}},
    {"Command53", Kind::Button, "Frame14", "IN", 5640, 480, 735, 255, Colour::Cyan, {Face::Gothic, 9, false}, 105, Align::Left, false, true, {0, 0, 0}},
    {"Command76", Kind::Button, "Frame14", "OUT", 6360, 480, 735, 255, Colour::Red, {Face::Gothic, 9, false}, 88, Align::Left, false, true, {0, 0, 0}},
    {"Command81", Kind::Button, "Frame14", "Auto", 960, 720, 975, 255, Colour::Cyan, {Face::Gothic, 9, false}, 89, Align::Left, false, true, {0, 0, 0}},
    {"Command82", Kind::Button, "Frame14", "Video", 1920, 720, 975, 255, Colour::Cyan, {Face::Gothic, 9, false}, 90, Align::Left, false, true, {0, 0, 0}},
    {"Command69", Kind::Button, "Frame14", "S-Video", 2880, 720, 1095, 255, Colour::Cyan, {Face::Gothic, 9, false}, 84, Align::Left, false, true, {0, 0, 0}},
    {"Frame16", Kind::Frame, "window", "", 7440, 6750, 1935, 945, Colour::Grey, {}, 99, Align::Left, false, true, {0, 0, 0}},
    {"Label27", Kind::Label, "Frame16", "FAN SPEED", 345, 240, 1215, 255, Colour::Grey, {Face::Gothic, 9, true}, 100, Align::Left, false, true, {0, 0, 0}},
    {"Command97", Kind::Button, "Frame16", "MAX", 120, 600, 855, 255, Colour::Green, {Face::Gothic, 9, true}, 101, Align::Left, false, true, {0, 0, 0}},
    {"Command98", Kind::Button, "Frame16", "NOR", 960, 600, 855, 255, Colour::Green, {Face::Gothic, 9, true}, 102, Align::Left, false, true, {0, 0, 0}},
    {"Frame11", Kind::Frame, "window", "", 7440, 7680, 1935, 975, Colour::Grey, {}, 106, Align::Left, false, true, {0, 0, 0}},
    {"Command60", Kind::Button, "Frame11", "Capture", 240, 240, 1455, 255, Colour::Red, {Face::Gothic, 9, false}, 107, Align::Left, false, true, {0, 0, 0}},
    {"Command61", Kind::Button, "Frame11", "OFF", 120, 600, 495, 255, Colour::Red, {Face::Gothic, 9, false}, 108, Align::Left, false, true, {0, 0, 0}},
    {"Command63", Kind::Button, "Frame11", "DEF", 600, 600, 495, 255, Colour::Green, {Face::Gothic, 9, false}, 109, Align::Left, false, true, {0, 0, 0}},
    {"Command67", Kind::Button, "Frame11", "User", 1080, 600, 735, 255, Colour::Cyan, {Face::Gothic, 9, false}, 110, Align::Left, false, true, {0, 0, 0}},
});

// The outline around the cursor pad.
constexpr std::array kLines = std::to_array<LineRow>({
    {"Line12", 2160, 3480, 3120, 3480},
    {"Line11", 1080, 3960, 2160, 3960},
    {"Line10", 120, 3480, 1080, 3480},
    {"Line9", 2160, 2880, 3120, 2880},
    {"Line8", 120, 2880, 1080, 2880},
    {"Line7", 1080, 2400, 2160, 2400},
    {"Line6", 120, 2880, 120, 3480},
    {"Line5", 1080, 3480, 1080, 3960},
    {"Line4", 2160, 3480, 2160, 3960},
    {"Line3", 3120, 2880, 3120, 3480},
    {"Line2", 2160, 2400, 2160, 2880},
    {"Line1", 1080, 2400, 1080, 2880},
});
// clang-format on

}  // namespace

Rgb ToRgb(Colour colour) {
  switch (colour) {
    case Colour::Grey:
      return {192, 192, 192};
    case Colour::Cyan:
      return {192, 255, 255};
    case Colour::Green:
      return {192, 255, 192};
    case Colour::Red:
      return {255, 192, 192};
    case Colour::Lavender:
      return {192, 192, 255};
    case Colour::Teal:
      return {0, 192, 192};
    case Colour::Peach:
      return {255, 224, 192};
    case Colour::Orange:
      return {255, 128, 0};
    case Colour::Apricot:
      return {255, 192, 128};
    case Colour::White:
      return {255, 255, 255};
    case Colour::Face:
    case Colour::None:
      break;
  }
  return {192, 192, 192};
}

std::span<const ControlRow> Controls() { return kControls; }
std::span<const LineRow> Lines() { return kLines; }

const ControlRow* FindControl(std::string_view name) {
  auto it = std::ranges::find(kControls, name, &ControlRow::name);
  return it == kControls.end() ? nullptr : &*it;
}

}  // namespace mero::panel
