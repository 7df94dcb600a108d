#include "link/protocol/monitor_text.h"

namespace mero::link {
namespace {

constexpr unsigned char kAck = 6;
constexpr unsigned char kDc4 = 20;
constexpr unsigned char kCr = 13;
constexpr unsigned char kLf = 10;
constexpr unsigned char kFirstPrintable = 32;
constexpr unsigned char kLastPrintable = 'z';

void AppendPiece(std::string& out, unsigned char c) {
  if (c == kAck) {
    out += "ACK ";
  } else if (c == kDc4) {
    out += '&';
  } else if (c == kCr) {
    out += "CR ";
  } else if (c == kLf) {
    out += "LF ";
  } else if (c < kFirstPrintable || c > kLastPrintable) {
    out += "? ";
  } else {
    out += static_cast<char>(c);
    out += ' ';
  }
}

}  // namespace

std::string MonitorText(std::string_view text) {
  std::string out;
  out.reserve(1 + 2 * text.size());
  out += ' ';
  for (char c : text) AppendPiece(out, static_cast<unsigned char>(c));
  return out;
}

}  // namespace mero::link
