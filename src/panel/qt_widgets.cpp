#include "panel/qt_widgets.h"

#include <QKeyEvent>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QStyleOptionButton>
#include <QStylePainter>
#include <QTextBoundaryFinder>
#include <QtMath>
#include <algorithm>
#include <limits>

namespace mero::panel {
namespace {

// How far a caption's font may shrink, and in what steps.
constexpr qreal kSmallestCaptionPoints = 5.0;
constexpr qreal kCaptionPointStep = 0.25;

bool Fits(const QString& text, const QFont& font, const QSize& area) {
  const QSize size = QFontMetrics(font).size(Qt::TextShowMnemonic, text);
  return size.width() <= area.width() && size.height() <= area.height();
}

// The caption as laid out at `font` for `area`: on one line if it fits there or if two lines
// do not fit the height; otherwise on two, broken at the last blank that lets the first line
// fit, or else after as many characters as fit.
QString LaidOut(const QString& caption, const QFont& font, const QSize& area) {
  const QFontMetrics metrics(font);
  const auto fitsOneLine = [&](qsizetype length) {
    return metrics.horizontalAdvance(caption.left(length)) <= area.width();
  };
  if (fitsOneLine(caption.size()) ||
      metrics.size(0, QStringLiteral("X\nX")).height() > area.height()) {
    return caption;
  }
  for (qsizetype blank = caption.lastIndexOf(u' '); blank > 0;
       blank = caption.lastIndexOf(u' ', blank - 1)) {
    if (fitsOneLine(blank)) return caption.left(blank) + u'\n' + caption.mid(blank + 1);
  }
  QTextBoundaryFinder characters(QTextBoundaryFinder::Grapheme, caption);
  qsizetype split = 0;
  for (qsizetype at = characters.toNextBoundary(); at > 0 && at < caption.size() && fitsOneLine(at);
       at = characters.toNextBoundary()) {
    split = at;
  }
  return split == 0 ? caption : caption.left(split) + u'\n' + caption.mid(split);
}

}  // namespace

// Built without a size or font of its own yet, the key lays its caption out when it gets them.
KeyButton::KeyButton(const QString& caption, QWidget* parent)
    : QPushButton(caption, parent), caption_(caption) {}

void KeyButton::setCaption(const QString& caption) {
  caption_ = caption;
  fit();
}

QRect KeyButton::captionRect() const {
  QStyleOptionButton option;
  initStyleOption(&option);
  return style()->subElementRect(QStyle::SE_PushButtonContents, &option, this);
}

// Until it is given a size the key has Qt's default one, which nothing is laid out for: the
// first resize does it, at the latest the one a widget gets when it is first shown.
void KeyButton::fit() {
  if (testAttribute(Qt::WA_Resized)) layOut();
}

void KeyButton::layOut() {
  const QSize area = captionRect().size();
  if (laid_ && laid_->caption == caption_ && laid_->area == area && laid_->font == font()) return;
  laid_ = Laid{caption_, font(), area};
  const QString shown = LaidOut(caption_, font(), area);
  QFont drawn = font();
  while (!Fits(shown, drawn, area) && drawn.pointSizeF() > kSmallestCaptionPoints) {
    drawn.setPointSizeF(std::max(kSmallestCaptionPoints, drawn.pointSizeF() - kCaptionPointStep));
  }
  captionFont_ = drawn;
  if (text() != shown) setText(shown);
  update();
}

// As QPushButton draws itself, with the caption in its own font.
void KeyButton::paintEvent(QPaintEvent* event) {
  if (captionFont_ == font()) {
    QPushButton::paintEvent(event);
    return;
  }
  QStylePainter painter(this);
  QStyleOptionButton option;
  initStyleOption(&option);
  option.fontMetrics = QFontMetrics(captionFont_);
  painter.setFont(captionFont_);
  painter.drawControl(QStyle::CE_PushButton, option);
}

void KeyButton::resizeEvent(QResizeEvent* event) {
  QPushButton::resizeEvent(event);
  layOut();
}

void KeyButton::changeEvent(QEvent* event) {
  QPushButton::changeEvent(event);
  if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange) fit();
}

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

EntryBox::EntryBox(QWidget* parent) : QLineEdit(parent) {
  setMaxLength(std::numeric_limits<int>::max());
}

void EntryBox::keyPressEvent(QKeyEvent* event) {
  constexpr Qt::KeyboardModifiers kShiftCtrlAlt =
      Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier;
  if (event->key() == Qt::Key_K &&
      (event->modifiers() & kShiftCtrlAlt) == Qt::KeyboardModifiers(Qt::ControlModifier)) {
    event->ignore();
    return;
  }
  QLineEdit::keyPressEvent(event);
}

namespace {

constexpr int kLogoWidth = 80, kLogoHeight = 26;

// The logo in logical pixels; the painter's device brings the resolution. The icon
// (data/mero-control.svg) is the same design on a square.
void PaintLogo(QPainter& painter) {
  painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
  const QRectF area(0, 0, kLogoWidth, kLogoHeight);
  QLinearGradient sky(0, 0, 0, kLogoHeight);
  sky.setColorAt(0, QColor(0, 48, 128));
  sky.setColorAt(1, QColor(0, 112, 192));
  painter.fillRect(area, sky);
  painter.setPen(QColor(255, 255, 255));
  QFont font(QStringLiteral("DejaVu Sans"));
  font.setPixelSize(17);
  font.setBold(true);
  font.setItalic(true);
  painter.setFont(font);
  painter.drawText(area, Qt::AlignCenter, QStringLiteral("MERO"));
  painter.fillRect(QRectF(6, kLogoHeight - 5, kLogoWidth - 12, 2), QColor(255, 200, 0));
}

}  // namespace

LogoPicture::LogoPicture(QWidget* parent) : QLabel(parent) { resize(kLogoWidth, kLogoHeight); }

void LogoPicture::mouseDoubleClickEvent(QMouseEvent* event) {
  event->accept();
  if (onDoubleClick) onDoubleClick();
}

void LogoPicture::paintEvent(QPaintEvent* /*event*/) {
  const qreal ratio = devicePixelRatioF();
  if (logo_.isNull() || logo_.devicePixelRatio() != ratio) logo_ = MakeLogo(ratio);
  QPainter painter(this);
  painter.drawPixmap(QRectF(rect()), logo_, QRectF(logo_.rect()));
}

QPixmap MakeLogo(qreal devicePixelRatio) {
  const QSize pixels(qCeil(kLogoWidth * devicePixelRatio), qCeil(kLogoHeight * devicePixelRatio));
  QImage image(pixels, QImage::Format_RGB32);
  image.setDevicePixelRatio(devicePixelRatio);
  QPainter painter(&image);
  PaintLogo(painter);
  painter.end();
  return QPixmap::fromImage(image);
}

}  // namespace mero::panel
