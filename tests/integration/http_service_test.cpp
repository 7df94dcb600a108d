// The service's metrics server in the real program: a huge body does not grow it, and with
// its descriptors used up it neither spins nor stays deaf once they are free.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <QDir>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "http_probe.h"
#include "projector/pty_server.h"
#include "serve_process.h"

namespace mero::test {
namespace {

struct Served {
  Served() {
    const std::vector<quint16> free = FreePorts(2);
    metrics = free[1];
    serve = std::make_unique<ServeProcess>(
        QStringLiteral(MERO_CTL_BINARY),
        "[service]\nmetrics = 127.0.0.1:" + std::to_string(metrics) + "\n[hall]\naddress = " +
            projector.DevicePath() + "\npjlink = 127.0.0.1:" + std::to_string(free[0]) + "\n");
  }
  std::string pid() const { return std::to_string(serve->pid()); }
  bool scraped() const {
    HttpProbe probe(metrics);
    (void)probe.send("GET /metrics HTTP/1.1\r\nHost: h\r\n\r\n");
    const auto reply = probe.reply();
    return reply && reply->status == 200 &&
           reply->body.find("mero_service_http_refused_total") != std::string::npos;
  }

  vp::PtyServer projector;
  quint16 metrics = 0;
  std::unique_ptr<ServeProcess> serve;
};

// Clock ticks the process has spent on a processor, user and system.
long CpuTicks(const std::string& pid) {
  std::ifstream stat("/proc/" + pid + "/stat");
  std::string field;
  long ticks = 0;
  for (int i = 1; i <= 15 && stat >> field; ++i) {
    if (i == 14 || i == 15) ticks += std::stol(field);
  }
  return ticks;
}

std::size_t OpenDescriptors(const std::string& pid) {
  return static_cast<std::size_t>(QDir(QString::fromStdString("/proc/" + pid + "/fd"))
                                      .entryList(QDir::Files | QDir::System)
                                      .size());
}

TEST(HttpService, AHundredAndFiftyMegabyteChunkedPostLeavesTheServiceItsSize) {
  Served served;
  ASSERT_TRUE(served.serve->started()) << served.serve->log();
  ASSERT_TRUE(served.scraped());
  const long before = ResidentKiB(served.pid());
  std::string piece(1 << 20, 'x');
  piece = "100000\r\n" + piece + "\r\n";
  const Pushed pushed = PushBody(
      served.metrics, "POST /metrics HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n",
      piece, 150);
  EXPECT_EQ(pushed.answer.substr(0, 12), "HTTP/1.1 405") << pushed.answer;
  EXPECT_LT(pushed.sent, 150U) << "the whole body was taken";
  EXPECT_LT(ResidentKiB(served.pid()) - before, 16 * 1024);
  EXPECT_TRUE(served.scraped());
}

TEST(HttpService, OutOfDescriptorsItWaitsQuietlyAndServesWhenOneIsFree) {
  Served served;
  ASSERT_TRUE(served.serve->started()) << served.serve->log();
  ASSERT_TRUE(served.scraped());
  // Room for a few more descriptors, fewer than one address may hold (8), so that it is
  // the descriptors that run out.
  const pid_t pid = static_cast<pid_t>(served.serve->pid());
  const rlimit low{OpenDescriptors(served.pid()) + 3, 4096};
  ASSERT_EQ(::prlimit(pid, RLIMIT_NOFILE, &low, nullptr), 0);
  std::vector<std::unique_ptr<HttpProbe>> idle;
  std::unique_ptr<HttpProbe> waiting;
  while (!waiting && idle.size() < 7) {
    auto probe = std::make_unique<HttpProbe>(served.metrics);
    ASSERT_TRUE(probe->send("GET /metrics HTTP/1.1\r\nHost: h\r\n\r\n"));
    if (probe->reply(false, 2000)) {
      idle.push_back(std::move(probe));
    } else {
      waiting = std::move(probe);  // in the backlog: no descriptor to take it with
    }
  }
  ASSERT_TRUE(waiting) << served.serve->log();
  ASSERT_FALSE(idle.empty());
  ASSERT_TRUE(served.serve->logs("no descriptor left"));
  // Observed over a second: a loop woken by the waiting connection would take it all.
  const long ticks = CpuTicks(served.pid());
  EXPECT_FALSE(waiting->reply(false, 1000));
  EXPECT_LT(CpuTicks(served.pid()) - ticks, sysconf(_SC_CLK_TCK) / 4);
  idle.front().reset();
  const auto reply = waiting->reply();
  ASSERT_TRUE(reply) << "not served once a descriptor was free";
  EXPECT_EQ(reply->status, 200);
  const std::string& log = served.serve->log();
  std::size_t lines = 0;
  for (auto at = log.find("no descriptor left"); at != std::string::npos;
       at = log.find("no descriptor left", at + 1)) {
    ++lines;
  }
  EXPECT_EQ(lines, 1U) << log;
}

}  // namespace
}  // namespace mero::test
