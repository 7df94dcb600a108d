// Holds each repeating key for three seconds on the real window and the real serial
// port, with the virtual projector at the far end of a pseudo-terminal, and reports how
// evenly the repeats arrive there.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <QApplication>
#include <QEventLoop>
#include <QMouseEvent>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "event_loop.h"
#include "panel/bindings.h"
#include "panel/form.h"
#include "panel/qt_panel.h"
#include "projector/pty_server.h"
#include "report.h"

namespace {

using mero::bench::Mouse;
using mero::bench::RunFor;

using namespace std::chrono;
using namespace std::chrono_literals;

struct Case {
  int period;
  std::string key;
  const char* setup;  // a click that sets the cursor period first, or nullptr
  std::string code;
};

// Every repeating key at its own period; the cursor keys, which repeat at the period set
// last, once after a D.Zoom press and release and once after A-IMAGE.
std::vector<Case> Cases() {
  std::vector<Case> cases;
  for (const mero::panel::RepeatBinding& key : mero::panel::RepeatBindings()) {
    if (key.period) {
      cases.push_back({*key.period, std::string(key.control), nullptr, std::string(key.code)});
      continue;
    }
    cases.push_back({mero::panel::kZoomReleasePeriod, std::string(key.control), "Command48",
                     std::string(key.code)});
    cases.push_back({mero::panel::kCursorMenuPeriod, std::string(key.control), "Command13",
                     std::string(key.code)});
  }
  return cases;
}

constexpr auto kHold = 3000ms;

double Percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  const auto index = static_cast<std::size_t>(std::ceil(p * static_cast<double>(values.size())));
  return values[std::min(values.size() - 1, index == 0 ? 0 : index - 1)];
}

struct Deviations {
  double median, p99, worst;
};

Deviations Measure(const std::vector<steady_clock::time_point>& arrivals, int period) {
  std::vector<double> deviations;
  for (std::size_t i = 1; i < arrivals.size(); ++i) {
    const double interval = duration<double, std::milli>(arrivals[i] - arrivals[i - 1]).count();
    deviations.push_back(std::abs(interval - period));
  }
  if (deviations.empty()) deviations.push_back(0);
  return {Percentile(deviations, 0.5), Percentile(deviations, 0.99),
          *std::max_element(deviations.begin(), deviations.end())};
}

std::vector<steady_clock::time_point> ArrivalsOf(const mero::vp::PtyServer& projector,
                                                 std::string_view code) {
  std::vector<steady_clock::time_point> arrivals;
  for (const auto& command : projector.Commands()) {
    if (command.command == code) arrivals.push_back(command.at);
  }
  return arrivals;
}

// What the line itself adds: a plain thread writing on exact kernel deadlines, with no panel,
// measured at the same far end.
Deviations PrintBaseline(int period) {
  mero::vp::PtyServer projector;
  const int fd = ::open(projector.DevicePath().c_str(), O_RDWR | O_NOCTTY);
  if (fd < 0) return {};
  termios raw{};
  tcgetattr(fd, &raw);
  cfmakeraw(&raw);
  tcsetattr(fd, TCSANOW, &raw);
  const int sends = static_cast<int>(kHold.count() / period) + 1;
  timespec next{};
  clock_gettime(CLOCK_MONOTONIC, &next);
  for (int i = 0; i < sends; ++i) {
    if (::write(fd, "C20\r", 4) != 4) break;
    next.tv_nsec += static_cast<long>(period) * 1'000'000;
    next.tv_sec += next.tv_nsec / 1'000'000'000;
    next.tv_nsec %= 1'000'000'000;
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
  }
  projector.WaitForCommands(static_cast<std::uint64_t>(sends), 2s);
  ::close(fd);
  const auto arrivals = ArrivalsOf(projector, "C20");
  const Deviations d = Measure(arrivals, period);
  std::printf("%-22s %8zu %8d %12.3f %12.3f %12.3f\n", "line", arrivals.size(), sends, d.median,
              d.p99, d.worst);
  return d;
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  mero::vp::ServerOptions options;
  options.maxRecords = 10000;
  mero::vp::PtyServer projector(options);
  mero::panel::QtPanel panel(
      {QString::fromStdString(projector.DevicePath()), QStringLiteral("/nonexistent")});
  panel.load();
  panel.window().show();

  std::printf("%-22s %8s %8s %12s %12s %12s\n", "key, period ms", "sends", "expected", "median ms",
              "p99 ms", "worst ms");
  struct Row {
    std::string name;
    Deviations d;
  };
  std::vector<Row> rows;
  int offCount = 0;
  for (const Case& c : Cases()) {
    if (c.setup != nullptr) {
      QWidget* setup = panel.window().control(c.setup);
      Mouse(setup, QEvent::MouseButtonPress);
      Mouse(setup, QEvent::MouseButtonRelease);
    }
    RunFor(300ms);
    projector.ClearRecords();
    QWidget* key = panel.window().control(c.key);
    Mouse(key, QEvent::MouseButtonPress);
    RunFor(kHold);
    Mouse(key, QEvent::MouseButtonRelease);
    RunFor(300ms);

    const auto arrivals = ArrivalsOf(projector, c.code);
    const int expected = static_cast<int>(kHold.count() / c.period) + 1;
    const int sends = static_cast<int>(arrivals.size());
    // A release that lands on the very tick may take one repeat more or less.
    if (std::abs(sends - expected) > 1) ++offCount;
    const Deviations d = Measure(arrivals, c.period);
    const std::string name = c.key + " " + c.code + ", " + std::to_string(c.period);
    std::printf("%-22s %8d %8d %12.3f %12.3f %12.3f\n", name.c_str(), sends, expected, d.median,
                d.p99, d.worst);
    rows.push_back({"repeat " + name + " ms: p99 deviation", d});
  }
  std::printf("baseline, no panel: a thread writing every 50 ms on kernel deadlines\n");
  const Deviations line = PrintBaseline(50);
  for (const Row& row : rows) {
    mero::bench::Report({row.name, row.d.p99, "ms", "thread on kernel deadlines", line.p99, ""});
  }
  std::printf("keys held whose sends were off their period's count by more than one: %d\n",
              offCount);
  mero::bench::Report({"repeat: keys held whose sends were off the count by more than one",
                       static_cast<double>(offCount), "keys", "", 0, "0"});
  return 0;
}
