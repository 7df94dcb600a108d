#include "serve/metrics.h"

#include <charconv>
#include <cmath>
#include <span>

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

void AddLabel(std::string& labels, std::string_view key, std::string_view value) {
  if (!labels.empty()) labels += ',';
  labels += key;
  labels += "=\"";
  labels += Escaped(value);
  labels += '"';
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
  void sample(std::string_view name, std::string_view suffix, const std::string& labels,
              double value) {
    text_ += name;
    text_ += suffix;
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

// The samples of one family for one projector, each labelled with the projector.
class Samples {
 public:
  Samples(Page& page, std::string_view family, const ProjectorFigures& figures)
      : page_(page), family_(family) {
    AddLabel(projector_, "projector", figures.id);
  }
  void operator()(double value, std::string_view suffix = {}) {
    page_.sample(family_, suffix, projector_, value);
  }
  void operator()(std::string_view key, std::string_view label, double value,
                  std::string_view suffix = {}) {
    std::string labels = projector_;
    AddLabel(labels, key, label);
    page_.sample(family_, suffix, labels, value);
  }

 private:
  Page& page_;
  std::string_view family_;
  std::string projector_;
};

// Behind a line that is down a projector does not answer, whatever its last poll said.
bool Answers(const ProjectorFigures& p) { return p.lineUp && p.answering; }

void LineUp(Samples& out, const ProjectorFigures& p) { out(p.lineUp ? 1 : 0); }

void Answering(Samples& out, const ProjectorFigures& p) { out(Answers(p) ? 1 : 0); }

void Power(Samples& out, const ProjectorFigures& p) {
  const auto& power = p.status.power;
  const std::optional<int> number = power ? PjlinkPowerNumber(power->state) : std::nullopt;
  if (number) out(*number);
}

// In the base unit the format asks for: the counter's hours times 3600.
void Lamp(Samples& out, const ProjectorFigures& p) {
  if (p.status.lampHours) out(static_cast<double>(*p.status.lampHours) * 3600.0);
}

void Temperatures(Samples& out, const ProjectorFigures& p) {
  const auto& degrees = p.status.degrees;
  for (std::size_t i = 0; i < degrees.size(); ++i) {
    if (degrees[i]) out("sensor", std::to_string(i + 1), *degrees[i]);
  }
}

void Errors(Samples& out, const ProjectorFigures& p) {
  if (!p.status.power) return;
  for (const ErrorKind& kind : ErrorKinds())
    out("kind", kind.name, static_cast<int>(FaultOf(kind, p.status.power->faults)));
}

void LastPoll(Samples& out, const ProjectorFigures& p) {
  if (p.lastPollSeconds) out(*p.lastPollSeconds);
}

void Exchanges(Samples& out, const ProjectorFigures& p) {
  for (std::size_t i = 0; i < kResultNames.size(); ++i)
    out("result", kResultNames[i], static_cast<double>(p.exchanges[i]));
}

void Times(Samples& out, const ProjectorFigures& p) {
  std::uint64_t cumulative = 0;
  for (std::size_t i = 0; i < kExchangeBuckets.size(); ++i) {
    cumulative += p.times.buckets[i];
    out("le", Number(kExchangeBuckets[i]), static_cast<double>(cumulative), "_bucket");
  }
  out("le", "+Inf", static_cast<double>(p.times.count), "_bucket");
  out(p.times.seconds, "_sum");
  out(static_cast<double>(p.times.count), "_count");
}

void PjlinkRequests(Samples& out, const ProjectorFigures& p) {
  out(static_cast<double>(p.pjlinkRequests));
}

void MaintenanceConnected(Samples& out, const ProjectorFigures& p) {
  out(p.maintenanceSince ? 1 : 0);
}

void MaintenanceSince(Samples& out, const ProjectorFigures& p) {
  if (p.maintenanceSince) out(*p.maintenanceSince);
}

void MaintenanceCommands(Samples& out, const ProjectorFigures& p) {
  for (std::size_t i = 0; i < kResultNames.size(); ++i)
    out("result", kResultNames[i], static_cast<double>(p.maintenanceCommands[i]));
}

void MaintenanceRefused(Samples& out, const ProjectorFigures& p) {
  out(static_cast<double>(p.maintenanceRefused));
}

struct Family {
  std::string_view name;
  std::string_view type;
  std::string_view help;
  // Told only while the projector answers: an old reading is not repeated as a present one.
  bool state;
  void (*samples)(Samples& out, const ProjectorFigures& p);
};

// clang-format off
constexpr std::array kFamilies = std::to_array<Family>({
    {"mero_projector_line_up", "gauge",
     "Whether the projector's line is open (1) or not (0).", false, LineUp},
    {"mero_projector_answering", "gauge",
     "Whether the projector answered its last poll in full (1) or not (0).", false, Answering},
    {"mero_projector_power_state", "gauge",
     "Power state as PJLink numbers it: 0 stand-by, 1 on, 2 cooling down, 3 warming up.", true,
     Power},
    {"mero_projector_lamp_use_seconds", "gauge",
     "The projector's lamp hour counter, in seconds (divide by 3600 for its hours).", true, Lamp},
    {"mero_projector_temperature_celsius", "gauge",
     "The projector's three temperature readings, by sensor.", true, Temperatures},
    {"mero_projector_error", "gauge",
     "PJLink's error status by kind: 0 none, 1 warning, 2 error.", true, Errors},
    {"mero_projector_last_poll_timestamp_seconds", "gauge",
     "When the projector last answered every status query of a poll.", false, LastPoll},
    {"mero_projector_exchanges_total", "counter",
     "Exchanges with the projector, by how they ended.", false, Exchanges},
    {"mero_projector_exchange_duration_seconds", "histogram",
     "Time from a command's send to the end of its exchange.", false, Times},
    {"mero_projector_pjlink_requests_total", "counter",
     "PJLink requests answered.", false, PjlinkRequests},
    {"mero_projector_maintenance_connected", "gauge",
     "Whether a client holds the projector's maintenance port (1) or not (0).", false,
     MaintenanceConnected},
    {"mero_projector_maintenance_since_seconds", "gauge",
     "When the maintenance client that holds the port connected.", false, MaintenanceSince},
    {"mero_projector_maintenance_commands_total", "counter",
     "The maintenance client's commands, by how their exchange ended.", false,
     MaintenanceCommands},
    {"mero_projector_maintenance_refused_total", "counter",
     "Maintenance clients turned away while another held the port.", false, MaintenanceRefused},
});
// clang-format on

void InfoFamily(Page& page, std::span<const ProjectorFigures* const> projectors) {
  static constexpr std::string_view kName = "mero_projector_info";
  page.family(kName, "gauge",
              "The projector's section, NAME, model as it last told it, line and PJLink address.");
  for (const ProjectorFigures* p : projectors) {
    std::string labels;
    AddLabel(labels, "projector", p->id);
    AddLabel(labels, "name", p->name);
    // A silent projector keeps the model it last told, so that an alert about it can name it.
    if (p->status.model) AddLabel(labels, "model", *p->status.model);
    AddLabel(labels, "address", p->address);
    AddLabel(labels, "pjlink", p->pjlink);
    page.sample(kName, {}, labels, 1);
  }
}

void ServiceFamilies(Page& page, const ServiceFigures& service) {
  page.family("mero_service_build_info", "gauge", "The service's version.");
  std::string labels;
  AddLabel(labels, "version", service.version);
  page.sample("mero_service_build_info", {}, labels, 1);
  page.family("mero_service_pjlink_refused_total", "counter",
              "PJLink connections closed or turned away, by reason.");
  for (std::size_t i = 0; i < kPjlinkRefusalNames.size(); ++i) {
    std::string reason;
    AddLabel(reason, "reason", kPjlinkRefusalNames[i]);
    page.sample("mero_service_pjlink_refused_total", {}, reason,
                static_cast<double>(service.pjlinkRefusedBy[i]));
  }
  page.family("mero_service_pjlink_accept_pauses_total", "counter",
              "Times PJLink stopped accepting for a moment, out of file descriptors.");
  page.sample("mero_service_pjlink_accept_pauses_total", {}, {},
              static_cast<double>(service.pjlinkAcceptPauses));
  page.family("mero_service_http_refused_total", "counter",
              "HTTP requests and connections refused at a bound: an oversized header or body, a "
              "malformed request, too many connections or no descriptor left.");
  page.sample("mero_service_http_refused_total", {}, {}, static_cast<double>(service.httpRefused));
  page.family("mero_service_http_idle_closed_total", "counter",
              "HTTP connections closed after the idle time, silent or with a request unfinished.");
  page.sample("mero_service_http_idle_closed_total", {}, {},
              static_cast<double>(service.httpIdleClosed));
  page.family("mero_service_web_streams", "gauge", "Event streams of the web page open.");
  page.sample("mero_service_web_streams", {}, {}, static_cast<double>(service.webStreams));
  page.family("mero_service_web_streams_closed_total", "counter",
              "Event streams closed at a bound: for a newcomer, or for not reading.");
  page.sample("mero_service_web_streams_closed_total", {}, {},
              static_cast<double>(service.webStreamsClosed));
  page.family("mero_service_web_unauthorized_total", "counter",
              "Changes from the web page or the API refused for want of the token.");
  page.sample("mero_service_web_unauthorized_total", {}, {},
              static_cast<double>(service.webUnauthorized));
}

}  // namespace

void ExchangeTimes::add(const ExchangeResult& result) {
  if (result.kind == ExchangeResult::Kind::LineDown || result.kind == ExchangeResult::Kind::Busy) {
    return;  // nothing went to the projector
  }
  const double taken = result.ms / 1000.0;
  ++count;
  seconds += taken;
  for (std::size_t i = 0; i < kExchangeBuckets.size(); ++i) {
    if (taken <= kExchangeBuckets[i]) {
      ++buckets[i];
      break;
    }
  }
}

void Record(ProjectorFigures& figures, std::string_view code, const ExchangeResult& result) {
  ++figures.exchanges[static_cast<std::size_t>(result.kind)];
  figures.times.add(result);
  // A reply not understood leaves what the last one told.
  if (result.kind == ExchangeResult::Kind::Reply)
    link::FoldReply(figures.status, code, result.reply);
}

std::string RenderMetrics(const std::vector<const ProjectorFigures*>& projectors,
                          const ServiceFigures& service) {
  Page page;
  InfoFamily(page, projectors);
  for (const Family& family : kFamilies) {
    page.family(family.name, family.type, family.help);
    for (const ProjectorFigures* p : projectors) {
      if (family.state && !Answers(*p)) continue;
      Samples out(page, family.name, *p);
      family.samples(out, *p);
    }
  }
  ServiceFamilies(page, service);
  return page.take();
}

}  // namespace mero::serve
