#pragma once

#include <QTest>

#include "fakes.h"
#include "panel/form.h"
#include "panel/qt_window.h"
#include "virtual_clock.h"

namespace mero::test {

// The real window, shown on the offscreen platform, over the form logic with a fake port and
// virtual timers: widget events go through Qt, time costs nothing.
struct WidgetRig {
  VirtualClock clock;
  FakePort port{&clock};
  VirtualClock::Timer timer1{clock}, timer2{clock}, timer3{clock}, timer4{clock};
  int kPresses = 0;  // key-down events of the letter K that reached the form
  std::vector<std::string> boxes;
  panel::QtWindow window{panel::WindowEvents{
      .click = [this](std::string_view c) { form.Click(c); },
      .doubleClick = [this](std::string_view c) { form.DoubleClick(c); },
      .mouseDown = [this](std::string_view c) { form.MouseDown(c); },
      .mouseUp = [this](std::string_view c) { form.MouseUp(c); },
      .keyDown =
          [this](int key, int shift) {
            if (key == Qt::Key_K) ++kPresses;
            form.Form_KeyDown(key, shift);
          },
  }};
  panel::Form1 form{port, {timer1, timer2, timer3, timer4}, window};

  WidgetRig() {
    window.recordBoxes(&boxes);
    form.Form_Load();
    window.show();
    (void)QTest::qWaitForWindowExposed(&window);
  }

  template <typename T = QWidget>
  T* widget(std::string_view name) {
    return qobject_cast<T*>(window.control(name));
  }

  // Brings the whole window into view, as Ctrl+K then a double-click on the logo do.
  void openFully() {
    window.setWindowHeight(panel::kFullHeight);
    QCoreApplication::processEvents();
  }

  std::vector<link::Bytes> takeSent() {
    auto out = port.sent();
    port.writes.clear();
    return out;
  }
};

}  // namespace mero::test
