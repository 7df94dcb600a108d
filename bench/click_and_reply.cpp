// The real window with COM1 on a pseudo-terminal whose far end this benchmark holds itself:
//  - send: a synthetic press and release on the STATUS key to its bytes read at the far end,
//    beside a bare write() on the same kind of pseudo-terminal read the same way (the floor);
//  - receive: a reply written at the far end to the received line and the status line holding
//    the new text, and to both repainted;
//  - through the service: the same press in a panel on the maintenance line of `mero-control
//    serve`, which holds the far end, to its bytes read there, beside the panel on the device.
// Median and 99th percentile of each.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <QApplication>
#include <QEvent>
#include <QWidget>
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "event_loop.h"
#include "link/protocol/monitor_text.h"
#include "panel/qt_panel.h"
#include "report.h"
#include "serve_process.h"

namespace {

using namespace std::chrono;
using namespace std::chrono_literals;
using Clock = steady_clock;

constexpr int kSends = 200;
constexpr int kReplies = 40;
constexpr auto kGap = 20ms;
constexpr auto kWait = 2s;
constexpr int kStopCheckMs = 50;
constexpr std::string_view kStatusKey = "Command44";
constexpr std::string_view kStatusQuery = "CR0\r";

// A pseudo-terminal whose master a thread reads, noting when each byte came.
class FarEnd {
 public:
  FarEnd() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    std::array<char, 128> name{};
    if (ptsname_r(master_, name.data(), name.size()) == 0) path_ = name.data();
    termios raw{};
    tcgetattr(master_, &raw);
    cfmakeraw(&raw);
    tcsetattr(master_, TCSANOW, &raw);
    // Held open, so that the master never sees a hang-up while the panel's side is closed.
    held_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY);
    reader_ = std::thread([this] { read(); });
  }
  ~FarEnd() {
    stop_ = true;
    if (reader_.joinable()) reader_.join();
    if (held_ >= 0) ::close(held_);
    ::close(master_);
  }
  FarEnd(const FarEnd&) = delete;
  FarEnd& operator=(const FarEnd&) = delete;

  const std::string& path() const { return path_; }
  void write(std::string_view bytes) const {
    if (::write(master_, bytes.data(), bytes.size()) < 0) std::perror("write");
  }
  // When the received text first ended with `tail`, if it has.
  std::optional<Clock::time_point> endedWith(std::string_view tail) {
    std::lock_guard lock(mutex_);
    if (!std::string_view(text_).ends_with(tail)) return std::nullopt;
    return lastAt_;
  }
  void clear() {
    std::lock_guard lock(mutex_);
    text_.clear();
  }

 private:
  void read() {
    std::array<char, 4096> chunk{};
    while (!stop_) {
      // Looks at stop_ now and then; a byte wakes the poll at once.
      pollfd ready{master_, POLLIN, 0};
      if (::poll(&ready, 1, kStopCheckMs) <= 0) continue;
      const ssize_t n = ::read(master_, chunk.data(), chunk.size());
      const auto at = Clock::now();
      if (n <= 0) return;
      std::lock_guard lock(mutex_);
      text_.append(chunk.data(), static_cast<std::size_t>(n));
      lastAt_ = at;
    }
  }

  int master_ = -1;
  int held_ = -1;
  std::string path_;
  std::thread reader_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::string text_;
  Clock::time_point lastAt_;
};

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return NAN;
  std::sort(values.begin(), values.end());
  const auto index = static_cast<std::size_t>(std::ceil(p * static_cast<double>(values.size())));
  return values[std::min(values.size() - 1, index == 0 ? 0 : index - 1)];
}

double Ms(Clock::duration d) { return duration<double, std::milli>(d).count(); }

