#include "panel/qt_window.h"

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QRadioButton>
#include <QScreen>
#include <QTextBoundaryFinder>
#include <algorithm>
#include <utility>

#include "panel/qt_widgets.h"
#include "panel/qt_window_internal.h"

namespace mero::panel {
namespace {

// More characters than the widest label can show in its smallest font.
constexpr qsizetype kLabelShownLimit = 1024;
// UTF-8 takes at most four bytes for a character (two UTF-16 units), so this many bytes of a
// caption hold at least its first kLabelShownLimit units.
constexpr std::size_t kLabelShownBytes = 4 * static_cast<std::size_t>(kLabelShownLimit);

}  // namespace

QString BoxText(std::string_view text) {
  constexpr QChar kWordJoiner(0x2060);
  const QString plain = FromUtf8(text);
  QString shown;
  shown.reserve(plain.size() * 2);
  QTextBoundaryFinder characters(QTextBoundaryFinder::Grapheme, plain);
  qsizetype start = 0;
  for (qsizetype end = characters.toNextBoundary(); end > start;
       end = characters.toNextBoundary()) {
    if (start > 0 && !plain.at(start - 1).isSpace() && !plain.at(start).isSpace()) {
      shown += kWordJoiner;
    }
    shown += QStringView(plain).mid(start, end - start);
    start = end;
  }
  return shown;
}

QPoint PlaceOnScreen(const QRect& available, const QSize& outer, const QPoint& requested) {
  if (available.contains(QRect(requested, outer))) return requested;
  const auto into = [](int at, int size, int first, int length) {
    return std::max(first, std::min(at, first + length - size));
  };
  return {into(requested.x(), outer.width(), available.left(), available.width()),
          into(requested.y(), outer.height(), available.top(), available.height())};
}

QWidget* QtWindow::control(std::string_view name) const {
  auto it = controls_.find(name);
  return it == controls_.end() ? nullptr : it->second;
}

void QtWindow::setCaption(std::string_view name, const std::string& text) {
  QWidget* widget = control(name);
  if (auto* label = qobject_cast<QLabel*>(widget)) {
    std::string& whole = labelTexts_[std::string(name)];
    whole = text;
    showLabelText(label, whole);
    return;
  }
  const QString caption = FromUtf8(text);
  if (auto* key = qobject_cast<KeyButton*>(widget)) {
    key->setCaption(caption);
  } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
    button->setText(caption);
  } else if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
    edit->setText(caption);
    return;
  }
  if (widget != nullptr) widget->setAccessibleName(caption);
}

std::string QtWindow::caption(std::string_view name) const {
  QWidget* widget = control(name);
  QString text;
  if (auto* label = qobject_cast<QLabel*>(widget)) {
    const auto whole = labelTexts_.find(name);
    if (whole != labelTexts_.end()) return whole->second;
    text = label->text();
  } else if (auto* key = qobject_cast<KeyButton*>(widget)) {
    text = key->caption();
  } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
    text = button->text();
  } else if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
    text = edit->text();
  }
  return text.toStdString();
}

void QtWindow::appendCaption(std::string_view name, std::string_view appended, std::size_t dropFrom,
                             std::size_t dropCount) {
  auto* label = qobject_cast<QLabel*>(control(name));
  if (label == nullptr) {
    std::string text = caption(name);
    AppendAndDrop(text, appended, dropFrom, dropCount);
    setCaption(name, text);
    return;
  }
  const auto [whole, added] = labelTexts_.try_emplace(std::string(name));
  if (added) whole->second = label->text().toStdString();
  AppendAndDrop(whole->second, appended, dropFrom, dropCount);
  showLabelText(label, whole->second);
}

// A one-line label shows only its first few dozen characters; converting and laying out the
// rest of a long received text on every arrival would cost milliseconds each time for nothing.
// Screen readers get what the label shows.
void QtWindow::showLabelText(QLabel* label, std::string_view text) {
  const QString shown = FromUtf8(text.substr(0, kLabelShownBytes)).left(kLabelShownLimit);
  if (shown == label->text()) return;
  label->setText(shown);
  label->setAccessibleName(shown);
}

void QtWindow::setVisible(std::string_view name, bool visible) {
  if (QWidget* widget = control(name)) widget->setVisible(visible);
}

bool QtWindow::isVisible(std::string_view name) const {
  QWidget* widget = control(name);
  return widget != nullptr && !widget->isHidden();
}

void QtWindow::mark(std::string_view option) {
  if (auto* radio = qobject_cast<QRadioButton*>(control(option))) radio->setChecked(true);
}

bool QtWindow::isMarked(std::string_view option) const {
  auto* radio = qobject_cast<QRadioButton*>(control(option));
  return radio != nullptr && radio->isChecked();
}

// Typed text goes on the line one byte per character; a character with no single byte
// becomes "?", which the monitor then shows.
std::string QtWindow::entryBytes() const { return entry_->text().toLatin1().toStdString(); }

void QtWindow::clearEntry() { entry_->clear(); }

int QtWindow::frameTwipsHigh() const {
  const int extra = frameGeometry().height() - height();
  return extra > 0 ? extra * kTwipsPerPixel : kFrameAllowance;
}

int QtWindow::frameTwipsWide() const {
  const int extra = frameGeometry().width() - width();
  return extra > 0 ? extra * kTwipsPerPixel : 0;
}

int QtWindow::windowWidth() const { return width() * kTwipsPerPixel + frameTwipsWide(); }

