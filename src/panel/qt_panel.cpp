#include "panel/qt_panel.h"

#include <QEvent>
#include <array>
#include <functional>
#include <utility>

#include "link/port/port_discovery.h"

namespace mero::panel {
namespace {

constexpr std::array kPortOptions = {std::pair{"Option1", 1}, std::pair{"Option2", 2}};

std::string DescribeDevice(const link::ComDevice& device) {
  std::string text = link::ShowPath(device.path);
  if (device.fallback) return text + " (no serial port was found)";
  if (!device.stableName.empty() && device.stableName != device.path) {
    text += '\n' + link::ShowPath(device.stableName);
  }
  return text;
}

// Calls `before` on each tool tip event of the widgets it watches, before the tip shows.
class ToolTipRefresher : public QObject {
 public:
  explicit ToolTipRefresher(std::function<void()> before) : before_(std::move(before)) {}

 protected:
  bool eventFilter(QObject* /*watched*/, QEvent* event) override {
    if (event->type() == QEvent::ToolTip) before_();
    return false;
  }

 private:
  std::function<void()> before_;
};

}  // namespace

QtPanel::QtPanel(const PortDevices& devices)
    : port_(devices.com1, devices.com2),
      loggedPort_(port_, [this] { return port_.shownDevice(); }),
      window_(WindowEvents{
          .click = [this](std::string_view control) { form_.Click(control); },
          .doubleClick = [this](std::string_view control) { form_.DoubleClick(control); },
          .mouseDown = [this](std::string_view control) { form_.MouseDown(control); },
          .mouseUp = [this](std::string_view control) { form_.MouseUp(control); },
          .keyDown = [this](int key, int shift) { form_.Form_KeyDown(key, shift); },
      }),
      form_(loggedPort_, {timer1_, timer2_, timer3_, timer4_}, window_) {
  showDevicesAsToolTips();
  // A COM with no port yet (none was there, or none was looked for when COM1 was named) looks
  // for one before its tip shows.
  toolTips_ = std::make_unique<ToolTipRefresher>([this] {
    port_.findMissingPorts();
    showDevicesAsToolTips();
  });
  for (const auto& [option, number] : kPortOptions) {
    if (QWidget* widget = window_.control(option)) widget->installEventFilter(toolTips_.get());
  }
}

void QtPanel::showDevicesAsToolTips() {
  for (const auto& [option, number] : kPortOptions) {
    if (QWidget* widget = window_.control(option)) {
      widget->setToolTip(QString::fromStdString(DescribeDevice(port_.device(number))));
    }
  }
}

}  // namespace mero::panel
