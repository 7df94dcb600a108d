// One service holding 1 000 projectors, each on a pseudo-terminal of its own, served by four
// virtual projector processes: the service's memory, the time of one metrics scrape, and the
// share of projectors whose last poll is on time at each scrape over half a minute.
#include <sys/resource.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QThread>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "process_figures.h"
#include "report.h"
#include "serve_process.h"

namespace {

using mero::bench::Report;

constexpr int kProcesses = 4;
constexpr int kPerProcess = 250;
constexpr int kProjectors = kProcesses * kPerProcess;
constexpr int kPollSeconds = 10;
// A poll counts as on time when the newest one is no older than its interval and this much.
constexpr double kLatenessSeconds = 2.0;
constexpr int kRunSeconds = 30;
constexpr int kScrapeEveryMs = 2000;

double Percentile(std::vector<double> values, double share) {
  if (values.empty()) return 0;
  std::ranges::sort(values);
  return values[static_cast<std::size_t>(share * static_cast<double>(values.size() - 1))];
}

QByteArray Get(QNetworkAccessManager& network, const QString& url) {
  std::unique_ptr<QNetworkReply> reply(network.get(QNetworkRequest(QUrl(url))));
  while (!reply->isFinished()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
  return reply->readAll();
}

// The last-poll times of a page, in Unix seconds.
std::vector<double> LastPolls(const QByteArray& page) {
  std::vector<double> times;
  for (const QByteArray& line : page.split('\n')) {
    if (line.startsWith("mero_projector_last_poll_timestamp_seconds{")) {
      times.push_back(line.mid(line.lastIndexOf(' ') + 1).toDouble());
    }
  }
  return times;
}

// Every line, socket and timer of 1 000 projectors needs its descriptor; the service inherits
// the limit from here.
void RaiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  RaiseDescriptorLimit();
  std::vector<std::unique_ptr<QProcess>> projectors;
  std::vector<std::string> devices;
  for (int i = 0; i < kProcesses; ++i) {
    auto process = std::make_unique<QProcess>();
    process->start(QStringLiteral(MERO_VIRTUAL_PROJECTOR_BINARY),
                   {QStringLiteral("--count"), QString::number(kPerProcess)});
    QElapsedTimer waited;
    waited.start();
    int paths = 0;
    while (paths < kPerProcess && waited.elapsed() < 30000) {
      process->waitForReadyRead(1000);
      while (process->canReadLine()) {
        devices.push_back(process->readLine().trimmed().toStdString());
        ++paths;
      }
    }
    projectors.push_back(std::move(process));
  }
  if (static_cast<int>(devices.size()) != kProjectors) {
    std::fprintf(stderr, "serve_fleet: %zu of %d virtual projectors started\n", devices.size(),
                 kProjectors);
    return 1;
  }
  const std::vector<quint16> ports = mero::test::FreePorts(kProjectors + 1);
  std::string config = "[service]\npoll-interval = " + std::to_string(kPollSeconds) +
                       "\nmetrics = 127.0.0.1:" + std::to_string(ports.back()) + "\n";
  for (int i = 0; i < kProjectors; ++i) {
    const auto at = static_cast<std::size_t>(i);
    config += "[p" + std::to_string(i) + "]\naddress = " + devices[at] +
              "\npjlink = 127.0.0.1:" + std::to_string(ports[at]) + "\n";
  }
  QElapsedTimer started;
  started.start();
  mero::test::ServeProcess serve(QStringLiteral(MERO_CONTROL_BINARY), config);
  if (!serve.started()) {
    std::fprintf(stderr, "the service did not start: %s\n", serve.log().c_str());
    return 1;
  }
  const auto startMs = static_cast<double>(started.elapsed());
  QNetworkAccessManager network;
  const QString url = QStringLiteral("http://127.0.0.1:%1/metrics").arg(ports.back());
  // The first round of polls, spread over one interval.
  QElapsedTimer waited;
  waited.start();
  while (LastPolls(Get(network, url)).size() < static_cast<std::size_t>(kProjectors) &&
         waited.elapsed() < qint64{3} * kPollSeconds * 1000) {
    QThread::msleep(500);
  }
  std::vector<double> scrapeMs;
  std::vector<double> onTime;
  QByteArray page;
  QElapsedTimer run;
  run.start();
  while (run.elapsed() < qint64{kRunSeconds} * 1000) {
    QElapsedTimer one;
    one.start();
    page = Get(network, url);
    scrapeMs.push_back(static_cast<double>(one.nsecsElapsed()) / 1e6);
    const double now = static_cast<double>(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
    const std::vector<double> polls = LastPolls(page);
    const auto fresh = std::ranges::count_if(
        polls, [now](double at) { return now - at <= kPollSeconds + kLatenessSeconds; });
    onTime.push_back(100.0 * static_cast<double>(fresh) / kProjectors);
    QThread::msleep(kScrapeEveryMs);
  }
  const double rss = mero::bench::ProcessMegabytes(serve.pid(), "VmRSS:");
  const double peak = mero::bench::ProcessMegabytes(serve.pid(), "VmHWM:");
  std::printf("%d projectors on %d virtual projector processes; %zu scrapes of %.0f KiB\n",
              kProjectors, kProcesses, scrapeMs.size(), static_cast<double>(page.size()) / 1024);
  Report({"fleet_1000_service_started", startMs, "ms", "", 0, "until it says it serves"});
  Report({"fleet_1000_service_memory", rss, "MB", "", 0, ""});
  Report({"fleet_1000_service_peak_memory", peak, "MB", "", 0, ""});
  Report({"fleet_1000_metrics_scrape_p50", Percentile(scrapeMs, 0.5), "ms", "", 0, ""});
  Report({"fleet_1000_metrics_scrape_worst", Percentile(scrapeMs, 1.0), "ms", "", 0, ""});
  Report({"fleet_1000_polls_on_time_worst_scrape", *std::ranges::min_element(onTime), "%", "", 0,
          "every projector polled within its interval"});
  serve.stop();
  for (auto& process : projectors) {
    process->terminate();
    process->waitForFinished(5000);
  }
  return 0;
}
