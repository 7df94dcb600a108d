// `mero-control serve` from outside: a PJLink client nobody here wrote drives the virtual
// projector through it, Debian's Prometheus scrapes it, and bad clients get the standard's
// answer or are closed while the others are served.
#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <memory>
#include <string>
#include <vector>

#include "projector/projector.h"
#include "projector/pty_server.h"
#include "serve/pjlink_bridge.h"
#include "serve/qt_pjlink_server.h"
#include "serve_process.h"

namespace mero::test {
namespace {

constexpr int kLampHours = 1234;

// A virtual projector, its lamp at kLampHours, and the service over it on free ports, with
// `extra` lines for the projector's section.
struct Served {
  explicit Served(const std::string& extra = {}) : projector(Options()) {
    const std::vector<quint16> free = FreePorts(2);
    pjlink = free[0];
    metrics = free[1];
    serve = std::make_unique<ServeProcess>(QStringLiteral(MERO_CONTROL_BINARY), config(extra));
  }
  std::string config(const std::string& extra) const {
    return "[service]\nmetrics = 127.0.0.1:" + std::to_string(metrics) +
           "\npoll-interval = 5\n[hall]\naddress = " + projector.DevicePath() +
           "\npjlink = 127.0.0.1:" + std::to_string(pjlink) + "\n" + extra;
  }
  static vp::ServerOptions Options() {
    vp::ServerOptions options;
    options.projector.lampHours = kLampHours;
    options.projector.warmUpMs = 200;
    options.projector.coolDownMs = 200;
    return options;
  }

