#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "link/port/timer.h"
#include "panel/bindings.h"
#include "panel/serial_port.h"
#include "panel/surface.h"

namespace mero::panel {

// Everything that lasts between events, one instance for the window.
struct FormState {
  std::string commandPrefix;
  std::string lastCommand;
  std::string rxBuffer;
  // The monitor text of rxBuffer, kept in step with it by every handler that changes it.
  std::string rxShown = " ";
  std::uint8_t replyPending = 0;
  std::int64_t pressureValue = 0;
  std::string portSettings;
  std::uint8_t repeatCode = 0;
  std::uint8_t cursorMode = 0;
  std::string typedCommand;
  std::int16_t panelLevel = 0;
};

struct FormTimers {
  link::Timer& timer1;  // repeat
  link::Timer& timer2;  // reply window
  link::Timer& timer3;  // hides the port selection frame
  link::Timer& timer4;  // clears the monitor lines
};

inline constexpr int kOutgoing = 1;
inline constexpr int kIncoming = 2;

inline constexpr int kTimer1Start = 200;
inline constexpr int kTimer2Start = link::kStartIntervals.reply;
inline constexpr int kTimer3Start = 5000;
inline constexpr int kTimer4Start = link::kStartIntervals.monitor;

inline constexpr std::string_view kSettings19200 = "19200,N,8,1";
inline constexpr std::string_view kSettings9600 = "9600,N,8,1";

inline constexpr int kStartHeight = 5350;
inline constexpr int kDataHeight = 6645;
inline constexpr int kExtendedHeight = 7200;
inline constexpr int kFullHeight = 9100;
inline constexpr int kEnlargedThreshold = 6000;

// Received text is kept up to this many characters; beyond it only the newest are kept.
inline constexpr std::size_t kRxBufferLimit = 32767;

inline constexpr std::string_view kNoReplyMark = " X X X X";
inline constexpr std::string_view kNotSentMark = "NOT SENT:";
inline constexpr std::string_view kPortButtonOpen = "COM";
inline constexpr std::string_view kPortButtonClosed = "COM  (port closed)";
inline constexpr std::string_view kCaptionClose = "CLOSE";
inline constexpr std::string_view kCaptionShowData = "データを表示する";
inline constexpr std::string_view kCaptionHideData = "データを表示しない";

inline constexpr int kZoomReleasePeriod = 5;
inline constexpr int kCursorMenuPeriod = 200;
inline constexpr std::uint8_t kCursorModeMenu = 1;
inline constexpr std::uint8_t kCursorModeZoom = 3;

inline constexpr int kKeyK = 'K';
inline constexpr int kShiftMask = 1, kCtrlMask = 2, kAltMask = 4;

// How the window comes up: the line speed the port is opened at, and whether the window opens
// fully, as Ctrl+K and then a double-click on the logo leave it.
struct StartChoices {
  bool at9600 = false;
  bool fullyOpen = false;
};

// The window's logic: the form state and every event handler, over a port, four timers and
// the window surface.
class Form1 {
 public:
  Form1(SerialPort& port, FormTimers timers, Surface& surface);
  Form1(const Form1&) = delete;
  Form1& operator=(const Form1&) = delete;

  FormState state;

  // Start-up and the port choice.
  void Form_Load(const StartChoices& start = {});
  void Option1_Click();
  void Option2_Click();
  void Option9_Click();
  void Option10_Click();
  void Command33_Click();
  void Timer3_Timer();
  void Command16_Click();

  // The send routine and the traffic monitor.
  void Hyouji(const std::string& text, int trafficDirection);
  void MSComm1_OnComm(int kind);
  void Timer2_Timer();
  void Timer4_Timer();
  // The port went away under the panel, or came back by itself.
  void PortLost(const PortFailure& failure);
  void PortRestored(const std::string& notice);

  // Command keys.
  void OneShot_Click(const link::OneShotCommand& command);
  void Repeat_MouseDown(const RepeatBinding& key);
  void Repeat_MouseUp(const RepeatBinding& key);
  void Timer1_Timer();
  void Command13_Click();
  void Command23_Click();

  // Command entry.
  void Command95_Click();
  void Command96_Click();

  // Extended panel.
  void Form_KeyDown(int keyCode, int shift);
  void Image1_DblClick();
  void Command34_Click();

  // Events as the window reports them, by control name.
  void Click(std::string_view control);
  void DoubleClick(std::string_view control);
  void MouseDown(std::string_view control);
  void MouseUp(std::string_view control);

 private:
  void ChoosePort(int number, int fallback);
  void ChooseSpeed(std::string_view settings);
  void SendCommand(std::string_view code);
  // How a send treats the reply and monitor timers when they run already.
  enum class Count { StartOver, GoesOn };
  void Send(const std::string& text, Count count);
  void ShowPortState();
  void ClearReceived();
  void ShowStatus(const std::string& shown);

  SerialPort& port_;
  FormTimers timers_;
  Surface& surface_;
  // The port was lost or could not be opened at start: the next port choice opens it (and,
  // while its device is away, the port's watch opens it when it comes back).
  bool reopenOnChoice_ = false;
  // Label12 holds rxShown as the last arrival left it: the next arrival only changes it.
  bool receivedLineCurrent_ = false;
};

}  // namespace mero::panel
