// Network addresses and the telnet COM-PORT client, as bytes in and out.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/lines/telnet_com_port.h"
#include "link/port/network_address.h"

namespace mero::link {
namespace {

std::string B(std::initializer_list<int> values) {
  std::string out;
  for (const int v : values) out += static_cast<char>(v);
  return out;
}

constexpr int IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240;

TEST(NetworkAddress, HostsAndPortsInEveryForm) {
  using Kind = NetworkAddress::Kind;
  const struct {
    const char* text;
    bool valid;
    Kind kind;
    const char* host;
    int port;
  } cases[] = {
      {"tcp://127.0.0.1:7000", true, Kind::RawTcp, "127.0.0.1", 7000},
      {"rfc2217://projector.example:2001", true, Kind::Rfc2217, "projector.example", 2001},
      {"rfc2217://[::1]:65535", true, Kind::Rfc2217, "::1", 65535},
      {"tcp://[fe80::1%eth0]:1", true, Kind::RawTcp, "fe80::1%eth0", 1},
      {"tcp://::1:7000", false, Kind::RawTcp, "", 0},  // IPv6 without brackets
      {"tcp://host", false, Kind::RawTcp, "", 0},
      {"tcp://host:0", false, Kind::RawTcp, "", 0},
      {"tcp://host:65536", false, Kind::RawTcp, "", 0},
      {"tcp://host:70x", false, Kind::RawTcp, "", 0},
      {"tcp://:7000", false, Kind::RawTcp, "", 0},
      {"tcp://[::1]7000", false, Kind::RawTcp, "", 0},
      {"/dev/ttyUSB0", false, Kind::RawTcp, "", 0},
  };
  for (const auto& c : cases) {
    const std::optional<NetworkAddress> address = ParseNetworkAddress(c.text);
    ASSERT_EQ(address.has_value(), c.valid) << c.text;
    if (!address) continue;
    EXPECT_EQ(address->kind, c.kind) << c.text;
    EXPECT_EQ(address->host, c.host) << c.text;
    EXPECT_EQ(address->port, c.port) << c.text;
  }
  EXPECT_TRUE(LooksLikeNetworkAddress("tcp://host"));
  EXPECT_FALSE(LooksLikeNetworkAddress("/tmp/tcp://x"));
}

TEST(TelnetComPort, EveryByteCrossesBothWays) {
  std::string all;
  for (int v = 0; v < 256; ++v) all += static_cast<char>(v);
  const std::string wire = TelnetComPort::Escape(all);
  EXPECT_EQ(wire.size(), 257u);  // 255 doubled
  // Received in pieces of every size, the escape may be cut anywhere.
  for (std::size_t piece = 1; piece <= 5; ++piece) {
    TelnetComPort session;
    std::string data;
    std::string answer;
    for (std::size_t at = 0; at < wire.size(); at += piece) {
      data += session.receive(wire.substr(at, piece), answer);
    }
    EXPECT_EQ(data, all) << piece;
    EXPECT_EQ(answer, "");
  }
}

TEST(TelnetComPort, NegotiationIsAnsweredOnceAndOnlyForChanges) {
  const struct {
    const char* what;
    std::string in;
    std::string answer;
  } cases[] = {
      // What ser2net offers first: all but ECHO are already agreed by the greeting.
      {"a server's opening", B({IAC, WILL, 3,  IAC, DO,  3,    IAC, WILL, 1,  IAC, DONT,
                                1,   IAC,  DO, 0,   IAC, WILL, 0,   IAC,  DO, 44}),
       B({IAC, DONT, 1})},
      {"an unknown option asked twice is refused once",
       B({IAC, DO, 24, IAC, DO, 24, IAC, WILL, 31, IAC, WILL, 31}),
       B({IAC, WONT, 24, IAC, DONT, 31})},
      {"binary withdrawn is acknowledged", B({IAC, WONT, 0, IAC, DONT, 0}),
       B({IAC, DONT, 0, IAC, WONT, 0})},
      {"one-byte commands between data", B({'a', IAC, 241, 'b', IAC, 249, 'c'}), ""},
  };
  for (const auto& c : cases) {
    TelnetComPort session;
    std::string answer;
    session.receive(c.in, answer);
    EXPECT_EQ(answer, c.answer) << c.what;
  }
}

TEST(TelnetComPort, LineSettingsAreAskedForAndTheAnswerRead) {
  EXPECT_EQ(TelnetComPort::SetLine({9600, Parity::None, 8, StopBits::One}),
            B({IAC, SB,  44, 1,  0, 0, 0x25, 0x80, IAC, SE, IAC, SB, 44, 2,   8, IAC,
               SE,  IAC, SB, 44, 3, 1, IAC,  SE,   IAC, SB, 44,  4,  1,  IAC, SE}));
  // 65535 baud: a value byte of 255 is doubled inside the sub-negotiation too.
  EXPECT_EQ(TelnetComPort::SetLine({0x00FFFF, Parity::Even, 7, StopBits::Two}).substr(0, 12),
            B({IAC, SB, 44, 1, 0, 0, IAC, IAC, IAC, IAC, IAC, SE}));

  TelnetComPort session;
  std::string answer;
  const std::string reply = B({IAC,  SB, 44,  107, 0,   IAC, SE,  IAC, SB, 44,  101, 0,   0,
                               0x4B, 0,  IAC, SE,  IAC, SB,  44,  102, 8,  IAC, SE,  'x', IAC,
                               SB,   44, 103, 3,   IAC, SE,  IAC, SB,  44, 104, 2,   IAC, SE});
  EXPECT_EQ(session.receive(reply, answer), "x");
  EXPECT_EQ(session.answersReceived(), 1);
  EXPECT_EQ(*session.confirmedBaud(), 19200u);
  EXPECT_EQ(*session.confirmedDataBits(), 8);
  EXPECT_EQ(*session.confirmedParity(), 3);  // even
  EXPECT_EQ(*session.confirmedStopBits(), 2);
  EXPECT_FALSE(session.comPortRefused());
  session.receive(B({IAC, DONT, 44}), answer);
  EXPECT_TRUE(session.comPortRefused());
  EXPECT_EQ(answer, B({IAC, WONT, 44}));
}

// A server that never ends a sub-negotiation costs a bounded buffer, and what follows its end
// is read as usual.
TEST(TelnetComPort, AnOverlongSubNegotiationIsSkippedToItsEnd) {
  TelnetComPort session;
  std::string answer;
  std::string data = session.receive(B({IAC, SB, 44, 101}), answer);
  const std::string filler(1 << 20, 'z');
  for (int i = 0; i < 8; ++i) data += session.receive(filler, answer);
  data += session.receive(B({IAC, IAC, IAC, SE, 'x', IAC, SB, 44, 101, 0, 0, 0x25, 0x80, IAC, SE}),
                          answer);
  EXPECT_EQ(data, "x");
  ASSERT_TRUE(session.confirmedBaud().has_value());
  EXPECT_EQ(*session.confirmedBaud(), 9600u);
  EXPECT_EQ(answer, "");
}

// Each confirmed field is held against the request on its own: an invalid value in one does
// not hide a mismatch in another.
TEST(TelnetComPort, EachConfirmedFieldIsCheckedOnItsOwn) {
  const LineSettings asked{19200, Parity::None, 8, StopBits::One};
  const auto Answer = [](int command, std::initializer_list<int> value) {
    std::string out = B({IAC, SB, 44, command});
    for (const int v : value) out += static_cast<char>(v);
    return out + B({IAC, SE});
  };
  const std::string baud9600 = Answer(101, {0, 0, 0x25, 0x80});
  const std::string baud19200 = Answer(101, {0, 0, 0x4B, 0});
  const struct {
    const char* what;
    std::string reply;
    std::vector<std::string> mismatches;
  } cases[] = {
      {"all as asked", baud19200 + Answer(102, {8}) + Answer(103, {1}) + Answer(104, {1}), {}},
      {"another speed and an invalid parity",
       baud9600 + Answer(102, {8}) + Answer(103, {9}) + Answer(104, {1}),
       {"the speed 9600 instead of 19200", "the parity value 9 instead of N"}},
      {"the speed alone", baud9600 + Answer(104, {1}), {"the speed 9600 instead of 19200"}},
      {"data and stop bits",
       baud19200 + Answer(102, {7}) + Answer(104, {3}),
       {"7 data bits instead of 8", "1.5 stop bits instead of 1"}},
  };
  for (const auto& c : cases) {
    TelnetComPort session;
    std::string answer;
    session.receive(c.reply, answer);
    EXPECT_EQ(session.answersReceived(), 1) << c.what;
    EXPECT_EQ(session.mismatches(asked), c.mismatches) << c.what;
  }
}

}  // namespace
}  // namespace mero::link