// A height set in twips reads back as set while the window keeps the pixel height it was
// given; after a resize by hand it is reckoned from the pixels.
int QtWindow::windowHeight() const {
  if (setHeight_ && height() == setHeight_->pixels) return setHeight_->twips;
  return height() * kTwipsPerPixel + frameTwipsHigh();
}

void QtWindow::setWindowHeight(int twips) {
  const int pixels = std::max(1, ToPixels(twips - frameTwipsHigh()));
  resize(width(), pixels);
  setHeight_ = SetHeight{twips, pixels};
}

// Left and top are reckoned from the screen's top-left corner. Where they would put the title
// bar or any other part of the window outside the screen's available area (a screen shorter
// than the fully opened window gives a negative top), the window is moved into it.
void QtWindow::setWindowPosition(int left, int top) {
  QPoint position(ToPixels(left), ToPixels(top));
  if (const QScreen* screen = this->screen()) {
    position = PlaceOnScreen(screen->availableGeometry(),
                             QSize(ToPixels(windowWidth()), ToPixels(windowHeight())),
                             screen->geometry().topLeft() + position);
  }
  move(position);
}

int QtWindow::screenWidth() const { return screen()->geometry().width() * kTwipsPerPixel; }

int QtWindow::screenHeight() const { return screen()->geometry().height() * kTwipsPerPixel; }

void QtWindow::warn(const std::string& text) {
  if (recordedBoxes_ != nullptr) {
    recordedBoxes_->push_back(text);
    return;
  }
  QMessageBox::warning(this, QApplication::applicationName(), BoxText(text));
}

// A device server that keeps refusing sends the same notice again and again: one box takes
// them all, so the screen does not fill with boxes nobody closes. The box must not take the
// activation, and with it the focus, from the panel: a held key whose button loses the focus
// lets go of its press. Window systems take WA_ShowWithoutActivating as a hint at most (the
// offscreen one activates every window it shows), so while a hold key is down a box that is
// not open yet waits for the key to be let go; one already open only changes its text.
void QtWindow::notify(const std::string& text, Notice kind) {
  if (recordedBoxes_ != nullptr) {
    recordedBoxes_->push_back(text);
    return;
  }
  const QString shown = BoxText(text);
  const QMessageBox::Icon icon =
      kind == Notice::Information ? QMessageBox::Information : QMessageBox::Warning;
  if (notice_ == nullptr) {
    notice_ = new QMessageBox(icon, QApplication::applicationName(), shown, QMessageBox::Ok, this);
    notice_->setWindowModality(Qt::NonModal);
    notice_->setAttribute(Qt::WA_ShowWithoutActivating);
  } else if (notice_->isVisible() && notice_->icon() == icon && notice_->text() == shown) {
    return;
  }
  notice_->setIcon(icon);
  notice_->setText(shown);
  // Open already, it is brought up to date where it stands, neither raised nor activated.
  if (notice_->isVisible()) return;
  if (holdKeyDown_) {
    noticeWaiting_ = true;
    return;
  }
  notice_->show();
}

void QtWindow::holdKeyLetGo() {
  holdKeyDown_ = false;
  if (std::exchange(noticeWaiting_, false)) notice_->show();
}

void QtWindow::quit() {
  close();
  QCoreApplication::quit();
}

// One monitor line holds a selection at a time: a press on one clears the others'.
void QtWindow::keepOneSelection(QObject* pressed) {
  const auto isPressed = [&](std::string_view name) { return control(name) == pressed; };
  if (std::ranges::none_of(kMonitorLines, isPressed)) return;
  for (std::string_view name : kMonitorLines) {
    auto* line = qobject_cast<QLabel*>(control(name));
    if (line != nullptr && line != pressed) line->setSelection(0, 0);
  }
}

// Copies the selected text of a monitor line, unless the command entry has the focus and a
// selection of its own, which it copies itself.
bool QtWindow::copyMonitorSelection() {
  if (entry_ != nullptr && entry_->hasFocus() && entry_->hasSelectedText()) return false;
  for (std::string_view name : kMonitorLines) {
    auto* line = qobject_cast<QLabel*>(control(name));
    if (line != nullptr && line->hasSelectedText()) {
      QGuiApplication::clipboard()->setText(line->selectedText());
      return true;
    }
  }
  return false;
}

bool QtWindow::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::MouseButtonPress) keepOneSelection(watched);
  if (event->type() != QEvent::KeyPress) return false;
  auto* widget = qobject_cast<QWidget*>(watched);
  if (widget == nullptr || widget->window() != this) return false;
  auto* key = static_cast<QKeyEvent*>(event);
  // An unaccepted key event climbs from the focus widget to its parents, and the filter sees
  // it again at each: take it at its first receiver only.
  const bool climbing = key == lastKey_.event && key->timestamp() == lastKey_.timestamp &&
                        key->key() == lastKey_.key && lastKey_.receiver != nullptr &&
                        widget->isAncestorOf(lastKey_.receiver);
  lastKey_ = {key, key->timestamp(), key->key(), widget};
  if (climbing || key->isAutoRepeat()) return false;
  const Qt::KeyboardModifiers modifiers = key->modifiers();
  const int shift = (modifiers.testFlag(Qt::ShiftModifier) ? 1 : 0) |
                    (modifiers.testFlag(Qt::ControlModifier) ? 2 : 0) |
                    (modifiers.testFlag(Qt::AltModifier) ? 4 : 0);
  events_.keyDown(key->key(), shift);
  return key->matches(QKeySequence::Copy) && copyMonitorSelection();
}

}  // namespace mero::panel
