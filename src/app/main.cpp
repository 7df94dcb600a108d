#include <QApplication>
#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "app/display_check.h"
#include "app/handoff.h"
#include "app/options.h"
#include "app/quit_on_signal.h"
#include "link/lines/qt_log_drain.h"
#include "link/lines/qt_port_discovery.h"
#include "link/port/port_discovery.h"
#include "link/port/traffic_log.h"
#include "panel/qt_panel.h"
#include "projector/demo.h"

namespace {

constexpr int kExitUsage = 2;

bool HaveDisplay() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return true;
  }
  return false;
}

mero::link::ComDevice ToComDevice(const mero::link::ComDevices::Device& device) {
  std::string stable = device.stableName;
  if (stable.empty() && !device.fallback) stable = mero::link::StableNameOf(device.path);
  return {device.path, stable, device.fallback};
}

// The ports of this machine, one a line, and which of them COM1 and COM2 are.
int ListPorts(const mero::app::Options& options) {
  using namespace mero::link;
  const std::vector<PortInfo> ports = OrderPorts(ListSystemPorts());
  const ComDevices com = MapPorts(ports, options.com1, options.com2);
  for (const PortInfo& port : ports) {
    std::string which;
    for (const auto& [name, device] : {std::pair{"COM1", &com.com1}, {"COM2", &com.com2}}) {
      if (device->path == port.device || device->path == port.stableName) {
        which += which.empty() ? name : std::string(",") + name;
      }
    }
    std::printf("%s\n", DescribePort(port, which).c_str());
  }
  if (ports.empty()) {
    std::printf("No serial port was found. COM1 is %s and COM2 %s.\n",
                ShowPath(com.com1.path).c_str(), ShowPath(com.com2.path).c_str());
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Headless commands and the service are another program's, which loads no display, fonts
  // or widgets; scripts that call them through the panel's name keep working.
  if (argc > 1 && mero::app::IsHeadlessCommand(argv[1])) return mero::app::RunHeadless(argv);

  const std::vector<std::string_view> args(argv + 1, argv + argc);
  const mero::app::Options options = mero::app::ParseOptions(args);
  if (!options.error.empty()) {
    std::fprintf(stderr, "mero-control: %s\n", options.error.c_str());
    return kExitUsage;
  }
  if (options.help) {
    std::fputs(mero::app::UsageText().c_str(), stdout);
    return 0;
  }
  if (options.version) {
    std::fputs(mero::app::VersionText().c_str(), stdout);
    return 0;
  }
  if (options.listPorts) {
    QCoreApplication app(argc, argv);
    return ListPorts(options);
  }
  std::unique_ptr<mero::link::TrafficLog> log;
  if (options.log) {
    std::string reason;
    log = mero::link::TrafficLog::Open(*options.log, &reason);
    if (!log) {
      std::fprintf(stderr, "mero-control: cannot write the log %s: %s\n",
                   mero::link::ShowPath(*options.log).c_str(), reason.c_str());
      return 1;
    }
  }
  if (!HaveDisplay()) {
    std::fputs(
        "mero-control: no display to open the window on (DISPLAY is not set); "
        "start it from a desktop session, or under xvfb-run\n",
        stderr);
    return 1;
  }

  // Before any thread starts, so that a signal reaches only the event loop.
  mero::app::QuitOnSignal::Block();
  // While the display connection is made, a thread reads the font configuration and finds the
  // ports. Finding them reads the whole tty tree from sysfs, and it is done only for a COM1 not
  // named: COM2, unless named too, then looks for its port when it is first wanted.
  const bool findPorts = !options.com1 && !options.demo;
  std::future<std::vector<mero::link::PortInfo>> found =
      std::async(std::launch::async, [findPorts] {
        mero::panel::ReadFontConfiguration();
        return findPorts ? mero::link::OrderPorts(mero::link::ListSystemPorts())
                         : std::vector<mero::link::PortInfo>{};
      });
  std::optional<QApplication> app;
  {
    mero::app::DisplayCheck check;
    app.emplace(argc, argv);
  }
  std::optional<mero::link::QtLogDrain> drain;
  if (log) drain.emplace(*log);
  QApplication::setApplicationName(QStringLiteral("mero-control"));
  QApplication::setStyle(QStringLiteral("Fusion"));

  std::unique_ptr<mero::vp::Demo> demo;
  std::optional<std::string> com1 = options.com1;
  if (options.demo) {
    std::string error;
    demo = mero::vp::Demo::Start(&error);
    if (!demo) {
      std::fprintf(stderr, "mero-control: the virtual projector did not start: %s\n",
                   error.c_str());
      return 1;
    }
    com1 = demo->Device();
    std::printf("mero-control: COM1 is the virtual projector on %s\n", demo->Device().c_str());
    std::fflush(stdout);
  }
  const mero::link::ComDevices com = mero::link::MapPorts(found.get(), com1, options.com2);

  mero::panel::QtPanel panel(
      mero::panel::PortDevices{ToComDevice(com.com1), ToComDevice(com.com2)});
  panel.setTrafficLog(log.get());
  mero::app::QuitOnSignal quitOnSignal([&panel] { panel.form().Command16_Click(); });
  panel.load({.at9600 = options.speed == 9600, .fullyOpen = options.full});
  panel.window().show();
  return QApplication::exec();
}
