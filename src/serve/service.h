#pragma once

#include <QObject>
#include <QTimer>
#include <map>
#include <memory>
#include <string>

#include "link/lines/qt_timer.h"
#include "serve/config.h"
#include "serve/event_streams.h"
#include "serve/log.h"
#include "serve/metrics.h"
#include "serve/service_summary.h"
#include "serve/web_api.h"

namespace mero::serve {

class ProjectorService;
class QtHttpServer;

// The service: each configured projector on its line, with its PJLink server and its poll,
// and the metrics page. Messages for the operator go to `log`, one line each.
class Service : public QObject {
  Q_OBJECT
 public:
  explicit Service(Log log);
  ~Service() override;

  // Takes a configuration: projectors whose section is unchanged keep their line and their
  // clients, the others are closed and made anew. False, with the reasons logged, when
  // something could not be listened on; the rest runs.
  bool apply(const ServiceConfig& config);
  // Closes every line and server.
  void stop();

  std::string metricsPage() const;
  ServiceSummary summary() const;

 private:
  bool listenForMetrics(const std::optional<ListenAddress>& address);
  // A projector's state may have changed: the page's streams hear of it.
  void changed(const std::string& id);

  Log log_;
  ServiceConfig config_;
  link::QtTimer streamKeepalive_;
  std::unique_ptr<EventStreams> streams_;
  std::unique_ptr<WebApi> web_;
  std::map<std::string, std::unique_ptr<ProjectorService>> projectors_;
  ServiceFigures figures_;
  std::unique_ptr<QtHttpServer> metrics_;
};

}  // namespace mero::serve
