#pragma once

#include <QLabel>
#include <QPushButton>
#include <functional>

namespace mero::panel {

// A key that acts on the mouse press and release only, with any mouse button. The release
// comes to the pressed key wherever the pointer is, as Qt grabs the mouse for the press.
// Space or Enter on it does nothing.
class HoldButton : public QPushButton {
  Q_OBJECT
 public:
  using QPushButton::QPushButton;

  std::function<void()> onPress;
  std::function<void()> onRelease;

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
};

// The logo: a picture with a double-click event.
class LogoPicture : public QLabel {
  Q_OBJECT
 public:
  explicit LogoPicture(QWidget* parent = nullptr);

  std::function<void()> onDoubleClick;

 protected:
  void mouseDoubleClickEvent(QMouseEvent* event) override;
};

// The 80 x 26 product logo, drawn rather than shipped as a file.
QPixmap MakeLogo();

}  // namespace mero::panel