// The floor: the same bytes written by a bare write() on a slave opened the plain way.
std::vector<double> BareWrites() {
  FarEnd far;
  const int slave = ::open(far.path().c_str(), O_RDWR | O_NOCTTY);
  std::vector<double> latencies;
  if (slave < 0) return latencies;
  termios raw{};
  tcgetattr(slave, &raw);
  cfmakeraw(&raw);
  tcsetattr(slave, TCSANOW, &raw);
  for (int i = 0; i < kSends; ++i) {
    far.clear();
    const auto start = Clock::now();
    if (::write(slave, kStatusQuery.data(), kStatusQuery.size()) < 0) break;
    std::optional<Clock::time_point> at;
    while (!(at = far.endedWith(kStatusQuery)) && Clock::now() - start < kWait) {
      std::this_thread::yield();
    }
    if (at) latencies.push_back(Ms(*at - start));
    std::this_thread::sleep_for(kGap);
  }
  ::close(slave);
  return latencies;
}

// Notes the first paint of a widget after it is armed.
class PaintWatch : public QObject {
 public:
  explicit PaintWatch(QWidget* widget) { widget->installEventFilter(this); }
  void arm() { painted_.reset(); }
  const std::optional<Clock::time_point>& painted() const { return painted_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Paint && !painted_) painted_ = Clock::now();
    return QObject::eventFilter(watched, event);
  }

 private:
  std::optional<Clock::time_point> painted_;
};

// kSends presses of STATUS, each timed from the press to the query's arrival at the far end,
// which then answers `reply` (if any).
std::vector<double> StatusPresses(mero::panel::QtPanel& panel, FarEnd& far,
                                  std::string_view reply) {
  QWidget* key = panel.window().control(kStatusKey);
  std::vector<double> sends;
  for (int i = 0; i < kSends; ++i) {
    far.clear();
    const auto start = Clock::now();
    mero::bench::Mouse(key, QEvent::MouseButtonPress);
    mero::bench::Mouse(key, QEvent::MouseButtonRelease);
    std::optional<Clock::time_point> at;
    mero::bench::RunUntil([&] { return (at = far.endedWith(kStatusQuery)).has_value(); }, kWait);
    if (at) sends.push_back(Ms(*at - start));
    if (!reply.empty()) far.write(reply);
    mero::bench::RunFor(kGap);
  }
  return sends;
}

// Answers every command that reaches the far end until it has been silent for a while: the
// service's first poll, so that the presses that follow have the line to themselves.
void AnswerUntilQuiet(FarEnd& far) {
  auto quietSince = Clock::now();
  while (Clock::now() - quietSince < 1500ms) {
    if (far.endedWith("\r")) {
      far.clear();
      far.write("80\r");
      quietSince = Clock::now();
    }
    mero::bench::RunFor(10ms);
  }
}

