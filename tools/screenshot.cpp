// window-screenshot: the panel on the built-in virtual projector, fully opened as a user opens
// it (Ctrl+K, then a double-click on the logo), after one status query, saved as a PNG.
// tools/screenshot runs it on a virtual X server to make docs/window.png.

#include <QApplication>
#include <QPushButton>
#include <QTest>
#include <cstdio>
#include <memory>
#include <string>

#include "panel/qt_panel.h"
#include "projector/demo.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("mero-control"));
  QApplication::setStyle(QStringLiteral("Fusion"));
  const QString path = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("window.png");

  std::string error;
  const std::unique_ptr<mero::vp::Demo> demo = mero::vp::Demo::Start(&error);
  if (!demo) {
    std::fprintf(stderr, "window-screenshot: the virtual projector did not start: %s\n",
                 error.c_str());
    return 1;
  }
  const mero::panel::PortDevices devices(QString::fromStdString(demo->Device()),
                                         QStringLiteral("/dev/ttyS1"));
  mero::panel::QtPanel panel(devices);
  panel.load();
  mero::panel::QtWindow& window = panel.window();
  window.show();
  if (!QTest::qWaitForWindowExposed(&window)) {
    std::fputs("window-screenshot: the window was not shown\n", stderr);
    return 1;
  }

  QTest::keyClick(&window, Qt::Key_K, Qt::ControlModifier);
  QTest::mouseDClick(window.control("Image1"), Qt::LeftButton);
  QTest::mouseClick(window.control("Command44"), Qt::LeftButton);  // STATUS
  const bool answered = QTest::qWaitFor([&] { return !window.caption("Label22").empty(); }, 5000);
  if (!answered) {
    std::fputs("window-screenshot: no answer to the status query\n", stderr);
    return 1;
  }

  if (!window.grab().save(path)) {
    std::fprintf(stderr, "window-screenshot: cannot write %s\n", qPrintable(path));
    return 1;
  }
  std::printf("%s: %dx%d\n", qPrintable(path), window.width(), window.height());
  return 0;
}
