#include "serve/metrics.h"

#include <charconv>
#include <cmath>

#include "serve/pjlink_bridge.h"

namespace mero::serve {
namespace {

// In the order of ExchangeResult::Kind.
constexpr std::array<std::string_view, ExchangeResult::kKinds> kResultNames{
    "reply", "no_reply", "line_down", "busy", "cut"};

std::string Number(double value) {
  if (std::isnan(value)) return "NaN";
  std::array<char, 32> text{};
  // The shortest text that reads back as the same value: 30.1, not 30.100000000000001.
  const auto [end, error] = std::to_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() ? std::string(text.data(), end) : std::string("NaN");
}

// A label value as the format wants it: backslash, double quote and line feed escaped.
std::string Escaped(std::string_view value) {
  std::string escaped;
  for (const char c : value) {
    if (c == '\\' || c == '"') {
      escaped += '\\';
      escaped += c;
    } else if (c == '\n') {
      escaped += "\\n";
    } else {
      escaped += c;
    }
  }
  return escaped;
}

class Page {
 public:
  void family(std::string_view name, std::string_view type, std::string_view help) {
    text_ += "# HELP ";
    text_ += name;
    text_ += ' ';
    text_ += help;
    text_ += "\n# TYPE ";
    text_ += name;
    text_ += ' ';
    text_ += type;
    text_ += '\n';
  }
  void sample(std::string_view name, const std::string& labels, double value) {
    text_ += name;
    if (!labels.empty()) {
      text_ += '{';
      text_ += labels;
      text_ += '}';
    }
    text_ += ' ';
    text_ += Number(value);
    text_ += '\n';
  }
  std::string take() { return std::move(text_); }

