#include <gtest/gtest.h>

#include <QFontInfo>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <map>
#include <set>

#include "panel/controls.h"
#include "widget_rig.h"

namespace mero::test {
namespace {

using panel::ControlRow;
using panel::Kind;

QColor Expected(panel::Colour colour) {
  const panel::Rgb rgb = panel::ToRgb(colour);
  return QColor(rgb.r, rgb.g, rgb.b);
}

QColor BackgroundOf(QWidget* widget, Kind kind) {
  return widget->palette().color(kind == Kind::Button ? QPalette::Button : QPalette::Window);
}

TEST(Window, TitleAndStartSize) {
  WidgetRig rig;
  EXPECT_EQ(rig.window.windowTitle().toStdString(),
            "MERO   QM40 & QM50 & QM70   CONTROL   Ver.1.40");
  // 9495 twips wide; 5350 high less the 370 reckoned for title bar and borders.
  EXPECT_EQ(rig.window.width(), 633);
  EXPECT_EQ(rig.window.height(), (5350 - 370) / 15);
  EXPECT_EQ(rig.window.palette().color(QPalette::Window), QColor(192, 192, 192));
}

TEST(Window, EveryControlStandsWhereItsRowSays) {
  WidgetRig rig;
  for (const ControlRow& row : panel::Controls()) {
    SCOPED_TRACE(std::string(row.name));
    QWidget* widget = rig.window.control(row.name);
    ASSERT_NE(widget, nullptr);
    QWidget* container =
        row.container == panel::kOnWindow ? &rig.window : rig.window.control(row.container);
    EXPECT_EQ(widget->parentWidget(), container);
    EXPECT_EQ(widget->geometry(), QRect(panel::ToPixels(row.left), panel::ToPixels(row.top),
                                        panel::ToPixels(row.width), panel::ToPixels(row.height)));
    EXPECT_EQ(widget->isHidden(), !row.visibleAtStart);
    if (row.colour != panel::Colour::None && row.colour != panel::Colour::Face) {
      EXPECT_EQ(BackgroundOf(widget, row.kind), Expected(row.colour));
    }
    if (auto* label = qobject_cast<QLabel*>(widget); label && row.kind == Kind::Label) {
      EXPECT_EQ(label->text().toStdString(), std::string(row.caption));
      EXPECT_EQ(label->palette().color(QPalette::WindowText),
                QColor(row.text.r, row.text.g, row.text.b));
    }
    if (row.kind == Kind::Button || row.kind == Kind::Option) {
      if (row.name != "Command33") {
        EXPECT_EQ(rig.window.caption(row.name), row.caption);
      }
    }
  }
}

TEST(Window, ATallKeyWrapsACaptionTooWideForOneLine) {
  WidgetRig rig;
  auto* clear = rig.widget<QPushButton>("Command3");
  EXPECT_EQ(clear->text(), QStringLiteral("DISPLAY\nCLEAR"));
  EXPECT_EQ(rig.widget<QPushButton>("Command65")->text(), QStringLiteral("DVI(PC Digital)"));
}

TEST(Window, ControlsInFramesMoveWithTheirFrame) {
  WidgetRig rig;
  auto onWindow = [&](std::string_view name) {
    QWidget* w = rig.window.control(name);
    return w->mapTo(&rig.window, QPoint(0, 0));
  };
  // 3480+120+120 = 3720, 3600+480+240 = 4320 twips.
  EXPECT_EQ(onWindow("Option9"), QPoint(248, 288));
  // 120+960 = 1080, 6735+240 = 6975 twips.
  EXPECT_EQ(onWindow("Command64"), QPoint(72, 465));
}

TEST(Window, FontsAreJapaneseGothicOfTheRightPitch) {
  WidgetRig rig;
  for (const ControlRow& row : panel::Controls()) {
    if (row.kind == Kind::Frame || row.kind == Kind::Picture) continue;
    SCOPED_TRACE(std::string(row.name));
    QWidget* widget = rig.window.control(row.name);
    const QFont font = widget->font();
    EXPECT_EQ(font.bold(), row.font.bold);
    EXPECT_DOUBLE_EQ(font.pointSizeF(), row.font.points);
    const QFontInfo info(font);
    if (row.font.face == panel::Face::Gothic) {
      EXPECT_EQ(info.family(), QStringLiteral("IPAGothic"));
    } else {
      EXPECT_EQ(info.family(), QStringLiteral("IPAPGothic"));
    }
  }
}

TEST(Window, JapaneseCaptionsHaveGlyphs) {
  WidgetRig rig;
  const QFont font = rig.window.control("Command34")->font();
  const QFontMetrics metrics(font);
  for (const char* caption : {"データを表示する", "データを表示しない"}) {
    for (char32_t c : QString::fromUtf8(caption).toUcs4()) {
      EXPECT_TRUE(metrics.inFontUcs4(c)) << "no glyph for U+" << std::hex << unsigned(c);
    }
  }
}

TEST(Window, StartStateOfTheSelectionFrameAndDataButton) {
  WidgetRig rig;
  EXPECT_TRUE(rig.widget<QRadioButton>("Option9")->isChecked());
  EXPECT_TRUE(rig.widget<QRadioButton>("Option1")->isChecked());
  EXPECT_FALSE(rig.widget<QRadioButton>("Option2")->isChecked());
  EXPECT_FALSE(rig.widget<QRadioButton>("Option10")->isChecked());
  EXPECT_TRUE(rig.window.control("Frame8")->isHidden());
  EXPECT_TRUE(rig.window.control("Command34")->isHidden());
  for (const char* line : {"Label11", "Label12", "Label22"}) {
    EXPECT_EQ(rig.widget<QLabel>(line)->text(), QString()) << line;
  }
}

TEST(Window, TabOrderFollowsTheTable) {
  WidgetRig rig;
  std::map<int, QWidget*> focusable;
  for (const ControlRow& row : panel::Controls()) {
    QWidget* w = rig.window.control(row.name);
    if (row.tab >= 0 && w->focusPolicy() != Qt::NoFocus) focusable[row.tab] = w;
  }
  ASSERT_GT(focusable.size(), 60u);
  auto nextFocusable = [](QWidget* w) {
    do {
      w = w->nextInFocusChain();
    } while (w->focusPolicy() == Qt::NoFocus);
    return w;
  };
  QWidget* previous = nullptr;
  for (auto [tab, widget] : focusable) {
    if (previous != nullptr) {
      EXPECT_EQ(nextFocusable(previous), widget) << "after tab " << tab;
    }
    previous = widget;
  }
}

TEST(Window, CursorPadOutlineIsOneClosedLoop) {
  // Every end point is shared by exactly two lines, and walking from line to line visits
  // all twelve before coming back.
  std::map<std::pair<int, int>, int> ends;
  const auto lines = panel::Lines();
  ASSERT_EQ(lines.size(), 12u);
  for (const auto& l : lines) {
    ++ends[{l.x1, l.y1}];
    ++ends[{l.x2, l.y2}];
    EXPECT_TRUE(l.x1 == l.x2 || l.y1 == l.y2) << l.name;
  }
  for (auto [point, count] : ends) EXPECT_EQ(count, 2) << point.first << "," << point.second;
  std::set<std::string_view> visited;
  std::pair<int, int> at{lines[0].x1, lines[0].y1};
  const auto* current = &lines.front();
  for (std::size_t step = 0; step < lines.size(); ++step) {
    visited.insert(current->name);
    const std::pair<int, int> a{current->x1, current->y1};
    const std::pair<int, int> b{current->x2, current->y2};
    at = (at == a) ? b : a;
    for (const auto& next : lines) {
      if (&next != current &&
          (std::pair{next.x1, next.y1} == at || std::pair{next.x2, next.y2} == at)) {
        current = &next;
        break;
      }
    }
  }
  EXPECT_EQ(visited.size(), 12u);
  EXPECT_EQ(current, &lines.front());
}

}  // namespace
}  // namespace mero::test
