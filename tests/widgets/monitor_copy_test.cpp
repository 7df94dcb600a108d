// The monitor lines: their text is selected with the mouse and copied with Ctrl+C, while they
// show and clear as before and the keys keep the focus.

#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "widget_rig.h"

namespace mero::test {
namespace {

// Drags across the whole of a label, as a hand selects its text.
void SelectAcross(QLabel* label) {
  const int middle = label->height() / 2;
  QTest::mousePress(label, Qt::LeftButton, {}, QPoint(1, middle));
  QTest::mouseMove(label, QPoint(label->width() - 1, middle));
  QTest::mouseRelease(label, Qt::LeftButton, {}, QPoint(label->width() - 1, middle));
}

void CtrlC() { QTest::keyClick(QApplication::focusWidget(), Qt::Key_C, Qt::ControlModifier); }

TEST(MonitorLines, SelectedTextIsCopiedWithCtrlCAndTheLinesStillClearOnTime) {
  WidgetRig rig;
  rig.window.setWindowHeight(panel::kFullHeight);
  QTest::mouseClick(rig.widget<QPushButton>("Command44"), Qt::LeftButton);  // "STATUS"
  rig.port.feed("80\r");
  QWidget* focus = QApplication::focusWidget();
  ASSERT_EQ(focus, rig.window.control("Command44"));
  QGuiApplication::clipboard()->clear();

  for (const char* name : {"Label11", "Label12", "Label22"}) {
    SCOPED_TRACE(name);
    auto* line = rig.widget<QLabel>(name);
    const QString shown = line->text();
    ASSERT_FALSE(shown.isEmpty());
    SelectAcross(line);
    EXPECT_EQ(line->selectedText(), shown);
    CtrlC();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), shown);
    EXPECT_EQ(line->text(), shown);
    EXPECT_EQ(QApplication::focusWidget(), focus);
  }
  // One line holds a selection at a time.
  EXPECT_FALSE(rig.widget<QLabel>("Label11")->hasSelectedText());
  EXPECT_FALSE(rig.widget<QLabel>("Label12")->hasSelectedText());

  // The entry's own selection is the one it copies.
  auto* entry = rig.widget<QLineEdit>("Text1");
  entry->setFocus();
  QTest::keyClicks(entry, QStringLiteral("CR9"));
  entry->selectAll();
  CtrlC();
  EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("CR9"));

  rig.clock.advance(panel::kTimer4Start);
  for (const char* name : {"Label11", "Label12", "Label22"}) {
    EXPECT_EQ(rig.widget<QLabel>(name)->text(), QString()) << name;
  }
}

// Selectable text is drawn as a plain label draws it, pixel for pixel, and takes no focus.
TEST(MonitorLines, LookAsPlainLabels) {
  WidgetRig rig;
  rig.window.setWindowHeight(panel::kFullHeight);
  QTest::mouseClick(rig.widget<QPushButton>("Command54"), Qt::LeftButton);  // "TEMP"
  rig.port.feed("+25.5  30.1 +28.0\r");
  for (const char* name : {"Label11", "Label12", "Label22"}) {
    auto* line = rig.widget<QLabel>(name);
    ASSERT_FALSE(line->text().isEmpty()) << name;
    ASSERT_EQ(line->focusPolicy(), Qt::NoFocus) << name;
    const QImage selectable = line->grab().toImage();
    line->setTextInteractionFlags(Qt::NoTextInteraction);
    EXPECT_EQ(line->grab().toImage(), selectable) << name;
  }
}

}  // namespace
}  // namespace mero::test
