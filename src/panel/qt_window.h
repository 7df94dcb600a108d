#pragma once

#include <QPointer>
#include <QWidget>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "panel/controls.h"
#include "panel/surface.h"

class QLabel;
class QLineEdit;
class QMessageBox;

namespace mero::panel {

// What the window reports to the form logic, by control name.
struct WindowEvents {
  std::function<void(std::string_view)> click;
  std::function<void(std::string_view)> doubleClick;
  std::function<void(std::string_view)> mouseDown;
  std::function<void(std::string_view)> mouseUp;
  std::function<void(int key, int shift)> keyDown;
};

QFont FontFor(const Font& font);

// Reads the machine's font configuration, which the first font the window asks for would
// otherwise read on the UI thread. Safe on any thread, also while the application object is
// being made.
void ReadFontConfiguration();

int ToPixels(int twips);

// The text shown in a warning or notice box: it may wrap only at its blanks, so that an option
// such as "--com2" or a device path stays on one line. Between two characters of a word goes
// a word joiner (U+2060), which has no width and forbids a line break there.
QString BoxText(std::string_view text);

// Where the window goes when asked to stand with its outer top-left at `requested` (in
// pixels): there, if its outer size `outer` then lies inside the screen's `available` area;
// otherwise moved into that area, its top-left kept inside first where it cannot fit whole.
QPoint PlaceOnScreen(const QRect& available, const QSize& outer, const QPoint& requested);

// The one window, built from the control table. Geometry read and set through the surface
// is in twips; 15 twips make one logical pixel and Qt scales for dense screens.
class QtWindow : public QWidget, public Surface {
  Q_OBJECT
 public:
  explicit QtWindow(WindowEvents events, QWidget* parent = nullptr);
  ~QtWindow() override;

  QWidget* control(std::string_view name) const;

  // Boxes are recorded here instead of shown, for tests.
  void recordBoxes(std::vector<std::string>* boxes) { recordedBoxes_ = boxes; }

  // Surface
  void setCaption(std::string_view name, const std::string& text) override;
  std::string caption(std::string_view name) const override;
  void appendCaption(std::string_view name, std::string_view appended, std::size_t dropFrom,
                     std::size_t dropCount) override;
  void setVisible(std::string_view name, bool visible) override;
  bool isVisible(std::string_view name) const override;
  void mark(std::string_view option) override;
  bool isMarked(std::string_view option) const override;
  std::string entryBytes() const override;
  void clearEntry() override;
  int windowWidth() const override;
  int windowHeight() const override;
  void setWindowHeight(int twips) override;
  void setWindowPosition(int left, int top) override;
  int screenWidth() const override;
  int screenHeight() const override;
  void warn(const std::string& text) override;
  void notify(const std::string& text, Notice kind = Notice::Warning) override;
  void quit() override;

  using QWidget::setVisible;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void paintEvent(QPaintEvent* event) override;

 private:
  QWidget* makeControl(const ControlRow& row, QWidget* container);
  void applyTabOrder();
  int frameTwipsHigh() const;
  int frameTwipsWide() const;
  void keepOneSelection(QObject* pressed);
  void holdKeyLetGo();
  bool copyMonitorSelection();
  static void showLabelText(QLabel* label, std::string_view text);

  WindowEvents events_;
  std::map<std::string, QWidget*, std::less<>> controls_;
  // Each label's caption as set, whole; the label shows only its front.
  std::map<std::string, std::string, std::less<>> labelTexts_;
  QLineEdit* entry_ = nullptr;
  std::vector<std::string>* recordedBoxes_ = nullptr;
  // The one notice box, made on the first notice and kept, hidden when closed, for the next.
  QMessageBox* notice_ = nullptr;
  // A hold key is down under the mouse; a notice that would open the box meanwhile waits.
  bool holdKeyDown_ = false;
  bool noticeWaiting_ = false;
  struct SetHeight {
    int twips;
    int pixels;
  };
  std::optional<SetHeight> setHeight_;
  struct SeenKey {
    const QEvent* event = nullptr;
    quint64 timestamp = 0;
    int key = 0;
    QPointer<QWidget> receiver;
  } lastKey_;
};

}  // namespace mero::panel
