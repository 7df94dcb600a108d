#include <fontconfig/fontconfig.h>

#include <QApplication>
#include <QFontDatabase>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <algorithm>
#include <cmath>
#include <utility>

#include "panel/bindings.h"
#include "panel/qt_widgets.h"
#include "panel/qt_window.h"
#include "panel/qt_window_internal.h"

// The window as the control and line tables draw it.

namespace mero::panel {
namespace {

// The faces asked for by name first, then Japanese-capable Gothic faces of the same pitch.
const QStringList kGothicFaces = {QStringLiteral("ＭＳ ゴシック"), QStringLiteral("MS Gothic"),
                                  QStringLiteral("IPAGothic"),
                                  QStringLiteral("Noto Sans Mono CJK JP")};
const QStringList kPGothicFaces = {QStringLiteral("ＭＳ Ｐゴシック"), QStringLiteral("MS PGothic"),
                                   QStringLiteral("IPAPGothic"),
                                   QStringLiteral("Noto Sans CJK JP")};

// Of the faces asked for, those this machine has (under their own name or one its font
// configuration gives them): each face named that is not there costs a lookup in the font
// configuration for every font made with it. Where none of them is there all are named, and
// the platform's substitution chooses.
QStringList FacesPresent(const QStringList& faces) {
  QStringList present;
  for (const QString& face : faces) {
    if (QFontDatabase::hasFamily(face)) present << face;
  }
  return present.isEmpty() ? faces : present;
}

QColor ToQColor(Rgb rgb) { return QColor(rgb.r, rgb.g, rgb.b); }

void Paint(QWidget* widget, const ControlRow& row) {
  QPalette palette = widget->palette();
  if (row.colour != Colour::Face && row.colour != Colour::None) {
    const QColor background = ToQColor(ToRgb(row.colour));
    palette.setColor(QPalette::Window, background);
    palette.setColor(QPalette::Button, background);
    palette.setColor(QPalette::Base, background);
    widget->setAutoFillBackground(row.kind != Kind::Button);
  }
  palette.setColor(QPalette::WindowText, ToQColor(row.text));
  palette.setColor(QPalette::ButtonText, ToQColor(row.text));
  palette.setColor(QPalette::Text, ToQColor(row.text));
  widget->setPalette(palette);
}

Qt::Alignment AlignmentOf(Align align) {
  switch (align) {
    case Align::Centre:
      return Qt::AlignCenter;
    case Align::Right:
      return Qt::AlignRight | Qt::AlignVCenter;
    case Align::Left:
      break;
  }
  return Qt::AlignLeft | Qt::AlignVCenter;
}

}  // namespace

int ToPixels(int twips) {
  return static_cast<int>(std::lround(static_cast<double>(twips) / kTwipsPerPixel));
}

void ReadFontConfiguration() { FcInit(); }

QFont FontFor(const Font& font) {
  static const QStringList gothic = FacesPresent(kGothicFaces);
  static const QStringList pGothic = FacesPresent(kPGothicFaces);
  const Font& f = font.face == Face::Window ? kWindowFont : font;
  QFont qfont;
  qfont.setFamilies(f.face == Face::PGothic ? pGothic : gothic);
  qfont.setStyleHint(f.face == Face::PGothic ? QFont::SansSerif : QFont::Monospace);
  qfont.setPointSizeF(f.points);
  qfont.setBold(f.bold);
  return qfont;
}

QtWindow::QtWindow(WindowEvents events, QWidget* parent)
    : QWidget(parent), events_(std::move(events)) {
  setWindowTitle(FromUtf8(kWindowTitle));
  setFont(FontFor(kWindowFont));
  QPalette palette = this->palette();
  palette.setColor(QPalette::Window, ToQColor(ToRgb(Colour::Grey)));
  setPalette(palette);
  setAutoFillBackground(true);
  resize(ToPixels(kClientWidth), ToPixels(kClientHeight));

  // Containers come before their contents in the table, so one pass builds the tree.
  for (const ControlRow& row : Controls()) {
    QWidget* container = this;
    if (row.container != kOnWindow) container = control(row.container);
    controls_.emplace(std::string(row.name), makeControl(row, container));
  }
  applyTabOrder();
  // Key preview: the window sees every key before the control that has the focus.
  qApp->installEventFilter(this);
}

QtWindow::~QtWindow() { qApp->removeEventFilter(this); }

QWidget* QtWindow::makeControl(const ControlRow& row, QWidget* container) {
  QWidget* widget = nullptr;
  const QString caption = FromUtf8(row.caption);
  const std::string name(row.name);
  switch (row.kind) {
    case Kind::Frame: {
      auto* frame = new QGroupBox(container);
      frame->setFlat(false);
      widget = frame;
      break;
    }
    case Kind::Label: {
      auto* label = new QLabel(caption, container);
      label->setTextFormat(Qt::PlainText);
      label->setAlignment(AlignmentOf(row.align));
      // A sunken border, drawn in the frame shades rather than in the text colour.
      if (row.bordered) label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
      if (IsMonitorLine(row.name)) label->setTextInteractionFlags(Qt::TextSelectableByMouse);
      widget = label;
      break;
    }
    case Kind::Button: {
      if (FindRepeat(row.name) != nullptr) {
        auto* button = new HoldButton(caption, container);
        button->onPress = [this, name] {
          holdKeyDown_ = true;
          events_.mouseDown(name);
        };
        button->onRelease = [this, name] {
          events_.mouseUp(name);
          holdKeyLetGo();
        };
        widget = button;
      } else {
        auto* button = new KeyButton(caption, container);
        button->setAutoDefault(false);
        connect(button, &QPushButton::clicked, this, [this, name] { events_.click(name); });
        widget = button;
      }
      break;
    }
    case Kind::Option: {
      auto* option = new QRadioButton(caption, container);
      option->setChecked(row.markedAtStart);
      connect(option, &QRadioButton::clicked, this, [this, name] { events_.click(name); });
      widget = option;
      break;
    }
    case Kind::TextBox: {
      entry_ = new EntryBox(container);
      entry_->setFrame(true);
      widget = entry_;
      break;
    }
    case Kind::Picture: {
      auto* logo = new LogoPicture(container);
      logo->onDoubleClick = [this, name] { events_.doubleClick(name); };
      widget = logo;
      break;
    }
  }
  widget->setObjectName(QString::fromStdString(name));
  widget->setGeometry(ToPixels(row.left), ToPixels(row.top), ToPixels(row.width),
                      ToPixels(row.height));
  if (row.kind != Kind::Frame && row.kind != Kind::Picture) widget->setFont(FontFor(row.font));
  // Read by screen readers and test tools: the caption as written, however it is laid out.
  if (row.kind == Kind::Label || row.kind == Kind::Button || row.kind == Kind::Option) {
    widget->setAccessibleName(caption);
  }
  Paint(widget, row);
  if (row.kind == Kind::Frame || row.kind == Kind::Label || row.kind == Kind::Picture) {
    widget->setFocusPolicy(Qt::NoFocus);
  }
  if (!row.visibleAtStart) widget->hide();
  return widget;
}

void QtWindow::applyTabOrder() {
  std::vector<const ControlRow*> rows;
  for (const ControlRow& row : Controls()) {
    if (row.tab >= 0 && control(row.name)->focusPolicy() != Qt::NoFocus) rows.push_back(&row);
  }
  std::ranges::sort(rows, {}, &ControlRow::tab);
  for (std::size_t i = 1; i < rows.size(); ++i) {
    QWidget::setTabOrder(control(rows[i - 1]->name), control(rows[i]->name));
  }
}

void QtWindow::paintEvent(QPaintEvent* event) {
  QWidget::paintEvent(event);
  QPainter painter(this);
  painter.setPen(QPen(ToQColor(kLineColour), kLinePixels, Qt::SolidLine, Qt::SquareCap));
  for (const LineRow& line : Lines()) {
    painter.drawLine(ToPixels(line.x1), ToPixels(line.y1), ToPixels(line.x2), ToPixels(line.y2));
  }
}

}  // namespace mero::panel
