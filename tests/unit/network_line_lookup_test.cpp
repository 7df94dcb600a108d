// A device server named by its host name: the answer to a name lookup, and every later step of
// the connection, belongs to the attempt that asked for it. A line closed and opened again, or
// destroyed, while its name is being looked up hears only its current attempt's one outcome.
// Real lookups of "localhost" on a real event loop: every wait ends with an event.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEvent>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "link/lines/qt_network_line.h"

namespace mero::link {
namespace {

// Generous: a name lookup and a loopback connection take milliseconds.
constexpr int kOutcomeLimitMs = 10000;
constexpr int kRepeats = 12;

std::vector<std::string>* qtWarnings = nullptr;

void KeepWarning(QtMsgType type, const QMessageLogContext&, const QString& text) {
  if (type != QtDebugMsg && type != QtInfoMsg && qtWarnings) {
    qtWarnings->push_back(text.toStdString());
  }
}

// Runs the event loop until `done`, or until the limit; a timer of its own wakes it then.
bool PumpUntil(const std::function<bool()>& done) {
  QTimer guard;
  guard.setTimerType(Qt::PreciseTimer);
  guard.start(kOutcomeLimitMs);
  const QDeadlineTimer limit(kOutcomeLimitMs);
  while (!done()) {
    if (limit.hasExpired()) return false;
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
  return true;
}

// Calls `act` when the line is about to take its `at`-th call from the event loop (the name's
// answer first, then a failure's report): the call is queued by then, and still delivered.
class BeforeCall : public QObject {
 public:
  BeforeCall(int at, std::function<void()> act) : at_(at), act_(std::move(act)) {}
  int seen = 0;

 protected:
  bool eventFilter(QObject* /*watched*/, QEvent* event) override {
    if (event->type() == QEvent::MetaCall && ++seen == at_ && act_) act_();
    return false;
  }

 private:
  int at_;
  std::function<void()> act_;
};

class NetworkLineLookup : public ::testing::Test {
 protected:
  void SetUp() override {
    qtWarnings = &warnings;
    previousHandler = qInstallMessageHandler(KeepWarning);
  }
  void TearDown() override {
    qInstallMessageHandler(previousHandler);
    qtWarnings = nullptr;
  }

  // Each outcome is counted against the attempt current when it is reported.
  std::unique_ptr<QtNetworkLine> makeLine(quint16 port) {
    auto line = std::make_unique<QtNetworkLine>("tcp://localhost:" + std::to_string(port));
    line->onOpened = [this] { outcomes.push_back({attempt, true}); };
    line->onFailed = [this](const LineFailure&) { outcomes.push_back({attempt, false}); };
    return line;
  }
  void open(QtNetworkLine& line) {
    ++attempt;
    EXPECT_EQ(line.open({}), Line::Opening::Pending);
  }
  int outcomesOf(int which) const {
    int count = 0;
    for (const Outcome& o : outcomes) count += o.attempt == which ? 1 : 0;
    return count;
  }
  // The attempt's one outcome, as `opens` says it should be.
  void expectOneOutcome(bool opens, const std::string& what) {
    const int current = attempt;
    ASSERT_TRUE(PumpUntil([&] { return outcomesOf(current) > 0; })) << what;
    ASSERT_EQ(outcomesOf(current), 1) << what;
    EXPECT_EQ(outcomes.back().opened, opens) << what;
  }

  struct Outcome {
    int attempt;
    bool opened;
  };
  int argc = 1;
  char name[16] = "unit_tests";
  char* argv[1] = {name};
  QCoreApplication app{argc, argv};
  QtMessageHandler previousHandler = nullptr;
  std::vector<std::string> warnings;
  std::vector<Outcome> outcomes;
  int attempt = 0;
};

TEST_F(NetworkLineLookup, OneOutcomePerAttemptThroughCloseReopenAndDestruction) {
  for (const bool listening : {false, true}) {
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
    const quint16 port = server.serverPort();
    if (!listening) server.close();
    // Kept until the client goes, so that no accepted connection is lost from the server's side.
    QObject::connect(&server, &QTcpServer::newConnection, &server, [&server] {
      while (QTcpSocket* peer = server.nextPendingConnection()) {
        QObject::connect(peer, &QTcpSocket::disconnected, peer, &QObject::deleteLater);
      }
    });
    // Closed and opened again before the line's first call from the event loop (0), just
    // before a queued one (`queued`), or just after one; then run to its outcome or destroyed.
    for (int at = 0; at <= 2; ++at) {
      for (const bool queued : {false, true}) {
        if (at == 0 && queued) continue;
        for (const bool destroy : {false, true}) {
          for (int repeat = 0; repeat < kRepeats; ++repeat) {
            const std::string what = std::string(listening ? "listening" : "refusing") + " at " +
                                     std::to_string(at) + (queued ? " queued" : "") +
                                     (destroy ? " destroyed" : "") + " #" + std::to_string(repeat);
            std::unique_ptr<QtNetworkLine> line = makeLine(port);
            bool reopened = false;
            const auto reopen = [&] {
              if (reopened) return;
              line->close();
              const std::size_t closed = outcomes.size();
              open(*line);
              reopened = true;
              EXPECT_EQ(outcomes.size(), closed) << what << ": reported inside open()";
            };
            BeforeCall before(queued ? at : 0, reopen);
            line->installEventFilter(&before);
            open(*line);
            const int first = attempt;
            if (at == 0) reopen();
            ASSERT_TRUE(PumpUntil([&] {
              return reopened || before.seen >= at || outcomesOf(first) > 0;
            })) << what;
            if (!reopened) reopen();
            EXPECT_LE(outcomesOf(first), 1) << what;
            // A call queued before the reopening has been delivered by now; the new attempt
            // cannot have an outcome of its own yet.
            EXPECT_EQ(outcomesOf(attempt), 0) << what << ": the closed attempt's outcome";
            if (destroy) {
              line.reset();
            } else {
              expectOneOutcome(listening, what);
              line->close();
            }
          }
          // Outlasts the lookups of the lines above, whose answers must not reach them.
          std::unique_ptr<QtNetworkLine> last = makeLine(port);
          open(*last);
          expectOneOutcome(listening, "the last line");
        }
      }
    }
  }
  EXPECT_EQ(warnings, std::vector<std::string>{});
}

}  // namespace
}  // namespace mero::link
