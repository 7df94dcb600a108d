// The real panel with COM1 on a pseudo-terminal whose far end this benchmark writes itself,
// under two loads of 30 s each (the time can be given as the first argument, in seconds):
//  - trickle: one byte at a time at 19200 baud (1920 bytes a second) on a received buffer
//    that is already full, with no command sent, so no reply window ever closes;
//  - flood: as fast as the panel takes it.
// For each: the panel's CPU share (the writer's own thread left out), the longest the event
// loop was held up (a probe timer's worst lateness), memory growth, and for the flood the
// bytes taken per second beside a bare read() loop on the same kind of pseudo-terminal.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <thread>

#include "event_loop.h"
#include "panel/qt_panel.h"
#include "process_figures.h"
#include "report.h"

namespace {

using mero::bench::CpuSeconds;
using mero::bench::RssMegabytes;

using namespace std::chrono;
using namespace std::chrono_literals;

constexpr int kTrickleBytesPerSecond = 1920;
constexpr std::size_t kFloodChunk = 4096;
constexpr int kProbeMs = 50;
constexpr double kMega = 1e6;

// A pseudo-terminal pair: the panel opens the slave by its path, the benchmark writes the
// master.
struct Pty {
  int master = -1;
  std::string path;
  Pty() {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return;
    std::array<char, 128> name{};
    if (ptsname_r(master, name.data(), name.size()) == 0) path = name.data();
    termios raw{};
    tcgetattr(master, &raw);
    cfmakeraw(&raw);
    tcsetattr(master, TCSANOW, &raw);
  }
  ~Pty() {
    if (master >= 0) ::close(master);
  }
};

bool WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

std::string Letters(std::size_t count) {
  std::string text(count, 'A');
  for (std::size_t i = 0; i < count; ++i) text[i] = static_cast<char>('A' + i % 26);
  return text;
}

struct Load {
  double cpuPercent = 0;
  double longestStallMs = 0;
  double memoryGrowthMb = 0;
  double bytesPerSecond = 0;
};

// Runs the event loop for `length` while `write` runs on a thread of its own until told to
// stop; `write` returns the bytes it wrote and adds its thread's CPU seconds to `writerCpu`.
template <typename Write>
Load Measure(seconds length, Write write) {
  std::atomic<bool> stop{false};
  std::atomic<double> writerCpu{0};
  std::atomic<std::size_t> written{0};
  std::atomic<bool> done{false};
  QElapsedTimer sinceProbe;
  qint64 worstLateness = 0;
  QTimer probe;
  probe.setTimerType(Qt::PreciseTimer);
  QObject::connect(&probe, &QTimer::timeout, [&] {
    worstLateness = std::max(worstLateness, sinceProbe.restart() - kProbeMs);
  });
  const double rssBefore = RssMegabytes();
  const double cpuBefore = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
  const auto start = steady_clock::now();
  std::thread writer([&] {
    const double own = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    written = write(stop);
    writerCpu = CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - own;
    done = true;
  });
  sinceProbe.start();
  probe.start(kProbeMs);
  mero::bench::RunFor(duration_cast<milliseconds>(length));
  probe.stop();
  stop = true;
  const double wall = duration<double>(steady_clock::now() - start).count();
  // The writer may be blocked on a full line: the panel keeps reading until it is done.
  while (!mero::bench::RunUntil([&] { return done.load(); }, 100ms)) {
  }
  writer.join();
  Load load;
  load.cpuPercent =
      100 * (CpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpuBefore - writerCpu.load()) / wall;
  load.longestStallMs = static_cast<double>(worstLateness);
  load.memoryGrowthMb = RssMegabytes() - rssBefore;
  load.bytesPerSecond = static_cast<double>(written.load()) / wall;
  return load;
}

// The floor for the flood: a thread reading the slave as fast as read() returns.
double BareReadBytesPerSecond(seconds length) {
  Pty pty;
  const int slave = ::open(pty.path.c_str(), O_RDWR | O_NOCTTY);
  if (slave < 0) return 0;
  termios raw{};
  tcgetattr(slave, &raw);
  cfmakeraw(&raw);
  tcsetattr(slave, TCSANOW, &raw);
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    std::array<char, kFloodChunk> chunk{};
    while (!stop && ::read(slave, chunk.data(), chunk.size()) > 0) {
    }
  });
  const std::string block = Letters(kFloodChunk);
  std::size_t written = 0;
  const auto end = steady_clock::now() + length;
  while (steady_clock::now() < end && WriteAll(pty.master, block.data(), block.size())) {
    written += block.size();
  }
  stop = true;
  WriteAll(pty.master, "x", 1);  // wakes the reader
  reader.join();
  ::close(slave);
  return static_cast<double>(written) / duration<double>(length).count();
}

}  // namespace