// The STATUS press in a panel on tcp://127.0.0.1:PORT of the service's maintenance line.
std::vector<double> SendsThroughTheService() {
  FarEnd far;
  const auto ports = mero::test::FreePorts(3);
  mero::test::ServeProcess serve(
      QStringLiteral(MERO_CONTROL_BINARY),
      "[service]\npoll-interval = 86400\nmetrics = " + std::to_string(ports[2]) +
          "\n[hall]\naddress = " + far.path() + "\npjlink = " + std::to_string(ports[0]) +
          "\nmaintenance = " + std::to_string(ports[1]) + "\n");
  if (!serve.started()) return {};
  AnswerUntilQuiet(far);
  const QString line = QStringLiteral("tcp://127.0.0.1:%1").arg(ports[1]);
  mero::panel::QtPanel panel({line, QStringLiteral("/nonexistent")});
  panel.load();
  panel.window().show();
  if (!mero::bench::RunUntil([&] { return panel.port().isOpen(); }, kWait)) return {};
  mero::bench::RunFor(500ms);
  // The reply ends each exchange, so that the line is free for the next press.
  return StatusPresses(panel, far, "80\r");
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  FarEnd far;
  mero::panel::QtPanel panel({QString::fromStdString(far.path()), QStringLiteral("/nonexistent")});
  std::vector<std::string> boxes;
  panel.window().recordBoxes(&boxes);
  panel.load();
  panel.window().show();
  // The received and status lines are in the lower part, which the operator opens.
  panel.window().setWindowHeight(mero::panel::kFullHeight);
  if (!panel.port().isOpen()) {
    std::fprintf(stderr, "click_and_reply: the port did not open\n");
    return 1;
  }
  mero::bench::RunFor(500ms);
  const std::vector<double> sends = StatusPresses(panel, far, {});
  QWidget* key = panel.window().control(kStatusKey);
  const std::vector<double> floor = BareWrites();
  const std::vector<double> served = SendsThroughTheService();

  // Replies alternate, so that the status line changes each time.
  struct Reply {
    std::string_view bytes, status;
  };
  constexpr std::array<Reply, 2> kReplyTexts{{{"00\r", " Power ON"}, {"80\r", " Stand by"}}};
  PaintWatch receivedPaint(panel.window().control("Label12"));
  PaintWatch statusPaint(panel.window().control("Label22"));
  std::vector<double> shown;
  std::vector<double> painted;
  const auto& state = panel.form().state;
  for (int i = 0; i < kReplies; ++i) {
    const Reply& reply = kReplyTexts[static_cast<std::size_t>(i) % kReplyTexts.size()];
    // The previous reply window and monitor time end first, so that the reply stands alone.
    mero::bench::RunUntil(
        [&] { return state.rxBuffer.empty() && panel.window().caption("Label11").empty(); }, kWait);
    mero::bench::Mouse(key, QEvent::MouseButtonPress);
    mero::bench::Mouse(key, QEvent::MouseButtonRelease);
    mero::bench::RunFor(kGap);
    const std::string expected = mero::link::MonitorText(reply.bytes);
    receivedPaint.arm();
    statusPaint.arm();
    std::optional<Clock::time_point> holding;
    auto handler = panel.port().onEvent;
    panel.port().onEvent = [&](int kind) {
      handler(kind);
      if (!holding && panel.window().caption("Label12") == expected &&
          panel.window().caption("Label22") == reply.status) {
        holding = Clock::now();
      }
    };
    const auto start = Clock::now();
    far.write(reply.bytes);
    mero::bench::RunUntil(
        [&] { return holding && receivedPaint.painted() && statusPaint.painted(); }, kWait);
    panel.port().onEvent = handler;
    if (!holding || !receivedPaint.painted() || !statusPaint.painted()) continue;
    shown.push_back(Ms(*holding - start));
    painted.push_back(Ms(std::max(*receivedPaint.painted(), *statusPaint.painted()) - start));
  }

  std::printf("%-44s %8s %10s %10s\n", "", "count", "median ms", "p99 ms");
  const auto row = [](const char* what, const std::vector<double>& v) {
    std::printf("%-44s %8zu %10.3f %10.3f\n", what, v.size(), Percentile(v, 0.5),
                Percentile(v, 0.99));
  };
  row("send: key press and release to the far end", sends);
  row("send floor: bare write() to the far end", floor);
  row("send through the service's maintenance line", served);
  row("receive: far end to the lines holding it", shown);
  row("receive: far end to both lines repainted", painted);

  using mero::bench::Report;
  Report({"send: click to bytes at the far end, median", Percentile(sends, 0.5), "ms",
          "bare write()", Percentile(floor, 0.5), ""});
  Report({"send: click to bytes at the far end, p99", Percentile(sends, 0.99), "ms", "bare write()",
          Percentile(floor, 0.99), ""});
  Report({"send through the service: click to the far end, median", Percentile(served, 0.5), "ms",
          "on the device", Percentile(sends, 0.5), ""});
  Report({"send through the service: click to the far end, p99", Percentile(served, 0.99), "ms",
          "on the device", Percentile(sends, 0.99), ""});
  Report(
      {"receive: reply to the lines holding it, median", Percentile(shown, 0.5), "ms", "", 0, ""});
  Report({"receive: reply to the lines holding it, p99", Percentile(shown, 0.99), "ms", "", 0, ""});
  Report(
      {"receive: reply to the lines repainted, median", Percentile(painted, 0.5), "ms", "", 0, ""});
  Report(
      {"receive: reply to the lines repainted, p99", Percentile(painted, 0.99), "ms", "", 0, ""});
  const bool complete = static_cast<int>(sends.size()) == kSends &&
                        static_cast<int>(served.size()) == kSends &&
                        static_cast<int>(painted.size()) == kReplies && boxes.empty();
  if (!complete) std::fprintf(stderr, "click_and_reply: some sends or replies did not arrive\n");
  return complete ? 0 : 1;
}
