#include "serve/service.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <algorithm>
#include <chrono>
#include <utility>

#include "link/lines/qt_port_discovery.h"
#include "link/lines/qt_reopening_line.h"
#include "link/lines/qt_timer.h"
#include "link/port/exchange_engine.h"
#include "link/port/port_discovery.h"
#include "serve/answer_watch.h"
#include "serve/key_repeat.h"
#include "serve/line_words.h"
#include "serve/pjlink_bridge.h"
#include "serve/poller.h"
#include "serve/qt_http_server.h"
#include "serve/qt_maintenance_server.h"
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

// Room for the page's event streams (EventStreams::Limits) besides the requests.
constexpr QtHttpServer::Limits kHttpLimits{std::size_t{16} * 1024, 30, 256, 48};

}  // namespace

// One projector: its line, kept open and reopened when lost, the exchange engine on it, the
// PJLink server and the maintenance line in front and the poll behind.
class ProjectorService : public WebProjector {
 public:
  ProjectorService(const ProjectorConfig& config, ServiceFigures& service, Log log,
                   std::function<void()> changed)
      : config_(config),
        log_(std::move(log)),
        line_(link::ComDevice{config.address, link::StableNameOf(config.address), false},
              link::LineSettings{config.speed, link::Parity::None, kDataBits, link::StopBits::One}),
        engine_(line_, window_, MonotonicMs),
        bridge_(engine_, PjlinkIdentity{config.name, "mero-control " + std::string(kVersion)}),
        server_(bridge_, config.password, service, {},
                [this](Priority p, const std::string& t) { say(p, t); }),
        poller_(engine_, pollTimer_, figures_, WallSeconds),
        keys_(engine_, keyPeriod_, keyHeartbeat_, kKeyHeartbeatMs),
        changed_(std::move(changed)) {
    keys_.onChanged = changed_;
    poller_.onDecided = changed_;
    figures_.id = config.id;
    figures_.name = config.name;
    figures_.address = config.address;
    figures_.pjlink = Shown(config.pjlink);
    engine_.onExchanged = [this](const link::Bytes& text, const ExchangeResult& result) {
      Record(figures_, std::string_view(text).substr(0, text.size() - 1), result);
      if (const auto change = answers_.exchanged(result, MonotonicMs(), WallSeconds())) {
        say(DescribeAnswering(config_.address, *change));
      }
      changed_();
    };
    server_.onRequestAnswered = [this] { ++figures_.pjlinkRequests; };
    engine_.onLineUp = [this] {
      say(DescribeLineUp(config_.address, std::exchange(wasDown_, false)));
      figures_.lineUp = true;
      changed_();
    };
    engine_.onLineDown = [this](const link::LineFailure& failure) {
      say(DescribeLineDown(config_.address, failure));
      wasDown_ = true;
      figures_.lineUp = false;
      figures_.answering = false;
      changed_();
    };
    engine_.onLineNotice = [this](const std::string& notice) {
      say(DescribeLineNotice(config_.address, notice));
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
    return listenForMaintenance(config_.maintenance);
  }

  ~ProjectorService() override { line_.stop(); }
  ProjectorService(const ProjectorService&) = delete;
  ProjectorService& operator=(const ProjectorService&) = delete;

  const ProjectorConfig& config() const { return config_; }
  // What a reload changes that keeps the line and the clients.
  void update(const ProjectorConfig& config, int offsetMs, int intervalMs, bool repoll) {
    if (config.name != config_.name) bridge_.rename(config.name);
    if (repoll) poller_.start(offsetMs, intervalMs);
    // Its own client only: PJLink's and the line stay.
    if (config.maintenance != config_.maintenance) listenForMaintenance(config.maintenance);
    config_ = config;
  }
  const ProjectorFigures& figures() const override { return figures_; }
  link::Exchanges& exchanges() override { return engine_; }
  KeyRepeat& keys() override { return keys_; }
  void askStatus() override { poller_.poll(); }
  int clients() const { return server_.clients(); }

 private:
  static constexpr int kDataBits = 8;

  void say(Priority priority, const std::string& text) {
    log_(priority, "[" + config_.id + "] " + text);
  }
  void say(const Message& message) { say(message.priority, message.text); }

  bool listenForMaintenance(const std::optional<ListenAddress>& address) {
    maintenance_.reset();
    if (!address) return true;
    maintenance_ = std::make_unique<MaintenanceServer>(
        config_.id, engine_, figures_, [this](Priority p, const std::string& t) { say(p, t); });
    std::string error;
    if (!maintenance_->listen(address->host, address->port, &error)) {
      say(Priority::Error, "maintenance cannot listen on " + Shown(*address) + ": " + error);
      maintenance_.reset();
      return false;
    }
    say(Priority::Info, "maintenance line on " + Shown(*address) + " for " + config_.address);
    return true;
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
  link::QtTimer keyPeriod_;
  link::QtTimer keyHeartbeat_;
  KeyRepeat keys_;
  std::function<void()> changed_;
  AnswerWatch answers_;
  std::unique_ptr<MaintenanceServer> maintenance_;
  bool wasDown_ = false;  // since the line last opened
};

// The page's files, compiled into the program.
std::vector<WebFile> PageFiles() {
  static constexpr std::array<std::array<const char*, 3>, 4> kFiles{{
      {"/", ":/web/index.html", "text/html; charset=utf-8"},
      {"/app.js", ":/web/app.js", "text/javascript; charset=utf-8"},
      {"/style.css", ":/web/style.css", "text/css; charset=utf-8"},
      {"/api/v1/openapi.json", ":/web/openapi.json", "application/json"},
  }};
  std::vector<WebFile> files;
  for (const auto& [path, resource, type] : kFiles) {
    QFile file(QString::fromLatin1(resource));
    if (file.open(QIODevice::ReadOnly)) files.push_back({path, type, file.readAll().toStdString()});
  }
  return files;
}

Service::Service(Log log)
    : log_(std::move(log)),
      streams_(std::make_unique<EventStreams>(streamKeepalive_, EventStreams::Limits{}, log_)),
      web_(std::make_unique<WebApi>(
          [this] {
            std::vector<WebProjector*> list;
            for (const ProjectorConfig& projector : config_.projectors) {
              const auto it = projectors_.find(projector.id);
              if (it != projectors_.end()) list.push_back(it->second.get());
            }
            return list;
          },
          *streams_, log_)) {
  figures_.version = kVersion;
}

Service::~Service() { stop(); }

void Service::stop() {
  metrics_.reset();
  projectors_.clear();
}

void Service::changed(const std::string& id) { web_->refresh(id); }

bool Service::apply(const ServiceConfig& config) {
  bool listening = true;
  for (const std::string& warning : config.warnings) {
    if (std::ranges::find(config_.warnings, warning) == config_.warnings.end()) {
      log_(Priority::Warning, warning);
    }
  }
  const int intervalMs = config.pollSeconds * 1000;
  const bool repoll = config.pollSeconds != config_.pollSeconds;
  std::map<std::string, std::unique_ptr<ProjectorService>> kept;
  for (std::size_t i = 0; i < config.projectors.size(); ++i) {
    const ProjectorConfig& projector = config.projectors[i];
    auto it = projectors_.find(projector.id);
    if (it != projectors_.end() && KeepsConnections(it->second->config(), projector)) {
      it->second->update(projector, PollOffsetMs(i, config.projectors.size(), intervalMs),
                         intervalMs, repoll);
      kept.emplace(projector.id, std::move(it->second));
    }
  }
  // Those changed or gone let go of their devices and addresses before the new ones start.
  projectors_ = std::move(kept);
  for (std::size_t i = 0; i < config.projectors.size(); ++i) {
    const ProjectorConfig& projector = config.projectors[i];
    if (projectors_.contains(projector.id)) continue;
    auto made = std::make_unique<ProjectorService>(projector, figures_, log_,
                                                   [this, id = projector.id] { changed(id); });
    listening &= made->start(PollOffsetMs(i, config.projectors.size(), intervalMs), intervalMs);
    projectors_.emplace(projector.id, std::move(made));
  }
  if (!metrics_ || config.metrics != config_.metrics) listening &= listenForMetrics(config.metrics);
  web_->setToken(config.token);
  config_ = config;
  web_->refresh();
  return listening;
}

bool Service::listenForMetrics(const std::optional<ListenAddress>& address) {
  metrics_.reset();
  if (!address) return true;
  http::Routes routes;
  routes.add("/metrics",
             {{"GET"}, 0, http::Now([this](const http::Request&) {
                return http::Response{
                    200, "text/plain; version=0.0.4; charset=utf-8", metricsPage(), {}, {}};
              })});
  web_->addRoutes(routes, PageFiles());
  metrics_ = std::make_unique<QtHttpServer>(
      "http", std::move(routes), kHttpLimits, log_, [this](http::Refusal refusal) {
        ++(refusal == http::Refusal::Idle ? figures_.httpIdleClosed : figures_.httpRefused);
      });
  std::string error;
  if (!metrics_->listen(address->host, address->port, &error)) {
    log_(Priority::Error, "metrics cannot listen on " + Shown(*address) + ": " + error);
    metrics_.reset();
    return false;
  }
  log_(Priority::Info, "metrics on http://" + Shown(*address) + "/metrics, the page on http://" +
                           Shown(*address) + "/");
  return true;
}

std::string Service::metricsPage() const {
  std::vector<const ProjectorFigures*> figures;
  figures.reserve(config_.projectors.size());
  for (const ProjectorConfig& projector : config_.projectors) {
    const auto it = projectors_.find(projector.id);
    if (it != projectors_.end()) figures.push_back(&it->second->figures());
  }
  ServiceFigures service = figures_;
  service.webStreams = streams_->count();
  service.webStreamsClosed = streams_->closed();
  service.webUnauthorized = web_->unauthorized();
  service.httpRefused += web_->tooMany();
  return RenderMetrics(figures, service);
}

ServiceSummary Service::summary() const {
  ServiceSummary summary;
  for (const auto& [id, projector] : projectors_) {
    const ProjectorFigures& figures = projector->figures();
    ++summary.projectors;
    summary.linesOpen += figures.lineUp ? 1 : 0;
    summary.answering += figures.lineUp && figures.answering ? 1 : 0;
    summary.controllers += projector->clients();
  }
  return summary;
}

}  // namespace mero::serve
