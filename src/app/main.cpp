#include <QApplication>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <vector>

#include "app/demo.h"
#include "app/options.h"
#include "panel/qt_panel.h"

namespace {

bool HaveDisplay() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  mero::app::Options options = mero::app::ParseOptions(args);
  if (!options.error.empty()) {
    std::fprintf(stderr, "mero-control: %s\n%s", options.error.c_str(),
                 mero::app::UsageText().c_str());
    return 2;
  }
  if (options.help) {
    std::fputs(mero::app::UsageText().c_str(), stdout);
    return 0;
  }
  if (options.version) {
    std::fputs(mero::app::VersionText().c_str(), stdout);
    return 0;
  }
  if (!HaveDisplay()) {
    std::fputs(
        "mero-control: no display to open the window on (DISPLAY is not set); "
        "start it from a desktop session, or under xvfb-run\n",
        stderr);
    return 1;
  }

  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("mero-control"));
  QApplication::setStyle(QStringLiteral("Fusion"));

  std::unique_ptr<mero::app::Demo> demo;
  mero::panel::PortDevices devices{QString::fromStdString(options.com1),
                                   QString::fromStdString(options.com2)};
  if (options.demo) {
    std::string error;
    demo = mero::app::Demo::start(&error);
    if (!demo) {
      std::fprintf(stderr, "mero-control: the virtual projector did not start: %s\n",
                   error.c_str());
      return 1;
    }
    devices.com1 = QString::fromStdString(demo->device());
    std::printf("mero-control: COM1 is the virtual projector on %s\n", demo->device().c_str());
    std::fflush(stdout);
  }

  mero::panel::QtPanel panel(devices);
  panel.load();
  panel.window().show();
  return QApplication::exec();
}
