#pragma once

#include <QFont>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <functional>
#include <optional>

namespace mero::panel {

// A key whose caption stays whole and readable. A caption too wide for one line is wrapped
// where the key is tall enough for two lines at its font: at its last blank that lets the
// first line fit, or else between characters. Whatever still does not fit the key is drawn
// in a smaller size of the same face; the key's own font is left as set. The caption is laid
// out once the key has a size of its own, and again only when its caption, font or caption
// area change: measuring text is what building the window spends most on.
class KeyButton : public QPushButton {
  Q_OBJECT
 public:
  explicit KeyButton(const QString& caption, QWidget* parent = nullptr);

  // The caption as given; text() holds it as laid out for drawing.
  void setCaption(const QString& caption);
  const QString& caption() const { return caption_; }
  // The font the caption is drawn in, and the area the style draws it in.
  const QFont& captionFont() const { return captionFont_; }
  QRect captionRect() const;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void fit();
  void layOut();

  QString caption_;
  QFont captionFont_;
  // What the caption was last laid out for.
  struct Laid {
    QString caption;
    QFont font;
    QSize area;
  };
  std::optional<Laid> laid_;
};

// A key that acts on the mouse press and release only, with any mouse button. The release
// comes to the pressed key wherever the pointer is, as Qt grabs the mouse for the press.
// Space or Enter on it does nothing.
class HoldButton : public KeyButton {
  Q_OBJECT
 public:
  using KeyButton::KeyButton;

  std::function<void()> onPress;
  std::function<void()> onRelease;

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
};

// The command entry box: a one-line text box with no length limit. Ctrl+K belongs to the
// window, which opens the extended panel with it: the box leaves that key alone instead of
// applying the platform's binding for it (on X11, "delete to the end of the line"). Every
// other key is the box's as usual.
class EntryBox : public QLineEdit {
  Q_OBJECT
 public:
  explicit EntryBox(QWidget* parent = nullptr);

 protected:
  void keyPressEvent(QKeyEvent* event) override;
};

// The logo: a picture with a double-click event. It is drawn for the screen's device pixel
// ratio, and again when the window moves to a screen with another ratio.
class LogoPicture : public QLabel {
  Q_OBJECT
 public:
  explicit LogoPicture(QWidget* parent = nullptr);

  std::function<void()> onDoubleClick;

 protected:
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void paintEvent(QPaintEvent* event) override;

 private:
  QPixmap logo_;
};

// The product logo, 80 x 26 in logical pixels, drawn rather than shipped as a file: a pixmap
// of 80 x 26 times `devicePixelRatio` device pixels that carries that ratio.
QPixmap MakeLogo(qreal devicePixelRatio = 1.0);

}  // namespace mero::panel
