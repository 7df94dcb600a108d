#include "panel/qt_widgets.h"

#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>

namespace mero::panel {

void HoldButton::mousePressEvent(QMouseEvent* event) {
  event->accept();
  setDown(true);
  if (onPress) onPress();
}

// A second press in quick succession arrives as a double-click; it is a press all the same.
void HoldButton::mouseDoubleClickEvent(QMouseEvent* event) { mousePressEvent(event); }

void HoldButton::mouseReleaseEvent(QMouseEvent* event) {
  event->accept();
  setDown(false);
  if (onRelease) onRelease();
}

void HoldButton::mouseMoveEvent(QMouseEvent* event) { event->accept(); }

LogoPicture::LogoPicture(QWidget* parent) : QLabel(parent) { setPixmap(MakeLogo()); }

void LogoPicture::mouseDoubleClickEvent(QMouseEvent* event) {
  event->accept();
  if (onDoubleClick) onDoubleClick();
}

QPixmap MakeLogo() {
  constexpr int kWidth = 80, kHeight = 26;
  QImage image(kWidth, kHeight, QImage::Format_RGB888);
  QPainter painter(&image);
  QLinearGradient sky(0, 0, 0, kHeight);
  sky.setColorAt(0, QColor(0, 48, 128));
  sky.setColorAt(1, QColor(0, 112, 192));
  painter.fillRect(image.rect(), sky);
  painter.setPen(QColor(255, 255, 255));
  QFont font(QStringLiteral("DejaVu Sans"));
  font.setPixelSize(17);
  font.setBold(true);
  font.setItalic(true);
  painter.setFont(font);
  painter.drawText(image.rect(), Qt::AlignCenter, QStringLiteral("MERO"));
  painter.setPen(QPen(QColor(255, 200, 0), 2));
  painter.drawLine(6, kHeight - 4, kWidth - 6, kHeight - 4);
  painter.end();
  return QPixmap::fromImage(image);
}

}  // namespace mero::panel
