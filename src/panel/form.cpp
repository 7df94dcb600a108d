#include "panel/form.h"

#include <array>
#include <cmath>
#include <optional>

#include "link/protocol/commands.h"
#include "link/protocol/monitor_text.h"
#include "link/protocol/reply_decoding.h"

namespace mero::panel {
namespace {

struct NamedClick {
  std::string_view control;
  void (Form1::*handler)();
};

constexpr std::array kNamedClicks = std::to_array<NamedClick>({
    {"Option1", &Form1::Option1_Click},
    {"Option2", &Form1::Option2_Click},
    {"Option9", &Form1::Option9_Click},
    {"Option10", &Form1::Option10_Click},
    {"Command33", &Form1::Command33_Click},
    {"Command16", &Form1::Command16_Click},
    {"Command13", &Form1::Command13_Click},
    {"Command23", &Form1::Command23_Click},
    {"Command95", &Form1::Command95_Click},
    {"Command96", &Form1::Command96_Click},
    {"Command34", &Form1::Command34_Click},
});

}  // namespace

Form1::Form1(SerialPort& port, FormTimers timers, Surface& surface)
    : port_(port), timers_(timers), surface_(surface) {
  timers_.timer1.setInterval(kTimer1Start);
  timers_.timer2.setInterval(kTimer2Start);
  timers_.timer3.setInterval(kTimer3Start);
  timers_.timer4.setInterval(kTimer4Start);
  timers_.timer1.onTick = [this] { Timer1_Timer(); };
  timers_.timer2.onTick = [this] { Timer2_Timer(); };
  timers_.timer3.onTick = [this] { Timer3_Timer(); };
  timers_.timer4.onTick = [this] { Timer4_Timer(); };
  port_.onEvent = [this](int kind) { MSComm1_OnComm(kind); };
  port_.onLost = [this](const PortFailure& failure) { PortLost(failure); };
  port_.onRestored = [this](const std::string& notice) { PortRestored(notice); };
  port_.onNotice = [this](const std::string& notice) { surface_.notify(notice); };
}

// ---- Start-up and the port choice ----

void Form1::Form_Load(const StartChoices& start) {
  state.portSettings = start.at9600 ? kSettings9600 : kSettings19200;
  state.commandPrefix.clear();

  // Halves go to the nearest integer, a half to the even neighbour (the default rounding mode).
  const auto centred = [](int free) { return static_cast<int>(std::lrint(free / 2.0)); };
  const int left = centred(surface_.screenWidth() - surface_.windowWidth());
  const int top = centred(surface_.screenHeight() - surface_.windowHeight());
  surface_.setWindowPosition(left, top);
  surface_.setWindowHeight(kStartHeight);

  state.repeatCode = 0;
  state.replyPending = 0;
  ClearReceived();

  port_.setPortNumber(1);
  port_.setSettings(state.portSettings);
  std::optional<PortFailure> startFailure;
  if (!port_.open()) startFailure = port_.lastFailure();

  surface_.mark("Option1");
  Option1_Click();
  // The speed options show the speed the port was opened at.
  surface_.mark(start.at9600 ? "Option10" : "Option9");
  if (start.fullyOpen) {
    Form_KeyDown(kKeyK, kCtrlMask);
    Image1_DblClick();
  }

  // Whichever of the two opens failed, the port stays closed until a choice or its return.
  if (!port_.isOpen()) reopenOnChoice_ = true;
  if (startFailure) {
    ShowPortState();
    surface_.notify(startFailure->description);
    if (startFailure->absent) port_.reopenWhenBack(1);
  }
}

void Form1::Option1_Click() { ChoosePort(1, 2); }
void Form1::Option2_Click() { ChoosePort(2, 1); }

void Form1::ChoosePort(int number, int fallback) {
  std::optional<PortFailure> failure;
  auto check = [&](bool ok) {
    if (!ok) failure = port_.lastFailure();
  };

  const bool wasOpen = port_.isOpen() || reopenOnChoice_;
  if (port_.isOpen()) check(port_.close());
  check(port_.setPortNumber(number));
  if (!failure && wasOpen) check(port_.open());

  if (failure) {
    surface_.warn(failure->description);
    port_.setPortNumber(fallback);
    if (failure->absent) port_.reopenWhenBack(number);
  } else {
    if (wasOpen) reopenOnChoice_ = false;
    surface_.setVisible("Frame8", false);
  }
  ShowPortState();
}

void Form1::Option9_Click() { ChooseSpeed(kSettings19200); }
void Form1::Option10_Click() { ChooseSpeed(kSettings9600); }

void Form1::ChooseSpeed(std::string_view settings) {
  state.portSettings = settings;
  port_.setSettings(state.portSettings);
  surface_.setVisible("Frame8", false);
}

void Form1::Command33_Click() {
  surface_.setVisible("Frame8", true);
  timers_.timer3.setEnabled(true);
}

void Form1::Timer3_Timer() {
  surface_.setVisible("Frame8", false);
  timers_.timer3.setEnabled(false);
}

void Form1::Command16_Click() {
  port_.close();
  surface_.quit();
}

void Form1::ShowPortState() {
  surface_.setCaption("Command33",
                      std::string(port_.isOpen() ? kPortButtonOpen : kPortButtonClosed));
}

// ---- The send routine and the traffic monitor ----

void Form1::Hyouji(const std::string& text, int trafficDirection) {
  if (trafficDirection == kOutgoing) {
    Send(text, Count::StartOver);
    return;
  }
  const std::string shown = link::MonitorText(text);
  surface_.setCaption("Label12", shown);
  receivedLineCurrent_ = false;
  ShowStatus(shown);
}

// Every command the operator sends gets the whole reply window and monitor time from its own
// send. The repeats of a held key start the two timers only where they have stopped: a running
// count goes on, so the reply window still closes during a long hold and what arrived meanwhile
// is dropped, however fast the key repeats.
void Form1::Send(const std::string& text, Count count) {
  const bool sent = port_.write(text);
  surface_.setCaption("Label11", sent ? link::MonitorText(text)
                                      : std::string(kNotSentMark) + link::MonitorText(text));
  const auto start = [count](link::Timer& timer) {
    if (count == Count::StartOver || !timer.isEnabled()) timer.setEnabled(true);
  };
  start(timers_.timer2);
  state.replyPending = 1;
  start(timers_.timer4);
  if (!sent) ShowPortState();
}

void Form1::ShowStatus(const std::string& shown) {
  const link::DecodedReply reply = link::DecodeReply(shown, state.lastCommand, state.commandPrefix);
  if (reply.pressure) state.pressureValue = *reply.pressure;
  if (reply.status) surface_.setCaption("Label22", *reply.status);
}

// Shows and decodes the whole buffer as Hyouji does, but builds its monitor text a piece at a
// time: each character has a piece of its own after the leading blank, so what arrived adds
// its pieces at the end and a trimmed front takes its pieces out after the blank. The work
// stays in proportion to what arrived, however full the buffer.
void Form1::MSComm1_OnComm(int kind) {
  if (kind != kEventReceive) return;
  link::Bytes arrived = port_.takeAll();
  // Only the newest text is kept: what this arrival would push out at once is never shown.
  if (arrived.size() > kRxBufferLimit) arrived.erase(0, arrived.size() - kRxBufferLimit);
  const std::string pieces = link::MonitorText(arrived).substr(1);
  state.rxBuffer += arrived;
  state.rxShown += pieces;
  std::size_t droppedPieces = 0;
  // An endless stream with no reply window closing keeps only its newest text.
  if (state.rxBuffer.size() > kRxBufferLimit) {
    const std::size_t dropped = state.rxBuffer.size() - kRxBufferLimit;
    droppedPieces =
        link::MonitorText(std::string_view(state.rxBuffer).substr(0, dropped)).size() - 1;
    state.rxBuffer.erase(0, dropped);
    state.rxShown.erase(1, droppedPieces);
  }
  state.replyPending = 0;
  if (receivedLineCurrent_) {
    surface_.appendCaption("Label12", pieces, 1, droppedPieces);
  } else {
    surface_.setCaption("Label12", state.rxShown);
    receivedLineCurrent_ = true;
  }
  ShowStatus(state.rxShown);
}

void Form1::ClearReceived() {
  state.rxBuffer.clear();
  state.rxShown = link::MonitorText("");
  receivedLineCurrent_ = false;
}

void Form1::Timer2_Timer() {
  if (state.replyPending == 1) surface_.setCaption("Label12", std::string(kNoReplyMark));
  timers_.timer2.setEnabled(false);
  ClearReceived();
  state.replyPending = 0;
}

void Form1::Timer4_Timer() {
  surface_.setCaption("Label11", "");
  surface_.setCaption("Label12", "");
  receivedLineCurrent_ = false;
  surface_.setCaption("Label22", "");
  timers_.timer4.setEnabled(false);
}

void Form1::PortLost(const PortFailure& failure) {
  reopenOnChoice_ = true;
  ShowPortState();
  surface_.notify(failure.description);
  port_.reopenWhenBack(port_.portNumber());
}

void Form1::PortRestored(const std::string& notice) {
  reopenOnChoice_ = false;
  ShowPortState();
  surface_.notify(notice, Notice::Information);
}

// ---- Command keys ----

void Form1::SendCommand(std::string_view code) {
  state.lastCommand = link::CommandText(state.commandPrefix, code);
  Hyouji(state.lastCommand, kOutgoing);
}

void Form1::OneShot_Click(const link::OneShotCommand& command) {
  if (auto intervals = IntervalsOf(command.timing)) {
    timers_.timer2.setInterval(intervals->reply);
    timers_.timer4.setInterval(intervals->monitor);
  }
  SendCommand(command.code);
}

void Form1::Repeat_MouseDown(const RepeatBinding& key) {
  if (key.period) {
    state.repeatCode = key.repeatCode;
    SendCommand(key.code);
    timers_.timer1.setInterval(*key.period);
    timers_.timer2.setInterval(key.reply);
    timers_.timer4.setInterval(key.monitor);
    timers_.timer1.setEnabled(true);
    return;
  }
  // A cursor key: its monitor timings follow the cursor mode, its period the last one set.
  for (const CursorTiming& timing : CursorTimings()) {
    if (timing.cursorMode == state.cursorMode) {
      timers_.timer2.setInterval(timing.reply);
      timers_.timer4.setInterval(timing.monitor);
    }
  }
  state.repeatCode = key.repeatCode;
  SendCommand(key.code);
  timers_.timer1.setEnabled(true);
}

void Form1::Repeat_MouseUp(const RepeatBinding& key) {
  state.repeatCode = 0;
  timers_.timer1.setEnabled(false);
  timers_.timer2.setEnabled(false);
  timers_.timer4.setEnabled(true);
  surface_.setCaption("Label11", "");
  surface_.setCaption("Label12", "");
  timers_.timer2.setInterval(kTimer2Start);
  timers_.timer4.setInterval(kTimer4Start);
  ClearReceived();
  if (key.setsZoomMode) {
    timers_.timer1.setInterval(kZoomReleasePeriod);
    state.cursorMode = kCursorModeZoom;
  }
}

// The tick comes only while Timer1 runs, and it leaves it running: enabling it here would start
// its count over from the moment the tick was handled, and every repeat period would grow by
// the time the tick took to arrive and to send.
void Form1::Timer1_Timer() {
  if (state.repeatCode == 0) return;
  const std::string_view code = RepeatCommandOf(state.repeatCode);
  if (code.empty()) return;
  state.lastCommand = link::CommandText(state.commandPrefix, code);
  Send(state.lastCommand, Count::GoesOn);
}

void Form1::Command13_Click() {
  SendCommand("C89");
  timers_.timer1.setInterval(kCursorMenuPeriod);
  state.cursorMode = kCursorModeMenu;
}

void Form1::Command23_Click() {
  SendCommand("C1C");
  timers_.timer1.setInterval(kCursorMenuPeriod);
  state.cursorMode = kCursorModeMenu;
}

// ---- Command entry ----

void Form1::Command95_Click() {
  const TimerIntervals intervals = *IntervalsOf(link::kTypedTiming);
  timers_.timer2.setInterval(intervals.reply);
  timers_.timer4.setInterval(intervals.monitor);
  state.typedCommand = surface_.entryBytes();
  state.lastCommand = link::CommandText(state.commandPrefix, state.typedCommand);
  Hyouji(state.lastCommand, kOutgoing);
}

void Form1::Command96_Click() { surface_.clearEntry(); }

// ---- Extended panel ----

void Form1::Form_KeyDown(int keyCode, int shift) {
  if ((shift & (kShiftMask | kCtrlMask | kAltMask)) != kCtrlMask || keyCode != kKeyK) return;
  surface_.setWindowHeight(kExtendedHeight);
  state.panelLevel = 1;
  surface_.setCaption("Command34", std::string(kCaptionClose));
  surface_.setVisible("Command34", true);
}

void Form1::Image1_DblClick() {
  if (state.panelLevel != 1) return;
  surface_.setWindowHeight(kFullHeight);
  surface_.setCaption("Command34", std::string(kCaptionClose));
  surface_.setVisible("Command34", true);
}

void Form1::Command34_Click() {
  timers_.timer3.setEnabled(false);
  state.panelLevel = 0;
  if (surface_.windowHeight() >= kEnlargedThreshold) {
    surface_.setWindowHeight(kStartHeight);
    surface_.setCaption("Command34", std::string(kCaptionShowData));
  } else {
    surface_.setWindowHeight(kDataHeight);
    surface_.setCaption("Command34", std::string(kCaptionHideData));
  }
  timers_.timer3.setEnabled(true);
}

// ---- Dispatch ----

void Form1::Click(std::string_view control) {
  if (const link::OneShotCommand* command = FindOneShot(control)) {
    OneShot_Click(*command);
    return;
  }
  for (const NamedClick& click : kNamedClicks) {
    if (click.control == control) {
      (this->*click.handler)();
      return;
    }
  }
}

void Form1::DoubleClick(std::string_view control) {
  if (control == "Image1") Image1_DblClick();
}

void Form1::MouseDown(std::string_view control) {
  if (const RepeatBinding* key = FindRepeat(control)) Repeat_MouseDown(*key);
}

void Form1::MouseUp(std::string_view control) {
  if (const RepeatBinding* key = FindRepeat(control)) Repeat_MouseUp(*key);
}

}  // namespace mero::panel
