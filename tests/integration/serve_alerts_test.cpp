// The service's metrics of projectors that answer, keep silent or cannot be reached, as
// Debian's Prometheus scrapes them and evaluates the shipped alert rules on them.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QTemporaryDir>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "projector/pty_server.h"
#include "serve_process.h"

namespace mero::test {
namespace {

constexpr int kLampHours = 2600;

QByteArray Fetch(const QString& url) {
  QNetworkAccessManager network;
  std::unique_ptr<QNetworkReply> reply(network.get(QNetworkRequest(QUrl(url))));
  (void)QTest::qWaitFor([&] { return reply->isFinished(); }, 10000);
  return reply->readAll();
}

// The samples of `page` whose name and labels start with `prefix`.
std::vector<std::string> Samples(const std::string& page, const std::string& prefix) {
  std::vector<std::string> found;
  std::size_t at = 0;
  while ((at = page.find('\n' + prefix, at)) != std::string::npos) {
    ++at;
    found.push_back(page.substr(at, page.find('\n', at) - at));
  }
  return found;
}

std::optional<double> Value(const std::string& page, const std::string& series) {
  const std::vector<std::string> samples = Samples(page, series + ' ');
  if (samples.size() != 1) return std::nullopt;
  return std::stod(samples[0].substr(series.size() + 1));
}

TEST(ServeAlerts, SilentAndLostProjectorsAreToldAndTheRulesNameThem) {
  vp::ServerOptions options;
  options.projector.lampHours = kLampHours;
  vp::PtyServer hall(options);
  vp::PtyServer mute;
  mute.DropAllReplies(true);
  QTemporaryDir folder;
  const std::string lost = folder.filePath(QStringLiteral("ttyGone")).toStdString();
  const std::vector<quint16> ports = FreePorts(5);
  const std::string pjlinkA = "127.0.0.1:" + std::to_string(ports[1]);
  std::string config =
      "[service]\nmetrics = 127.0.0.1:" + std::to_string(ports[0]) +
      "\npoll-interval = 5\n[hall]\nname = Hall A\naddress = " + hall.DevicePath() +
      "\npjlink = " + pjlinkA + "\n";
  config += "[mute]\nname = Hall B\naddress = " + mute.DevicePath() +
            "\npjlink = 127.0.0.1:" + std::to_string(ports[2]) + "\n";
  config += "[lost]\nname = Hall C\naddress = " + lost +
            "\npjlink = 127.0.0.1:" + std::to_string(ports[3]) + "\n";
  ServeProcess serve(QStringLiteral(MERO_CONTROL_BINARY), config);
  ASSERT_TRUE(serve.started()) << serve.log();
  PjlinkProbe controller(ports[1]);
  ASSERT_EQ(controller.line(), "PJLINK 0\r");
  EXPECT_EQ(controller.ask("%1NAME ?\r"), "%1NAME=Hall A\r");
  EXPECT_EQ(controller.ask("%1CLSS ?\r"), "%1CLSS=1\r");
  PjlinkProbe other(ports[2]);
  ASSERT_EQ(other.line(), "PJLINK 0\r");
  EXPECT_EQ(other.ask("%1CLSS ?\r"), "%1CLSS=1\r");

  const QString metrics = QStringLiteral("http://127.0.0.1:%1/metrics").arg(ports[0]);
  std::string page;
  // Until the silent projector's first poll has ended without its replies.
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        page = '\n' + Fetch(metrics).toStdString();
        return Value(page, R"(mero_projector_answering{projector="hall"})") == 1 &&
               Value(page, R"(mero_projector_exchanges_total{projector="mute",result="no_reply"})")
                       .value_or(0) >= 3;
      },
      30000))
      << page << serve.log();

  EXPECT_EQ(
      Samples(page, "mero_projector_info{"),
      (std::vector<std::string>{
          R"(mero_projector_info{projector="hall",name="Hall A",model="QM50 VIRTUAL 1.40",)"
          R"(address=")" +
              hall.DevicePath() + R"(",pjlink=")" + pjlinkA + R"("} 1)",
          R"(mero_projector_info{projector="mute",name="Hall B",address=")" + mute.DevicePath() +
              R"(",pjlink="127.0.0.1:)" + std::to_string(ports[2]) + R"("} 1)",
          R"(mero_projector_info{projector="lost",name="Hall C",address=")" + lost +
              R"(",pjlink="127.0.0.1:)" + std::to_string(ports[3]) + R"("} 1)"}));
  EXPECT_EQ(Value(page, R"(mero_projector_lamp_use_seconds{projector="hall"})"),
            kLampHours * 3600.0);
  for (const char* silent : {"mute", "lost"}) {
    const std::string label = std::string("{projector=\"") + silent + '"';
    EXPECT_EQ(Value(page, "mero_projector_answering" + label + '}'), 0) << silent;
    for (const char* state : {"mero_projector_power_state", "mero_projector_lamp_use_seconds",
                              "mero_projector_temperature_celsius", "mero_projector_error"}) {
      EXPECT_TRUE(Samples(page, state + label).empty()) << silent << ": " << state;
    }
  }
  for (const auto& [projector, requests] :
       std::vector<std::pair<std::string, double>>{{"hall", 2}, {"mute", 1}, {"lost", 0}}) {
    EXPECT_EQ(Value(page, "mero_projector_pjlink_requests_total{projector=\"" + projector + "\"}"),
              requests)
        << projector;
  }
  EXPECT_EQ(Value(page, R"(mero_projector_line_up{projector="mute"})"), 1);
  EXPECT_EQ(Value(page, R"(mero_projector_line_up{projector="lost"})"), 0);
  EXPECT_GE(Value(page, R"(mero_projector_exchanges_total{projector="lost",result="line_down"})"),
            3)
      << "the polls refused while the line is down";

  const QString rules = QStringLiteral(MERO_ALERT_RULES);
  QFile prometheusConfig(folder.filePath(QStringLiteral("prometheus.yml")));
  ASSERT_TRUE(prometheusConfig.open(QIODevice::WriteOnly));
  prometheusConfig.write(QStringLiteral("global:\n  scrape_interval: 1s\n"
                                        "  evaluation_interval: 1s\n"
                                        "rule_files: ['%1']\nscrape_configs:\n"
                                        "  - job_name: mero-control\n    static_configs:\n"
                                        "      - targets: ['127.0.0.1:%2']\n")
                             .arg(rules)
                             .arg(ports[0])
                             .toUtf8());
  prometheusConfig.close();
  QProcess prometheus;
  prometheus.start(
      QStringLiteral("prometheus"),
      {QStringLiteral("--config.file=") + prometheusConfig.fileName(),
       QStringLiteral("--storage.tsdb.path=") + folder.filePath(QStringLiteral("data")),
       QStringLiteral("--web.listen-address=127.0.0.1:%1").arg(ports[4])});
  ASSERT_TRUE(prometheus.waitForStarted());
  // Each alert waits its `for` as pending, already with the labels it will fire with.
  const std::set<std::string> expected{
      "ProjectorLampNearEnd hall Hall A QM50 VIRTUAL 1.40",
      "ProjectorNotAnswering lost Hall C ",
      "ProjectorNotAnswering mute Hall B ",
  };
  std::set<std::string> alerts;
  (void)QTest::qWaitFor(
      [&] {
        alerts.clear();
        const QJsonArray listed = QJsonDocument::fromJson(Fetch(
            QStringLiteral("http://127.0.0.1:%1/api/v1/alerts")
                .arg(ports[4])))[QStringLiteral("data")][QStringLiteral("alerts")]
                                      .toArray();
        for (const QJsonValue& alert : listed) {
          const QJsonObject labels = alert[QStringLiteral("labels")].toObject();
          QString line;
          for (const char* key : {"alertname", "projector", "name", "model"})
            line += labels[QLatin1String(key)].toString() + (key[0] == 'm' ? "" : " ");
          alerts.insert(line.toStdString());
        }
        return alerts.size() >= expected.size();
      },
      30000);
  prometheus.terminate();
  prometheus.waitForFinished(10000);
  EXPECT_EQ(alerts, expected);
  EXPECT_EQ(serve.stop(), 0) << serve.log();
}

}  // namespace
}  // namespace mero::test
