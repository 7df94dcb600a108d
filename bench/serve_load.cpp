// The service under its two loads: 50 PJLink clients asking one projector's power once a
// second for a minute (every answer timed, the service's processor time and memory), and a
// metrics scrape of 100 projectors behind one ser2net (time and size of the page).
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "process_figures.h"
#include "projector/pty_server.h"
#include "report.h"
#include "ser2net.h"
#include "serve_process.h"

namespace {

using mero::bench::Figure;
using mero::bench::Report;

constexpr int kClients = 50;
constexpr int kSeconds = 60;
constexpr std::size_t kProjectorsBehindServer = 100;
constexpr int kScrapes = 20;

double Percentile(std::vector<double> values, double share) {
  if (values.empty()) return 0;
  std::ranges::sort(values);
  return values[static_cast<std::size_t>(share * static_cast<double>(values.size() - 1))];
}

// One client: connects, takes the greeting, then asks "POWR ?" once a second.
struct Client {
  QTcpSocket socket;
  QTimer tick;
  QElapsedTimer asked;
  std::string pending;
  bool greeted = false;
  bool waiting = false;
  int unanswered = 0;
};

QByteArray Get(QNetworkAccessManager& network, const QString& url) {
  std::unique_ptr<QNetworkReply> reply(network.get(QNetworkRequest(QUrl(url))));
  while (!reply->isFinished()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
  return reply->readAll();
}

void PjlinkClients() {
  mero::vp::PtyServer projector;
  const std::vector<quint16> ports = mero::test::FreePorts(2);
  const quint16 port = ports[0];
  mero::test::ServeProcess serve(QStringLiteral(MERO_CONTROL_BINARY),
                                 "[service]\nmetrics = 127.0.0.1:" + std::to_string(ports[1]) +
                                     "\n[hall]\naddress = " + projector.DevicePath() +
                                     "\npjlink = 127.0.0.1:" + std::to_string(port) + "\n");
  if (!serve.started()) {
    std::fprintf(stderr, "the service did not start: %s\n", serve.log().c_str());
    std::exit(1);
  }
  std::vector<double> answerMs;
  std::vector<std::unique_ptr<Client>> clients;
  int asked = 0;
  int answered = 0;
  const double cpuBefore = mero::bench::ProcessCpuSeconds(serve.pid());
  for (int i = 0; i < kClients; ++i) {
    auto client = std::make_unique<Client>();
    Client* c = client.get();
    QObject::connect(&c->socket, &QTcpSocket::readyRead, [&, c] {
      c->pending += c->socket.readAll().toStdString();
      for (auto end = c->pending.find('\r'); end != std::string::npos;
           end = c->pending.find('\r')) {
        const std::string line = c->pending.substr(0, end);
        c->pending.erase(0, end + 1);
        if (!c->greeted) {
          c->greeted = true;
          continue;
        }
        if (line.starts_with("%1POWR=") && c->waiting) {
          answerMs.push_back(static_cast<double>(c->asked.nsecsElapsed()) / 1e6);
          ++answered;
          c->waiting = false;
        }
      }
    });
    c->tick.setInterval(1000);
    c->tick.setTimerType(Qt::PreciseTimer);  // coarse timers would gather the clients together
    QObject::connect(&c->tick, &QTimer::timeout, [&, c] {
      if (c->waiting) ++c->unanswered;
      c->socket.write("%1POWR ?\r");
      c->asked.start();
      c->waiting = true;
      ++asked;
    });
    c->socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    // Spread over the second, as clients of many rooms would be.
    QTimer::singleShot(1000 * i / kClients, [c] { c->tick.start(); });
    clients.push_back(std::move(client));
  }
  QElapsedTimer run;
  run.start();
  while (run.elapsed() < qint64{kSeconds} * 1000)
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
  for (auto& c : clients) c->tick.stop();
  QElapsedTimer drain;
  drain.start();
  while (answered < asked && drain.elapsed() < 3000)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
  const double cpu = mero::bench::ProcessCpuSeconds(serve.pid()) - cpuBefore;
  const double peak = mero::bench::ProcessMegabytes(serve.pid(), "VmHWM:");
  // Asked of the projector itself: one "CR0" serves every client that asks within its window.
  QNetworkAccessManager network;
  const QByteArray page = Get(network, QStringLiteral("http://127.0.0.1:%1/metrics").arg(ports[1]));
  const QByteArray key = R"(mero_projector_exchanges_total{projector="hall",result="reply"} )";
  const qsizetype at = page.indexOf(key);
  const double onTheLine = at < 0 ? 0 : page.mid(at + key.size()).split('\n')[0].toDouble();
  std::printf("%d clients, %d s: %d asked, %d answered, %.0f exchanges on the line\n", kClients,
              kSeconds, asked, answered, onTheLine);
  Report({"pjlink_50_clients_answered", 100.0 * answered / std::max(asked, 1), "%", "", 0,
          "all answered"});
  Report({"pjlink_answer_p50", Percentile(answerMs, 0.5), "ms", "", 0, ""});
  Report({"pjlink_answer_p99", Percentile(answerMs, 0.99), "ms", "", 0, ""});
  Report({"pjlink_service_cpu", 100.0 * cpu / kSeconds, "% of a core", "", 0, ""});
  Report({"pjlink_service_peak_memory", peak, "MB", "", 0, ""});
  Report({"pjlink_line_exchanges_per_request", onTheLine / std::max(answered, 1), "", "", 0,
          "below 1: asked once per reply window"});
}

void MetricsScrape() {
  std::vector<std::unique_ptr<mero::vp::PtyServer>> projectors;
  std::string connections;
  std::string config = "[service]\npoll-interval = 5\nmetrics = 127.0.0.1:";
  const std::vector<quint16> ports =
      mero::test::FreePorts(static_cast<int>(2 * kProjectorsBehindServer + 1));
  const quint16 metrics = ports.back();
  config += std::to_string(metrics) + "\n";
  for (std::size_t i = 0; i < kProjectorsBehindServer; ++i) {
    projectors.push_back(std::make_unique<mero::vp::PtyServer>());
    const quint16 line = ports[2 * i];
    connections += "connection: &p" + std::to_string(i) + "\n  accepter: tcp,127.0.0.1," +
                   std::to_string(line) + "\n  connector: serialdev," +
                   projectors.back()->DevicePath() + ",19200n81,local\n";
    config += "[p" + std::to_string(i) + "]\naddress = tcp://127.0.0.1:" + std::to_string(line) +
              "\npjlink = 127.0.0.1:" + std::to_string(ports[2 * i + 1]) + "\n";
  }
  QTemporaryDir folder;
  QFile yaml(folder.filePath(QStringLiteral("ser2net.yaml")));
  yaml.open(QIODevice::WriteOnly);
  yaml.write(connections.c_str());
  yaml.close();
  QProcess ser2net;
  ser2net.start(QStringLiteral("ser2net"),
                {QStringLiteral("-n"), QStringLiteral("-u"), QStringLiteral("-c"), yaml.fileName(),
                 QStringLiteral("-P"), folder.filePath(QStringLiteral("pid"))});
  ser2net.waitForStarted();
  QThread::msleep(1000);
  mero::test::ServeProcess serve(QStringLiteral(MERO_CONTROL_BINARY), config);
  if (!serve.started()) {
    std::fprintf(stderr, "the service did not start: %s\n", serve.log().c_str());
    std::exit(1);
  }
  QNetworkAccessManager network;
  const QString url = QStringLiteral("http://127.0.0.1:%1/metrics").arg(metrics);
  QElapsedTimer waited;
  waited.start();
  QByteArray page;
  while (waited.elapsed() < 30000) {
    page = Get(network, url);
    if (static_cast<std::size_t>(page.count("mero_projector_last_poll_timestamp_seconds{")) ==
        kProjectorsBehindServer) {
      break;
    }
    QThread::msleep(500);
  }
  const auto polled = page.count("mero_projector_last_poll_timestamp_seconds{");
  if (static_cast<std::size_t>(polled) < kProjectorsBehindServer)
    std::fprintf(stderr, "%s\n", serve.log().c_str());
  std::vector<double> ms;
  for (int i = 0; i < kScrapes; ++i) {
    QElapsedTimer one;
    one.start();
    page = Get(network, url);
    ms.push_back(static_cast<double>(one.nsecsElapsed()) / 1e6);
  }
  std::printf("%lld of %zu projectors polled in %lld ms\n", static_cast<long long>(polled),
              kProjectorsBehindServer, static_cast<long long>(waited.elapsed()));
  Report({"metrics_100_projectors_polled", static_cast<double>(polled), "projectors", "", 0,
          "all 100"});
  Report({"metrics_scrape_100_projectors", Percentile(ms, 0.5), "ms", "", 0, ""});
  Report(
      {"metrics_page_100_projectors", static_cast<double>(page.size()) / 1024.0, "KiB", "", 0, ""});
  serve.stop();
  ser2net.terminate();
  ser2net.waitForFinished(5000);
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  MetricsScrape();
  PjlinkClients();
  return 0;
}
