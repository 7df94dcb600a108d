// Where the panel's start-up time goes: the steps the program takes from its start to its
// first painted window, each timed inside a fresh process (the display connection, the font
// database and the style are made once per process), beside the same steps of a bare Qt
// window. Both run as this benchmark's own program, which links what the panel links, so the
// first step, up to main, is the same for both. COM1 is a pseudo-terminal held open here. The
// display is the one in the environment (bench/run: offscreen; DISPLAY=:N with QT_QPA_PLATFORM
// unset for an X server).
//   startup_steps [--runs N]
#include <fcntl.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QFontMetrics>
#include <QWidget>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "link/lines/qt_port_discovery.h"
#include "link/port/port_discovery.h"
#include "panel/controls.h"
#include "panel/qt_panel.h"
#include "panel/qt_window.h"
#include "report.h"

namespace {

using Clock = std::chrono::steady_clock;

long long NowNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1'000'000'000LL + now.tv_nsec;
}

double CpuMs(clockid_t clock) {
  timespec used{};
  clock_gettime(clock, &used);
  return static_cast<double>(used.tv_sec) * 1e3 + static_cast<double>(used.tv_nsec) / 1e6;
}

// Prints each step's time since the previous one as "step<TAB>wall ms<TAB>processor ms": the
// wall time as the operator waits it, and the main thread's processor time, which other
// programs on the machine disturb far less.
class Steps {
 public:
  explicit Steps(long long spawnedAtNs) : last_(spawnedAtNs) {}
  void done(const char* step) {
    const long long now = NowNs();
    // The first step, up to main, is the whole process's: the loader's work included.
    const double cpu = first_ ? CpuMs(CLOCK_PROCESS_CPUTIME_ID) : CpuMs(CLOCK_THREAD_CPUTIME_ID);
    std::printf("%s\t%.3f\t%.3f\n", step, static_cast<double>(now - last_) / 1e6,
                first_ ? cpu : cpu - lastCpu_);
    last_ = now;
    lastCpu_ = first_ ? CpuMs(CLOCK_THREAD_CPUTIME_ID) : cpu;
    first_ = false;
  }
  // A time that overlaps the steps, shown beside them and left out of their sum.
  static void Aside(const char* what, double wallMs, double cpuMs) {
    std::printf("(%s)\t%.3f\t%.3f\n", what, wallMs, cpuMs);
  }

 private:
  long long last_;
  double lastCpu_ = 0;
  bool first_ = true;
};

// Notes the first paint of the widget it watches.
class PaintSeen : public QObject {
 public:
  bool seen = false;

 protected:
  bool eventFilter(QObject* /*watched*/, QEvent* event) override {
    if (event->type() == QEvent::Paint) seen = true;
    return false;
  }
};

void ShowAndPaint(QWidget& window) {
  PaintSeen paint;
  window.installEventFilter(&paint);
  window.show();
  const auto limit = Clock::now() + std::chrono::seconds(10);
  while (!paint.seen && Clock::now() < limit) {
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
  }
  // The paint ends with the flush to the screen, in the same turn.
  QCoreApplication::processEvents();
  window.removeEventFilter(&paint);
}

// The fonts of the control table, each resolved once, as the first layout of a caption does.
void ResolveFonts() {
  using mero::panel::Font;
  std::set<std::tuple<int, double, bool>> seen;
  for (const mero::panel::ControlRow& row : mero::panel::Controls()) {
    const Font font =
        row.font.face == mero::panel::Face::Window ? mero::panel::kWindowFont : row.font;
    if (!seen.insert({static_cast<int>(font.face), font.points, font.bold}).second) continue;
    (void)QFontMetrics(mero::panel::FontFor(font)).height();
  }
}

int PanelChild(int argc, char** argv, long long spawnedAt, const std::string& com1) {
  Steps steps(spawnedAt);
  steps.done("exec to main");
  // As the program does with COM1 named, as program_costs names it: a thread reads the font
  // configuration while the display connection is made. The ports are looked through only for
  // a COM1 not named; COM2 finds its port when it is first wanted.
  std::thread fontConfiguration(mero::panel::ReadFontConfiguration);
  QApplication app(argc, argv);
  steps.done("display connection (QApplication)");
  QApplication::setStyle(QStringLiteral("Fusion"));
  steps.done("style");
  fontConfiguration.join();
  steps.done("waiting for the font configuration");
  ResolveFonts();
  steps.done("fonts of the tables resolved");
  const mero::link::ComDevices com = mero::link::MapPorts({}, com1, std::nullopt);
  mero::panel::QtPanel panel(
      mero::panel::PortDevices{{com.com1.path, {}, false}, {com.com2.path, {}, com.com2.fallback}});
  steps.done("window built from the tables");
  panel.load();
  steps.done("start-up sequence (port opens)");
  ShowAndPaint(panel.window());
  steps.done("shown and first painted");
  return panel.port().isOpen() ? 0 : 1;
}

int BareChild(int argc, char** argv, long long spawnedAt) {
  Steps steps(spawnedAt);
  steps.done("exec to main");
  QApplication app(argc, argv);
  steps.done("display connection (QApplication)");
  QWidget window;
  window.resize(633, 582);
  steps.done("window built");
  ShowAndPaint(window);
  steps.done("shown and first painted");
  return 0;
}

// Runs this program as a child of the given kind; its steps, in order, with their times.
struct Step {
  std::string name;
  double wallMs, cpuMs;
};