  vp::PtyServer projector;
  quint16 pjlink = 0;
  quint16 metrics = 0;
  std::unique_ptr<ServeProcess> serve;
};

// The npm package `pjlink`, run by node on tests/pjlink-client/drive.js: one JSON object a step.
// With `firstOnly`, node is stopped after its first step: with a wrong password each further
// step would wait for the service's growing delay.
std::vector<QJsonObject> DriveWithNpmClient(quint16 port, const QString& password = {},
                                            bool firstOnly = false) {
  QProcess node;
  QStringList args{QStringLiteral(MERO_PJLINK_CLIENT_DIR "/drive.js"), QString::number(port)};
  if (!password.isEmpty()) args << password;
  node.start(QStringLiteral("node"), args);
  std::vector<QJsonObject> steps;
  if (firstOnly && node.waitForReadyRead(30000) && node.canReadLine()) {
    steps.push_back(QJsonDocument::fromJson(node.readLine()).object());
    node.kill();
    node.waitForFinished(5000);
    return steps;
  }
  if (!node.waitForFinished(30000)) {
    ADD_FAILURE() << "the PJLink client did not finish: " << node.errorString().toStdString();
    node.kill();
    return steps;
  }
  EXPECT_EQ(node.exitCode(), 0) << node.readAllStandardError().toStdString()
                                << "\n(tools/setup.sh installs the client with npm)";
  for (const QByteArray& line : node.readAllStandardOutput().split('\n')) {
    if (!line.isEmpty()) steps.push_back(QJsonDocument::fromJson(line).object());
  }
  return steps;
}

QJsonValue ResultOf(const std::vector<QJsonObject>& steps, const char* name) {
  for (const QJsonObject& step : steps) {
    if (step[QStringLiteral("step")].toString() == QLatin1String(name)) {
      EXPECT_TRUE(step[QStringLiteral("error")].isNull())
          << name << ": " << step[QStringLiteral("error")].toString().toStdString();
      return step[QStringLiteral("result")];
    }
  }
  ADD_FAILURE() << name << " did not run";
  return {};
}

TEST(Serve, ARoomControllerSwitchesOnSelectsVideoMutesAndReadsTheLamp) {
  for (const std::string password : {"", "JBMIAProjectorLink"}) {
    Served served(password.empty() ? "" : "password = " + password + "\n");
    ServeProcess& serve = *served.serve;
    ASSERT_TRUE(serve.started()) << serve.log();
    const auto steps = DriveWithNpmClient(served.pjlink, QString::fromStdString(password));
    ASSERT_EQ(steps.size(), 12U) << "password " << password;
    ResultOf(steps, "powerOn");
    EXPECT_EQ(ResultOf(steps, "getInput")[QStringLiteral("code")].toString(), "21");
    const QJsonObject mute = ResultOf(steps, "getMute").toObject();
    EXPECT_TRUE(mute[QStringLiteral("audio")].toBool() && mute[QStringLiteral("video")].toBool());
    const QJsonArray lamps = ResultOf(steps, "getLamps").toArray();
    ASSERT_EQ(lamps.size(), 2) << "the virtual projector runs two lamps";
    EXPECT_EQ(lamps[0][QStringLiteral("hours")].toInt(), kLampHours);
    EXPECT_EQ(ResultOf(steps, "getModel").toString(), "QM50 VIRTUAL 1.40");
    int input = 0;
    served.projector.WithProjector([&](vp::Projector& p, vp::Ms) { input = p.Input(); });
    EXPECT_EQ(input, 3) << "the projector itself is on Video";
    if (!password.empty()) {
      const auto refused = DriveWithNpmClient(served.pjlink, QStringLiteral("wrong"), true);
      ASSERT_FALSE(refused.empty());
      EXPECT_EQ(refused[0][QStringLiteral("error")].toString(), "Authorization failed");
    }
    EXPECT_EQ(serve.stop(), 0) << serve.log();
  }
}

QByteArray Get(const QString& url) {
  QNetworkAccessManager network;
  std::unique_ptr<QNetworkReply> reply(network.get(QNetworkRequest(QUrl(url))));
  (void)QTest::qWaitFor([&] { return reply->isFinished(); }, 10000);
  return reply->readAll();
}

TEST(Serve, PrometheusScrapesTheLampHours) {
  Served served;
  ASSERT_TRUE(served.serve->started()) << served.serve->log();
  const quint16 metrics = served.metrics;
  const QString page = QStringLiteral("http://127.0.0.1:%1/metrics").arg(metrics);
  ASSERT_TRUE(QTest::qWaitFor([&] { return Get(page).contains("mero_projector_lamp_use_seconds"); },
                              10000));

  QProcess promtool;
  promtool.start(QStringLiteral("promtool"), {QStringLiteral("check"), QStringLiteral("metrics")});
  promtool.write(Get(page));
  promtool.closeWriteChannel();
  ASSERT_TRUE(promtool.waitForFinished(10000));
  EXPECT_EQ(promtool.exitCode(), 0) << promtool.readAllStandardError().toStdString()
                                    << promtool.readAllStandardOutput().toStdString();

  QTemporaryDir folder;
  const quint16 web = FreePorts(1)[0];
  QFile config(folder.filePath(QStringLiteral("prometheus.yml")));
  ASSERT_TRUE(config.open(QIODevice::WriteOnly));
  config.write(QStringLiteral("global:\n  scrape_interval: 1s\nscrape_configs:\n"
                              "  - job_name: projectors\n    static_configs:\n"
                              "      - targets: ['127.0.0.1:%1']\n")
                   .arg(metrics)
                   .toUtf8());
  config.close();
  QProcess prometheus;
  prometheus.start(
      QStringLiteral("prometheus"),
      {QStringLiteral("--config.file=") + config.fileName(),
       QStringLiteral("--storage.tsdb.path=") + folder.filePath(QStringLiteral("data")),
       QStringLiteral("--web.listen-address=127.0.0.1:%1").arg(web)});
  ASSERT_TRUE(prometheus.waitForStarted());
  const QString query = QStringLiteral(
                            "http://127.0.0.1:%1/api/v1/query?query="
                            "mero_projector_lamp_use_seconds/3600")
                            .arg(web);
  double hours = -1;
  (void)QTest::qWaitFor(
      [&] {
        const QJsonArray result =
            QJsonDocument::fromJson(Get(query))[QStringLiteral("data")][QStringLiteral("result")]
                .toArray();
        if (!result.isEmpty()) hours = result[0][QStringLiteral("value")][1].toString().toDouble();
        return !result.isEmpty();
      },
      30000);
  prometheus.terminate();
  prometheus.waitForFinished(10000);
  EXPECT_EQ(hours, kLampHours);
}

TEST(Serve, BadClientsGetTheStandardsAnswerOrAreClosedWhileOthersAreServed) {
  Served served("password = secret\n");
  ServeProcess& serve = *served.serve;
  ASSERT_TRUE(serve.started()) << serve.log();
  const quint16 port = served.pjlink;
  PjlinkProbe silent(port);
  const std::string greeting = silent.line();
  ASSERT_TRUE(greeting.starts_with("PJLINK 1 ")) << greeting;

  std::vector<std::unique_ptr<PjlinkProbe>> crowd;
  for (int i = 0; i < 70; ++i) crowd.push_back(std::make_unique<PjlinkProbe>(port));
  int greeted = 0;
  int closed = 0;
  for (auto& client : crowd) {
    if (client->line(2000).starts_with("PJLINK 1 "))
      ++greeted;
    else if (client->closed(100))
      ++closed;
  }
  EXPECT_EQ(greeted, 7) << "8 from one address, the silent client among them";
  EXPECT_EQ(closed, 63);
  crowd.clear();
  // The service learns of the crowd's leaving as its sockets close; until then it is full.
  EXPECT_TRUE(QTest::qWaitFor(
      [&] {
        PjlinkProbe probe(port);
        return probe.line(500).starts_with("PJLINK 1 ");
      },
      5000));

  struct Row {
    std::string name;
    std::string bytes;
    std::string answer;  // before the close
  };
  const std::vector<Row> rows = {
      {"wrong digest", std::string(32, 'f') + "%1POWR ?\r", "PJLINK ERRA\r"},
      {"over the limit", std::string(300, 'A'), ""},
      {"binary", std::string("\x16\x03\x01\x00\xa5\x01\x00\x00\r", 9), "PJLINK ERRA\r"},
  };
  for (const Row& row : rows) {
    PjlinkProbe client(port);
    client.line();
    client.send(row.bytes);
    EXPECT_EQ(client.line(), row.answer) << row.name;
    EXPECT_TRUE(client.closed()) << row.name;
  }
  PjlinkProbe good(port);
  const std::string random = good.line().substr(9, 8);
  const QByteArray digest =
      QCryptographicHash::hash((random + "secret").c_str(), QCryptographicHash::Md5).toHex();
  EXPECT_EQ(good.ask(digest.toStdString() + "%1POWR ?\r"), "%1POWR=0\r");
  EXPECT_EQ(good.ask("%1CLSS ?\r"), "%1CLSS=1\r") << "the digest is asked once a connection";

  EXPECT_EQ(serve.stop(), 0) << serve.log();
}

// The server's limits are its settings: short ones here, so that an idle client goes within
// the test and a small house fills with a few clients.
TEST(Serve, IdleClientsGoAndAFullHouseTurnsNewcomersAway) {
  class ProjectorOnLink : public link::Exchanges {
   public:
    void exchange(std::string_view code,
                  std::function<void(const link::ExchangeResult&)> done) override {
      done({link::ExchangeResult::Kind::Reply, projector.Handle(code, 0), 1});
    }
    vp::Projector projector;
  } link;
  serve::PjlinkBridge bridge(link, {"hall", "mero-control"});
  serve::ServiceFigures figures;
  constexpr int kIdleMs = 400;
  constexpr int kAWhile = kIdleMs / 4;
  serve::PjlinkServer server(bridge, {}, figures, {.idleMs = kIdleMs, .mostClients = 2});
  std::string error;
  ASSERT_TRUE(server.listen("127.0.0.1", 0, &error)) << error;

  PjlinkProbe silent(server.port());
  ASSERT_EQ(silent.line(), "PJLINK 0\r");
  EXPECT_EQ(silent.ask("%1CLSS ?\r"), "%1CLSS=1\r");
  PjlinkProbe talking(server.port());
  ASSERT_EQ(talking.line(), "PJLINK 0\r");
  EXPECT_EQ(talking.ask("%1CLSS ?\r"), "%1CLSS=1\r");
  PjlinkProbe third(server.port());
  EXPECT_TRUE(third.closed()) << "a third client in a house of two that both asked";
  EXPECT_EQ(figures.pjlinkRefusedBy[static_cast<std::size_t>(serve::PjlinkRefusal::ServerFull)],
            1U);

  // Each request starts the talking client's idle time anew, past the silent one's.
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(talking.ask("%1POWR ?\r"), "%1POWR=0\r");
    EXPECT_FALSE(talking.closed(kAWhile));
    if (i == 0) {
      EXPECT_FALSE(silent.closed(kAWhile)) << "not before its idle time";
    }
  }
  EXPECT_TRUE(silent.closed());
  EXPECT_TRUE(talking.closed());
  PjlinkProbe next(server.port());
  EXPECT_EQ(next.line(), "PJLINK 0\r") << "the places of those gone are free again";
}

TEST(Serve, ReloadsOnHangUpAndLetsTheDeviceGoOnTerminate) {
  Served served;
  ServeProcess& serve = *served.serve;
  ASSERT_TRUE(serve.started()) << serve.log();
  const quint16 port = served.pjlink;
  PjlinkProbe kept(port);
  kept.line();
  EXPECT_EQ(kept.ask("%1NAME ?\r"), "%1NAME=hall\r");

  serve.write(served.config("speeed = 9600\n"));
  serve.signal(SIGHUP);
  EXPECT_TRUE(serve.logs("not reloaded: " + serve.path().toStdString() + ":7: speeed:"))
      << serve.log();
  EXPECT_EQ(kept.ask("%1NAME ?\r"), "%1NAME=hall\r") << "an unchanged projector keeps its clients";

  serve.write(served.config("speed = 9600\nname = Hall-A\n"));
  serve.signal(SIGHUP);
  EXPECT_TRUE(serve.logs("serve: reloaded " + serve.path().toStdString())) << serve.log();
  EXPECT_TRUE(kept.closed()) << "a projector on a new line speed starts afresh";
  PjlinkProbe fresh(port);
  EXPECT_EQ(fresh.line(), "PJLINK 0\r") << serve.log();
  EXPECT_EQ(fresh.ask("%1NAME ?\r"), "%1NAME=Hall-A\r") << serve.log();

  EXPECT_EQ(serve.stop(), 0);
  EXPECT_NE(serve.log().find("stopped"), std::string::npos);
  QProcess query;
  query.start(QStringLiteral(MERO_CONTROL_BINARY),
              {QStringLiteral("query"), QStringLiteral("status"),
               QString::fromStdString(served.projector.DevicePath())});
  ASSERT_TRUE(query.waitForFinished(10000));
  EXPECT_EQ(query.exitCode(), 0) << "the device and its lock are free: "
                                 << query.readAllStandardOutput().toStdString();
}

}  // namespace
}  // namespace mero::test
