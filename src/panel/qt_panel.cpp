#include "panel/qt_panel.h"

namespace mero::panel {

QtPanel::QtPanel(const PortDevices& devices)
    : port_(devices.com1, devices.com2),
      window_(WindowEvents{
          .click = [this](std::string_view control) { form_.Click(control); },
          .doubleClick = [this](std::string_view control) { form_.DoubleClick(control); },
          .mouseDown = [this](std::string_view control) { form_.MouseDown(control); },
          .mouseUp = [this](std::string_view control) { form_.MouseUp(control); },
          .keyDown = [this](int key, int shift) { form_.Form_KeyDown(key, shift); },
      }),
      form_(port_, {timer1_, timer2_, timer3_, timer4_}, window_) {}

}  // namespace mero::panel