int main(int argc, char** argv) {
  const seconds length{argc > 1 ? std::max(1, std::atoi(argv[1])) : 30};
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  Pty pty;
  mero::panel::QtPanel panel({QString::fromStdString(pty.path), QStringLiteral("/nonexistent")});
  std::vector<std::string> boxes;
  panel.window().recordBoxes(&boxes);
  panel.load();
  panel.window().show();
  if (!panel.port().isOpen()) {
    std::fprintf(stderr, "receive_load: the port did not open\n");
    return 1;
  }
  mero::bench::RunFor(500ms);

  // A full buffer first, then the trickle.
  const std::string& buffer = panel.form().state.rxBuffer;
  const std::string fill = Letters(mero::panel::kRxBufferLimit + kFloodChunk);
  std::thread filler([&] { WriteAll(pty.master, fill.data(), fill.size()); });
  const bool full =
      mero::bench::RunUntil([&] { return buffer.size() == mero::panel::kRxBufferLimit; }, 5s);
  filler.join();
  if (!full) {
    std::fprintf(stderr, "receive_load: the buffer did not fill\n");
    return 1;
  }
  const Load trickle = Measure(length, [&](std::atomic<bool>& stop) {
    std::size_t written = 0;
    timespec next{};
    clock_gettime(CLOCK_MONOTONIC, &next);
    constexpr long kGapNs = 1'000'000'000L / kTrickleBytesPerSecond;
    while (!stop) {
      const char byte = static_cast<char>('a' + written % 26);
      if (!WriteAll(pty.master, &byte, 1)) break;
      ++written;
      next.tv_nsec += kGapNs;
      next.tv_sec += next.tv_nsec / 1'000'000'000L;
      next.tv_nsec %= 1'000'000'000L;
      clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
    }
    return written;
  });
  mero::bench::RunFor(200ms);
  const bool shownWhole = panel.window().caption("Label12").size() == 2 * buffer.size() + 1;

  const Load flood = Measure(length, [&](std::atomic<bool>& stop) {
    const std::string block = Letters(kFloodChunk);
    std::size_t written = 0;
    while (!stop && WriteAll(pty.master, block.data(), block.size())) written += block.size();
    return written;
  });
  const double floor = BareReadBytesPerSecond(std::min(length, seconds{10}));

  std::printf("%-8s %10s %12s %16s %14s\n", "load", "CPU %", "stall ms", "memory +MB",
              "MB/s taken");
  std::printf("%-8s %10.2f %12.1f %16.2f %14.4f\n", "trickle", trickle.cpuPercent,
              trickle.longestStallMs, trickle.memoryGrowthMb, trickle.bytesPerSecond / kMega);
  std::printf("%-8s %10.2f %12.1f %16.2f %14.2f\n", "flood", flood.cpuPercent, flood.longestStallMs,
              flood.memoryGrowthMb, flood.bytesPerSecond / kMega);
  std::printf("bare read() of a pseudo-terminal: %.2f MB/s; monitor %s\n", floor / kMega,
              shownWhole ? "shows the whole buffer" : "DOES NOT show the whole buffer");

  using mero::bench::Report;
  Report({"trickle 1920 B/s on a full buffer: CPU", trickle.cpuPercent, "%", "", 0, "under 3 %"});
  Report({"trickle: longest event-loop stall", trickle.longestStallMs, "ms", "", 0, ""});
  Report({"trickle: memory growth", trickle.memoryGrowthMb, "MB", "", 0, "none"});
  Report({"flood: CPU", flood.cpuPercent, "%", "", 0, ""});
  Report({"flood: longest event-loop stall", flood.longestStallMs, "ms", "", 0, ""});
  Report({"flood: memory growth", flood.memoryGrowthMb, "MB", "", 0, "none"});
  Report({"flood: bytes taken", flood.bytesPerSecond / kMega, "MB/s", "bare read()", floor / kMega,
          ""});
  return shownWhole && boxes.empty() ? 0 : 1;
}
