#include "serve/service.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QHttpServer>
#include <QHttpServerResponse>
#include <chrono>

#include "link/lines/qt_port_discovery.h"
#include "link/lines/qt_reopening_line.h"
#include "link/lines/qt_timer.h"
#include "link/port/exchange_engine.h"
#include "link/port/port_discovery.h"
#include "serve/line_words.h"
#include "serve/pjlink_bridge.h"
#include "serve/poller.h"
#include "serve/qt_pjlink_server.h"
#include "version.h"

namespace mero::serve {
namespace {

double MonotonicMs() {
  return std::chrono::duration<double, std::milli>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

double WallSeconds() { return static_cast<double>(QDateTime::currentMSecsSinceEpoch()) / 1000.0; }

std::string Shown(const ListenAddress& address) {
  const bool v6 = address.host.find(':') != std::string::npos;
  return (v6 ? "[" + address.host + "]" : address.host) + ":" + std::to_string(address.port);
}

}  // namespace

// One projector: its line, kept open and reopened when lost, the exchange engine on it, the
// PJLink server in front and the poll behind.
class ProjectorService {
 public:
  ProjectorService(const ProjectorConfig& config, ServiceFigures& service, Log log)
      : config_(config),
        log_(std::move(log)),
        line_(link::ComDevice{config.address, link::StableNameOf(config.address), false},
              link::LineSettings{config.speed, link::Parity::None, kDataBits, link::StopBits::One}),
        engine_(line_, window_, MonotonicMs),
        bridge_(engine_, PjlinkIdentity{config.name, "mero-control " + std::string(kVersion)}),
        server_(bridge_, config.password, service),
        poller_(engine_, pollTimer_, figures_, WallSeconds) {
    figures_.name = config.id;
    engine_.onExchanged = [this, &service](const link::Bytes& text, const ExchangeResult& result) {
      Record(figures_, std::string_view(text).substr(0, text.size() - 1), result);
      service.count(result);
    };
    engine_.onLineUp = [this] {
      say(Priority::Info, "line " + config_.address + " is open");
      figures_.lineUp = true;
    };
    engine_.onLineDown = [this](const link::LineFailure& failure) {
      say(Priority::Warning, DescribeLineDown(config_.address, failure));
      figures_.lineUp = false;
    };
    engine_.onLineNotice = [this](const std::string& notice) {
      say(Priority::Notice, "line " + config_.address + ": " + notice);
    };
  }

  bool start(int offsetMs, int intervalMs) {
    line_.start();
    poller_.start(offsetMs, intervalMs);
    std::string error;
    if (!server_.listen(config_.pjlink.host, config_.pjlink.port, &error)) {
      say(Priority::Error, "PJLink cannot listen on " + Shown(config_.pjlink) + ": " + error);
      return false;
    }
    say(Priority::Info, "PJLink on " + Shown(config_.pjlink) + " for " + config_.address);
    return true;
  }

  ~ProjectorService() { line_.stop(); }
  ProjectorService(const ProjectorService&) = delete;
  ProjectorService& operator=(const ProjectorService&) = delete;

  const ProjectorConfig& config() const { return config_; }
  const ProjectorFigures& figures() const { return figures_; }
  int clients() const { return server_.clients(); }

 private:
  static constexpr int kDataBits = 8;

  void say(Priority priority, const std::string& text) {
    log_(priority, "[" + config_.id + "] " + text);
  }

  ProjectorConfig config_;
  Log log_;
  link::QtReopeningLine line_;
  link::QtTimer window_;
  link::QtTimer pollTimer_;
  ProjectorFigures figures_;
  link::ExchangeEngine engine_;
  PjlinkBridge bridge_;
  PjlinkServer server_;
  Poller poller_;
};

Service::Service(Log log) : log_(std::move(log)) {}

Service::~Service() { stop(); }

void Service::stop() {
  projectors_.clear();
  metrics_.reset();
}

bool Service::apply(const ServiceConfig& config) {
  bool listening = true;
  std::map<std::string, std::unique_ptr<ProjectorService>> kept;
  for (const ProjectorConfig& projector : config.projectors) {
    auto it = projectors_.find(projector.id);
    if (it != projectors_.end() && it->second->config() == projector &&
        config.pollSeconds == config_.pollSeconds) {
      kept.emplace(projector.id, std::move(it->second));
    }
  }
  // Those changed or gone let go of their devices and addresses before the new ones start.
  projectors_ = std::move(kept);
  const int intervalMs = config.pollSeconds * 1000;
  for (std::size_t i = 0; i < config.projectors.size(); ++i) {
    const ProjectorConfig& projector = config.projectors[i];
    if (projectors_.contains(projector.id)) continue;
    auto made = std::make_unique<ProjectorService>(projector, figures_, log_);
    listening &= made->start(PollOffsetMs(i, config.projectors.size(), intervalMs), intervalMs);
    projectors_.emplace(projector.id, std::move(made));
  }
  if (!metrics_ || config.metrics != config_.metrics) listening &= listenForMetrics(config.metrics);
  config_ = config;
  return listening;
}

bool Service::listenForMetrics(const std::optional<ListenAddress>& address) {
  metrics_.reset();
  if (!address) return true;
  metrics_ = std::make_unique<QHttpServer>();
  metrics_->route("/metrics", [this] {
    return QHttpServerResponse("text/plain; version=0.0.4; charset=utf-8",
                               QByteArray::fromStdString(metricsPage()));
  });
  if (metrics_->listen(QHostAddress(QString::fromStdString(address->host)), address->port) == 0) {
    log_(Priority::Error, "metrics cannot listen on " + Shown(*address));
    metrics_.reset();
    return false;
  }
  log_(Priority::Info, "metrics on http://" + Shown(*address) + "/metrics");
  return true;
}

std::string Service::metricsPage() const {
  std::vector<const ProjectorFigures*> figures;
  figures.reserve(config_.projectors.size());
  for (const ProjectorConfig& projector : config_.projectors) {
    const auto it = projectors_.find(projector.id);
    if (it != projectors_.end()) figures.push_back(&it->second->figures());
  }
  return RenderMetrics(figures, figures_);
}

ServiceSummary Service::summary() const {
  ServiceSummary summary;
  for (const auto& [id, projector] : projectors_) {
    const ProjectorFigures& figures = projector->figures();
    ++summary.projectors;
    summary.linesOpen += figures.lineUp ? 1 : 0;
    summary.answering += figures.lineUp && figures.lastPollSeconds ? 1 : 0;
    summary.controllers += projector->clients();
  }
  return summary;
}

}  // namespace mero::serve
