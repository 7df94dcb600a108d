#include "link/protocol/status.h"

#include <algorithm>
#include <variant>

#include "link/protocol/commands.h"
#include "link/protocol/monitor_text.h"
#include "link/protocol/reply_decoding.h"
#include "link/protocol/reply_tables.h"

namespace mero::link {
namespace {

constexpr char kCr = '\r';

void Set(ProjectorStatus& status, const PowerStatus& power) { status.power = power; }
void Set(ProjectorStatus& status, const Input& input) { status.input = input; }
void Set(ProjectorStatus& status, const ImageReversal& reversal) { status.reversal = reversal; }
void Set(ProjectorStatus& status, const Mutes& mutes) { status.mutes = mutes; }
void Set(ProjectorStatus& status, const LampMode& mode) { status.lampMode = mode; }

// The figures are read where the status line reads them, so that both tell the same.
struct Reply {
  std::string_view bytes;
  const ReplyFigures& figures;
};

bool FoldLampHours(ProjectorStatus& status, const Reply& reply) {
  if (!reply.figures.hours) return false;
  status.lampHours = reply.figures.hours;
  return true;
}

// A sensor without a figure is told as unknown rather than keeping an older reading.
bool FoldDegrees(ProjectorStatus& status, const Reply& reply) {
  if (std::ranges::none_of(reply.figures.degrees, [](auto d) { return d.has_value(); })) {
    return false;
  }
  status.degrees = reply.figures.degrees;
  return true;
}

bool FoldPressure(ProjectorStatus& status, const Reply& reply) {
  if (!reply.figures.hPa) return false;
  status.hPa = reply.figures.hPa;
  return true;
}

// The model is the text the projector sends, whole (up to its CR) and printable, without the
// blanks around it.
bool FoldModel(ProjectorStatus& status, const Reply& reply) {
  std::string_view text = reply.bytes;
  if (!text.ends_with(kCr)) return false;
  text.remove_suffix(1);
  const std::size_t first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return false;
  text = text.substr(first, text.find_last_not_of(' ') - first + 1);
  if (!std::ranges::all_of(text, [](char c) { return c >= ' ' && c <= '~'; })) return false;
  status.model = std::string(text);
  return true;
}

struct FigureQuery {
  std::string_view code;
  bool (*fold)(ProjectorStatus& status, const Reply& reply);
};

constexpr std::array<FigureQuery, 4> kFigureQueries{{
    {"CR3", FoldLampHours},
    {"CR6", FoldDegrees},
    {"CR9", FoldModel},
    {"CR PRESSURE", FoldPressure},
}};

}  // namespace

bool FoldReply(ProjectorStatus& status, std::string_view code, std::string_view reply) {
  const std::string shown = MonitorText(reply);
  if (const reply_tables::TableQuery* table = reply_tables::FindTableQuery(code)) {
    const reply_tables::Row* row = reply_tables::FindRow(*table, shown);
    if (row == nullptr) return false;
    std::visit([&status](const auto& meaning) { Set(status, meaning); }, row->meaning);
    return true;
  }
  const auto query = std::ranges::find(kFigureQueries, code, &FigureQuery::code);
  if (query == kFigureQueries.end()) return false;
  const ReplyFigures figures = ReadFigures(shown, CommandText("", code), "");
  return query->fold(status, {reply, figures});
}

}  // namespace mero::link