std::vector<Step> RunChild(const char* self, std::vector<std::string> args) {
  int out[2];
  if (::pipe(out) != 0) return {};
  args.insert(args.begin(), {self, "--child", std::to_string(NowNs())});
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], STDOUT_FILENO);
    ::close(out[0]);
    ::close(out[1]);
    ::execv(self, argv.data());
    ::_exit(127);
  }
  ::close(out[1]);
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) {
    text.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(out[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  std::vector<Step> steps;
  std::size_t at = 0;
  for (std::size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
    const std::string line = text.substr(at, end - at);
    const std::size_t tab = line.find('\t');
    const std::size_t tab2 = line.find('\t', tab + 1);
    if (tab2 == std::string::npos) continue;
    steps.push_back({line.substr(0, tab), std::atof(&line[tab + 1]), std::atof(&line[tab2 + 1])});
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "startup_steps: a %s run did not complete\n", args[3].c_str());
    return {};
  }
  return steps;
}

double Median(std::vector<double> values) {
  std::ranges::sort(values);
  const std::size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

struct Table {
  std::vector<std::string> order;
  std::map<std::string, std::vector<double>> wall, cpu;

  void add(const std::vector<Step>& steps) {
    double totalWall = 0;
    double totalCpu = 0;
    for (const Step& step : steps) {
      if (!wall.contains(step.name)) order.push_back(step.name);
      wall[step.name].push_back(step.wallMs);
      cpu[step.name].push_back(step.cpuMs);
      if (!step.name.starts_with('(')) {
        totalWall += step.wallMs;
        totalCpu += step.cpuMs;
      }
    }
    if (steps.empty()) return;
    wall["total"].push_back(totalWall);
    cpu["total"].push_back(totalCpu);
  }
  void print(const char* title) const {
    std::printf("\n%s\n%-40s %12s %10s %10s %14s\n", title, "step", "wall median", "min", "max",
                "CPU median");
    auto row = [&](const std::string& step) {
      const std::vector<double>& w = wall.at(step);
      std::printf("%-40s %12.2f %10.2f %10.2f %14.2f\n", step.c_str(), Median(w),
                  std::ranges::min(w), std::ranges::max(w), Median(cpu.at(step)));
    };
    for (const std::string& step : order) row(step);
    if (wall.contains("total")) row("total");
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 4 && std::strcmp(argv[1], "--child") == 0) {
    const long long spawnedAt = std::atoll(argv[2]);
    const std::string kind = argv[3];
    if (kind == "panel" && argc >= 5) return PanelChild(1, argv, spawnedAt, argv[4]);
    if (kind == "bare") return BareChild(1, argv, spawnedAt);
    return 2;
  }
  int runs = 15;
  if (argc == 3 && std::strcmp(argv[1], "--runs") == 0) runs = std::max(1, std::atoi(argv[2]));
  int master = -1;
  int slave = -1;
  if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
    std::fprintf(stderr, "startup_steps: no pseudo-terminal\n");
    return 1;
  }
  const std::string com1 = ::ttyname(slave);
  const char* self = "/proc/self/exe";
  char path[4096];
  const ssize_t length = ::readlink(self, path, sizeof path - 1);
  if (length <= 0) return 1;
  path[length] = '\0';

  const char* platform = std::getenv("QT_QPA_PLATFORM");
  const char* display = std::getenv("DISPLAY");
  std::printf("%d runs of each, one after the other; platform %s%s%s\n", runs,
              platform != nullptr && *platform != '\0' ? platform : "from DISPLAY",
              display != nullptr ? " DISPLAY=" : "", display != nullptr ? display : "");
  Table panel;
  Table bare;
  for (int run = 0; run < runs; ++run) {
    panel.add(RunChild(path, {"panel", com1}));
    bare.add(RunChild(path, {"bare"}));
    // What the panel sent meanwhile, read away.
    ::fcntl(master, F_SETFL, O_NONBLOCK);
    char bytes[256];
    while (::read(master, bytes, sizeof bytes) > 0) {
    }
  }
  panel.print("mero-control's steps");
  bare.print("bare Qt window (its program here also loads the panel's libraries)");
  // What the program spends on a thread of its own at start when COM1 is not named.
  std::vector<double> discovery;
  for (int run = 0; run < runs; ++run) {
    const long long start = NowNs();
    (void)mero::link::OrderPorts(mero::link::ListSystemPorts());
    discovery.push_back(static_cast<double>(NowNs() - start) / 1e6);
  }
  std::printf("\nport discovery, run when COM1 is not named: median %.2f ms, min %.2f, max %.2f\n",
              Median(discovery), std::ranges::min(discovery), std::ranges::max(discovery));
  for (const std::string& step : panel.order) {
    mero::bench::Report(
        {"start-up step, wall: " + step, Median(panel.wall.at(step)), "ms", "", 0, ""});
    mero::bench::Report(
        {"start-up step, processor: " + step, Median(panel.cpu.at(step)), "ms", "", 0, ""});
  }
  mero::bench::Report({"port discovery (COM1 not named)", Median(discovery), "ms", "", 0, ""});
  if (panel.wall.contains("total") && bare.wall.contains("total")) {
    mero::bench::Report({"start-up steps in all, wall", Median(panel.wall.at("total")), "ms",
                         "bare Qt window", Median(bare.wall.at("total")),
                         "within 1.3x the bare window"});
  }
  ::close(master);
  ::close(slave);
  return 0;
}
