// The real panel on a virtual projector behind a pseudo-terminal, offscreen: the received
// buffer is filled to its limit, then bytes trickle in one at a time at 19200 baud (1920 bytes
// a second) for ten seconds with no command sent, so no reply window ever closes and every
// arrival lands on a full buffer. Reports the process's CPU share during the trickle (the
// projector's own serving thread included), the main thread's share alone, and the same for a
// few seconds of flood.
#include <QApplication>
#include <QTemporaryDir>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "event_loop.h"
#include "panel/qt_panel.h"
#include "virtual_projector/pty_server.h"

namespace {

using namespace std::chrono;
using namespace std::chrono_literals;

constexpr int kTrickleBaud = 19200;
constexpr int kTrickleBytes = 19200;  // ten seconds at 1920 bytes a second
constexpr auto kTrickleTime = 10s;
constexpr auto kFloodTime = 5s;
constexpr std::size_t kFloodChunk = 4096;

double CpuSeconds(clockid_t clock) {
  timespec at{};
  clock_gettime(clock, &at);
  return static_cast<double>(at.tv_sec) + static_cast<double>(at.tv_nsec) / 1e9;
}

struct Share {
  double process = 0;
  double mainThread = 0;
};

// CPU shares while `run` runs, against the wall time it took.
template <typename Run>
Share Measure(Run run) {
  const double process = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
  const double thread = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
  const auto start = steady_clock::now();
  run();
  const double wall = duration<double>(steady_clock::now() - start).count();
  return {(CpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - process) / wall,
          (CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - thread) / wall};
}

// Printable text, so that every byte has a piece of its own on the monitor.
std::string Letters(std::size_t count) {
  std::string text(count, 'A');
  for (std::size_t i = 0; i < count; ++i) text[i] = static_cast<char>('A' + i % 26);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  mero::bench::PanelOnLinkedProjector rig;
  mero::vp::PtyServer& projector = rig.projector;
  mero::panel::QtPanel& panel = rig.panel;
  panel.load();
  panel.window().show();
  if (!panel.port().isOpen()) {
    std::fprintf(stderr, "receive_trickle: the port did not open\n");
    return 1;
  }
  long events = 0;
  auto handler = panel.port().onEvent;
  panel.port().onEvent = [&](int kind) {
    ++events;
    handler(kind);
  };

  const std::string& buffer = panel.form().state.rxBuffer;
  for (int round = 0; buffer.size() < mero::panel::kRxBufferLimit; ++round) {
    if (round == 100) {
      std::fprintf(stderr, "receive_trickle: the buffer did not fill\n");
      return 1;
    }
    projector.SendRaw(Letters(kFloodChunk));
    mero::bench::RunFor(20ms);
  }

  projector.SetBaud(kTrickleBaud);
  events = 0;
  const Share trickle = Measure([&] {
    projector.SendRaw(Letters(kTrickleBytes));
    mero::bench::RunFor(kTrickleTime);
  });
  const long trickleEvents = events;
  const bool shownWhole = panel.window().caption("Label12").size() == 2 * buffer.size() + 1;

  projector.SetBaud(0);
  mero::bench::RunFor(200ms);
  events = 0;
  const Share flood = Measure([&] {
    const auto end = steady_clock::now() + kFloodTime;
    while (steady_clock::now() < end) {
      projector.SendRaw(Letters(kFloodChunk));
      mero::bench::RunFor(1ms);
    }
  });

  std::printf(
      "trickle, %d bytes at %d baud on a full buffer: %ld receive events, CPU %.1f %% "
      "(main thread %.1f %%), monitor %s\n",
      kTrickleBytes, kTrickleBaud, trickleEvents, 100 * trickle.process, 100 * trickle.mainThread,
      shownWhole ? "whole" : "NOT WHOLE");
  std::printf(
      "flood, %zu bytes every millisecond for %lld s: %ld receive events, CPU %.1f %% "
      "(main thread %.1f %%)\n",
      kFloodChunk, static_cast<long long>(duration_cast<seconds>(kFloodTime).count()), events,
      100 * flood.process, 100 * flood.mainThread);
  return shownWhole ? 0 : 1;
}
