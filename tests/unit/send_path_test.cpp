// The send routine, the receive event and the reply and monitor timers.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "rig.h"

namespace mero::test {
namespace {

constexpr const char* kStatusKey = "Command44";   // sends "CR0", leaves the intervals
constexpr const char* kPowerOnKey = "Command17";  // sends "C00", leaves the intervals
constexpr const char* kNoReply = " X X X X";
constexpr std::size_t kRxLimit = 32767;

// The monitor form of a text made of letters and digits only.
std::string Spaced(const std::string& text) {
  std::string out = " ";
  for (char c : text) {
    out += c;
    out += ' ';
  }
  return out;
}

// A long text of letters, different along its length so that a wrong cut shows.
std::string Letters(std::size_t size, std::size_t offset = 0) {
  std::string out(size, ' ');
  for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<char>('A' + (i + offset) % 26);
  return out;
}

TEST(SendPath, OutgoingTextIsWrittenShownAndStartsBothTimers) {
  Rig rig;
  rig.form.state.rxBuffer = "old";
  rig.surface.setCaption("Label12", "rx");
  rig.surface.setCaption("Label22", "status");
  rig.form.state.lastCommand = "CR0\r";

  rig.form.Hyouji(rig.form.state.lastCommand, panel::kOutgoing);

  EXPECT_EQ(rig.takeSent(), (std::vector<link::Bytes>{"CR0\r"}));
  EXPECT_EQ(rig.surface.caption("Label11"), " C R 0 CR ");
  EXPECT_TRUE(rig.timer2.isEnabled());
  EXPECT_TRUE(rig.timer4.isEnabled());
  EXPECT_FALSE(rig.timer1.isEnabled());
  EXPECT_EQ(rig.form.state.replyPending, 1);
  // The send sets no interval and leaves the receive side alone.
  EXPECT_EQ(rig.timer2.interval(), 500);
  EXPECT_EQ(rig.timer4.interval(), 1000);
  EXPECT_EQ(rig.form.state.rxBuffer, "old");
  EXPECT_EQ(rig.surface.caption("Label12"), "rx");
  EXPECT_EQ(rig.surface.caption("Label22"), "status");
}

TEST(SendPath, EveryDirectionOtherThanOutgoingOnlyShowsTheText) {
  for (int direction : {2, 0, 3, -1, 255}) {
    Rig rig;
    rig.surface.setCaption("Label11", "tx");
    rig.form.Hyouji("AB", direction);
    EXPECT_TRUE(rig.port.writes.empty()) << "direction " << direction;
    EXPECT_EQ(rig.surface.caption("Label12"), " A B ") << "direction " << direction;
    EXPECT_EQ(rig.surface.caption("Label11"), "tx") << "direction " << direction;
    EXPECT_FALSE(rig.timer2.isEnabled()) << "direction " << direction;
    EXPECT_FALSE(rig.timer4.isEnabled()) << "direction " << direction;
    EXPECT_EQ(rig.form.state.replyPending, 0) << "direction " << direction;
  }
}

TEST(SendPath, ReplyInPiecesIsShownWholeAfterEachPiece) {
  Rig rig;
  rig.form.Click(kStatusKey);
  rig.clock.advance(50);
  rig.port.feed("0");
  EXPECT_EQ(rig.surface.caption("Label12"), " 0 ");
  EXPECT_EQ(rig.form.state.replyPending, 0);
  rig.clock.advance(50);
  rig.port.feed("0\r");
  EXPECT_EQ(rig.surface.caption("Label12"), " 0 0 CR ");
  EXPECT_EQ(rig.form.state.rxBuffer, "00\r");
}

// The form keeps the pressure figure as each piece of its reply arrives; only a pressure
// reply changes it.
TEST(SendPath, PressureReplyKeepsItsFigureAfterEachPiece) {
  Rig rig;
  rig.surface.entry = "CR PRESSURE";
  rig.form.Click("Command95");  // "SEND"
  const struct {
    const char* piece;
    const char* status;
    std::int64_t pressure;
  } pieces[] = {{"5", "111 hPa", 111}, {"1", "160 hPa", 160}, {"2\r", "650 hPa", 650}};
  for (const auto& p : pieces) {
    rig.port.feed(p.piece);
    EXPECT_EQ(rig.surface.caption("Label22"), p.status) << p.piece;
    EXPECT_EQ(rig.form.state.pressureValue, p.pressure) << p.piece;
  }
  rig.clock.advance(10000);  // past the reply window
  rig.form.Click(kStatusKey);
  rig.port.feed("00\r");
  EXPECT_EQ(rig.surface.caption("Label22"), " Power ON");
  EXPECT_EQ(rig.form.state.pressureValue, 650);
}

// Before any key has set an interval the reply window is 500 ms and the lines stay 1000 ms.
TEST(SendPath, UnansweredQueryIsMarkedAtTimer2AndWipedAtTimer4) {
  Rig rig;
  rig.form.Click(kStatusKey);
  rig.surface.setCaption("Label22", "status");

  rig.clock.advanceTo(499);
  EXPECT_EQ(rig.surface.caption("Label12"), "");
  EXPECT_EQ(rig.form.state.replyPending, 1);
  rig.clock.advanceTo(500);
  EXPECT_EQ(rig.surface.caption("Label12"), kNoReply);
  EXPECT_FALSE(rig.timer2.isEnabled());
  EXPECT_EQ(rig.form.state.replyPending, 0);

  rig.clock.advanceTo(999);
  EXPECT_EQ(rig.surface.caption("Label11"), " C R 0 CR ");
  EXPECT_EQ(rig.surface.caption("Label12"), kNoReply);
  EXPECT_EQ(rig.surface.caption("Label22"), "status");
  rig.clock.advanceTo(1000);
  EXPECT_EQ(rig.surface.caption("Label11"), "");
  EXPECT_EQ(rig.surface.caption("Label12"), "");
  EXPECT_EQ(rig.surface.caption("Label22"), "");
  EXPECT_FALSE(rig.timer4.isEnabled());
  EXPECT_EQ(rig.timer2.ticks(), 1);
  EXPECT_EQ(rig.timer4.ticks(), 1);
}

TEST(SendPath, AnyTextBeforeTimer2PreventsTheMark) {
  Rig rig;
  rig.form.Click(kStatusKey);
  rig.clock.advance(100);
  rig.port.feed(std::string(1, '\x15'));  // noise counts as an answer
  rig.clock.advanceTo(500);
  EXPECT_EQ(rig.surface.caption("Label12"), " ? ");
  EXPECT_EQ(rig.form.state.rxBuffer, "");
  EXPECT_FALSE(rig.timer2.isEnabled());
}

TEST(SendPath, TextOutsideAReplyWindowStaysInFrontOfTheNextReply) {
  Rig rig;
  rig.form.Click(kStatusKey);
  rig.clock.advanceTo(600);  // the reply window closed at 500
  rig.port.feed("7");
  EXPECT_EQ(rig.surface.caption("Label12"), " 7 ");
  rig.clock.advanceTo(2000);  // only Timer4 ticked meanwhile, which leaves the buffer
  EXPECT_EQ(rig.form.state.rxBuffer, "7");
  EXPECT_EQ(rig.surface.caption("Label12"), "");

  rig.form.Click(kStatusKey);
  EXPECT_EQ(rig.form.state.rxBuffer, "7");
  rig.port.feed("00\r");
  EXPECT_EQ(rig.surface.caption("Label12"), " 7 0 0 CR ");
}

// A send while the reply window is open keeps what had arrived, and the window runs its full
// length again from that send.
TEST(SendPath, SendWhileTimer2RunsKeepsTheBufferAndReopensTheWindow) {
  Rig rig;
  rig.form.Click(kStatusKey);
  rig.clock.advanceTo(100);
  rig.port.feed("AB");
  rig.clock.advanceTo(200);
  rig.form.Click(kPowerOnKey);
  EXPECT_EQ(rig.form.state.rxBuffer, "AB");
  EXPECT_EQ(rig.surface.caption("Label12"), " A B ");
  EXPECT_EQ(rig.form.state.replyPending, 1);
  rig.port.feed("C");
  EXPECT_EQ(rig.surface.caption("Label12"), " A B C ");
  rig.clock.advanceTo(699);
  EXPECT_EQ(rig.form.state.rxBuffer, "ABC");
  rig.clock.advanceTo(700);
  EXPECT_EQ(rig.form.state.rxBuffer, "");
  EXPECT_EQ(rig.surface.caption("Label12"), " A B C ");
}

// Keys pressed in quick succession: the lamp hours asked for 850 ms after the temperatures
// stay on the screen the whole monitor time from their own send.
TEST(SendPath, EachResultKeepsTheFullMonitorTime) {
  Rig rig;
  rig.form.Click("Command54");  // TEMP
  rig.port.feed("12345\r");
  rig.clock.advanceTo(850);
  rig.form.Click("Command46");  // L-TIME
  rig.port.feed("1234\r");
  const std::string hours = rig.surface.caption("Label22");
  EXPECT_NE(hours.find("Hour Use"), std::string::npos) << hours;

  rig.clock.advanceTo(850 + 999);
  EXPECT_EQ(rig.surface.caption("Label11"), " C R 3 CR ");
  EXPECT_EQ(rig.surface.caption("Label22"), hours);
  rig.clock.advanceTo(850 + 1000);
  EXPECT_EQ(rig.surface.caption("Label11"), "");
  EXPECT_EQ(rig.surface.caption("Label22"), "");
  EXPECT_EQ(rig.timer4.ticks(), 1);
}

TEST(SendPath, PortEventsOtherThanReceiveAreIgnored) {
  Rig rig;
  rig.form.Click(kStatusKey);
  rig.port.queue("XY");
  for (int kind : {0, 1, 3, 4, panel::kEventError}) {
    rig.form.MSComm1_OnComm(kind);
    EXPECT_EQ(rig.form.state.rxBuffer, "") << "kind " << kind;
    EXPECT_EQ(rig.form.state.replyPending, 1) << "kind " << kind;
    EXPECT_EQ(rig.surface.caption("Label12"), "") << "kind " << kind;
    EXPECT_EQ(rig.port.waiting(), "XY") << "kind " << kind;
  }
  rig.form.MSComm1_OnComm(panel::kEventReceive);
  EXPECT_EQ(rig.form.state.rxBuffer, "XY");
  EXPECT_EQ(rig.port.waiting(), "");
  EXPECT_EQ(rig.surface.caption("Label12"), " X Y ");
}

// The port went away without the form hearing of it: nothing is written, the line says so,
// and the timers run as for any send.
TEST(SendPath, SendToAClosedPortIsMarkedNotSent) {
  Rig rig;
  ASSERT_EQ(rig.surface.caption("Command33"), "COM");
  rig.port.close();
  rig.form.Click(kPowerOnKey);
  EXPECT_TRUE(rig.port.writes.empty());
  EXPECT_EQ(rig.surface.caption("Label11"), "NOT SENT: C 0 0 CR ");
  EXPECT_EQ(rig.surface.caption("Command33"), "COM  (port closed)");
  EXPECT_EQ(rig.form.state.lastCommand, "C00\r");
  EXPECT_EQ(rig.form.state.replyPending, 1);
  EXPECT_TRUE(rig.timer2.isEnabled());
  EXPECT_TRUE(rig.timer4.isEnabled());
  rig.clock.advanceTo(500);
  EXPECT_EQ(rig.surface.caption("Label12"), kNoReply);
  rig.clock.advanceTo(1000);
  EXPECT_EQ(rig.surface.caption("Label11"), "");
}

TEST(ReceiveBuffer, KeepsUpToTheLimitWhole) {
  Rig rig;
  const std::string text = Letters(kRxLimit);
  rig.port.feed(text);
  EXPECT_EQ(rig.form.state.rxBuffer, text);
  EXPECT_EQ(rig.surface.caption("Label12"), Spaced(text));
}

TEST(ReceiveBuffer, BeyondTheLimitKeepsTheNewest) {
  {
    Rig rig;
    const std::string first = Letters(kRxLimit);
    rig.port.feed(first);
    rig.port.feed("z");
    const std::string expected = first.substr(1) + "z";
    EXPECT_EQ(rig.form.state.rxBuffer, expected);
    EXPECT_EQ(rig.surface.caption("Label12"), Spaced(expected));
  }
  {
    Rig rig;
    const std::string piece = Letters(kRxLimit + 1);
    rig.port.feed(piece);
    EXPECT_EQ(rig.form.state.rxBuffer, piece.substr(1));
  }
}

TEST(ReceiveBuffer, LongStreamStaysBounded) {
  Rig rig;
  constexpr std::size_t kPiece = 4096;
  constexpr int kPieces = 300;
  std::string all;
  for (int i = 0; i < kPieces; ++i) {
    const std::string piece = Letters(kPiece, static_cast<std::size_t>(i) * 7);
    all += piece;
    rig.port.feed(piece);
    ASSERT_LE(rig.form.state.rxBuffer.size(), kRxLimit);
    ASSERT_LE(rig.surface.caption("Label12").size(), 2 * kRxLimit + 1);
  }
  EXPECT_EQ(rig.form.state.rxBuffer, all.substr(all.size() - kRxLimit));
  EXPECT_LE(rig.form.state.rxBuffer.capacity(), 4 * kRxLimit);
  // A reply window still empties it as usual.
  rig.form.Click(kStatusKey);
  rig.clock.advance(500);
  EXPECT_EQ(rig.form.state.rxBuffer, "");
}

}  // namespace
}  // namespace mero::test