 private:
  std::string text_;
};

std::string ProjectorLabel(const ProjectorFigures& figures) {
  std::string label = "projector=\"";
  label += Escaped(figures.name);
  label += '"';
  return label;
}

std::string With(const ProjectorFigures& figures, std::string_view key, std::string_view value) {
  std::string label = ProjectorLabel(figures);
  label += ',';
  label += key;
  label += "=\"";
  label += value;
  label += '"';
  return label;
}

void ProjectorFamilies(Page& page, const std::vector<const ProjectorFigures*>& projectors) {
  page.family("mero_projector_line_up", "gauge",
              "Whether the projector's line is open (1) or not (0).");
  for (const auto* p : projectors)
    page.sample("mero_projector_line_up", ProjectorLabel(*p), p->lineUp ? 1 : 0);
  page.family("mero_projector_power_state", "gauge",
              "Power state as PJLink numbers it: 0 stand-by, 1 on, 2 cooling down, 3 warming up.");
  for (const auto* p : projectors) {
    const auto& power = p->status.power;
    const std::optional<int> number = power ? PjlinkPowerNumber(power->state) : std::nullopt;
    if (number) page.sample("mero_projector_power_state", ProjectorLabel(*p), *number);
  }
  // In the base unit the format asks for: the counter's hours times 3600.
  page.family("mero_projector_lamp_use_seconds", "gauge",
              "The projector's lamp hour counter, in seconds (divide by 3600 for its hours).");
  for (const auto* p : projectors) {
    if (p->status.lampHours) {
      page.sample("mero_projector_lamp_use_seconds", ProjectorLabel(*p),
                  static_cast<double>(*p->status.lampHours) * 3600.0);
    }
  }
}

void ReadingFamilies(Page& page, const std::vector<const ProjectorFigures*>& projectors) {
  page.family("mero_projector_temperature_celsius", "gauge",
              "The projector's three temperature readings, by sensor.");
  for (const auto* p : projectors) {
    const auto& degrees = p->status.degrees;
    for (std::size_t i = 0; i < degrees.size(); ++i) {
      if (!degrees[i]) continue;
      page.sample("mero_projector_temperature_celsius", With(*p, "sensor", std::to_string(i + 1)),
                  *degrees[i]);
    }
  }
  page.family("mero_projector_error", "gauge",
              "PJLink's error status by kind: 0 none, 1 warning, 2 error.");
  for (const auto* p : projectors) {
    if (!p->status.power) continue;
    for (const ErrorKind& kind : ErrorKinds()) {
      page.sample("mero_projector_error", With(*p, "kind", kind.name),
                  static_cast<int>(FaultOf(kind, p->status.power->faults)));
    }
  }
  page.family("mero_projector_last_poll_timestamp_seconds", "gauge",
              "When the projector last answered every status query of a poll.");
  for (const auto* p : projectors) {
    if (p->lastPollSeconds) {
      page.sample("mero_projector_last_poll_timestamp_seconds", ProjectorLabel(*p),
                  *p->lastPollSeconds);
    }
  }
  page.family("mero_projector_exchanges_total", "counter",
              "Exchanges with the projector, by how they ended.");
  for (const auto* p : projectors) {
    for (std::size_t i = 0; i < kResultNames.size(); ++i) {
      page.sample("mero_projector_exchanges_total", With(*p, "result", kResultNames[i]),
                  static_cast<double>(p->exchanges[i]));
    }
  }
}

void ServiceFamilies(Page& page, const ServiceFigures& service) {
  page.family("mero_exchange_duration_seconds", "histogram",
              "Time from a command's send to the end of its exchange.");
  std::uint64_t cumulative = 0;
  for (std::size_t i = 0; i < kExchangeBuckets.size(); ++i) {
    cumulative += service.buckets[i];
    page.sample("mero_exchange_duration_seconds_bucket",
                "le=\"" + Number(kExchangeBuckets[i]) + "\"", static_cast<double>(cumulative));
  }
  page.sample("mero_exchange_duration_seconds_bucket", "le=\"+Inf\"",
              static_cast<double>(service.exchanges));
  page.sample("mero_exchange_duration_seconds_sum", {}, service.exchangeSeconds);
  page.sample("mero_exchange_duration_seconds_count", {}, static_cast<double>(service.exchanges));
  page.family("mero_pjlink_requests_total", "counter", "PJLink requests answered.");
  page.sample("mero_pjlink_requests_total", {}, static_cast<double>(service.pjlinkRequests));
  page.family(
      "mero_pjlink_refused_total", "counter",
      "PJLink connections closed for a wrong digest, a line that is not PJLink or a full house.");
  page.sample("mero_pjlink_refused_total", {}, static_cast<double>(service.pjlinkRefused));
  page.family("mero_http_refused_total", "counter",
              "HTTP requests and connections refused at a bound: an oversized header or body, a "
              "malformed request, too many connections or no descriptor left.");
  page.sample("mero_http_refused_total", {}, static_cast<double>(service.httpRefused));
  page.family("mero_http_idle_closed_total", "counter",
              "HTTP connections closed after the idle time, silent or with a request unfinished.");
  page.sample("mero_http_idle_closed_total", {}, static_cast<double>(service.httpIdleClosed));
}

}  // namespace

void ServiceFigures::count(const ExchangeResult& result) {
  if (result.kind == ExchangeResult::Kind::LineDown || result.kind == ExchangeResult::Kind::Busy) {
    return;  // nothing went to the projector
  }
  const double seconds = result.ms / 1000.0;
  ++exchanges;
  exchangeSeconds += seconds;
  for (std::size_t i = 0; i < kExchangeBuckets.size(); ++i) {
    if (seconds <= kExchangeBuckets[i]) {
      ++buckets[i];
      break;
    }
  }
}

void Record(ProjectorFigures& figures, std::string_view code, const ExchangeResult& result) {
  ++figures.exchanges[static_cast<std::size_t>(result.kind)];
  // A reply not understood leaves what the last one told.
  if (result.kind == ExchangeResult::Kind::Reply)
    link::FoldReply(figures.status, code, result.reply);
}

std::string RenderMetrics(const std::vector<const ProjectorFigures*>& projectors,
                          const ServiceFigures& service) {
  Page page;
  ProjectorFamilies(page, projectors);
  ReadingFamilies(page, projectors);
  ServiceFamilies(page, service);
  return page.take();
}

}  // namespace mero::serve
