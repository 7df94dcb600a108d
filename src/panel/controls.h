#pragma once

#include <span>
#include <string_view>

namespace mero::panel {

enum class Kind { Frame, Label, Button, Option, TextBox, Picture };

struct Rgb {
  int r, g, b;
  friend constexpr bool operator==(Rgb, Rgb) = default;
};

enum class Colour {
  None,
  Grey,
  Cyan,
  Green,
  Red,
  Lavender,
  Teal,
  Peach,
  Orange,
  Apricot,
  White,
  Face
};

// Fixed-pitch and proportional Japanese Gothic; Window is the window's own font.
enum class Face { Window, Gothic, PGothic };

struct Font {
  Face face = Face::Window;
  double points = 9;
  bool bold = true;
};

enum class Align { Left, Centre, Right };

// One control of the window. Left and Top are in twips from the top-left corner of the
// container (the client area for "window", else the frame named).
struct ControlRow {
  std::string_view name;
  Kind kind;
  std::string_view container;
  std::string_view caption;
  int left, top, width, height;
  Colour colour;
  Font font;
  int tab;  // focus order place; -1 for none
  Align align = Align::Left;
  bool bordered = false;
  bool visibleAtStart = true;
  Rgb text{0, 0, 0};
  bool markedAtStart = false;  // option buttons
};

// A straight decoration line on the window, in twips.
struct LineRow {
  std::string_view name;
  int x1, y1, x2, y2;
};

inline constexpr std::string_view kWindowTitle = "MERO   QM40 & QM50 & QM70   CONTROL   Ver.1.40";
inline constexpr std::string_view kOnWindow = "window";
inline constexpr int kTwipsPerPixel = 15;
inline constexpr int kClientWidth = 9495;
inline constexpr int kClientHeight = 8730;
// Title bar and borders, where the platform tells none.
inline constexpr int kFrameAllowance = 370;
inline constexpr Rgb kLineColour{128, 128, 255};
inline constexpr int kLinePixels = 2;
inline constexpr Font kWindowFont{Face::Gothic, 9, true};

Rgb ToRgb(Colour colour);

std::span<const ControlRow> Controls();
std::span<const LineRow> Lines();
// The row of a control by name, or nullptr.
const ControlRow* FindControl(std::string_view name);

}  // namespace mero::panel
