#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <map>

#include "panel/bindings.h"
#include "widget_rig.h"

namespace mero::test {
namespace {

using Sent = std::vector<link::Bytes>;

TEST(KeysThroughWidgets, EveryOneShotKeySendsItsRowAndSetsItsTiming) {
  WidgetRig rig;
  rig.openFully();
  for (const panel::OneShotBinding& key : panel::OneShotBindings()) {
    SCOPED_TRACE(std::string(key.control));
    rig.timer2.setInterval(111);
    rig.timer4.setInterval(222);
    const link::OneShotCommand* command = panel::FindOneShot(key.control);
    ASSERT_NE(command, nullptr);
    auto* button = rig.widget<QPushButton>(key.control);
    ASSERT_NE(button, nullptr);
    QTest::mouseClick(button, Qt::LeftButton);
    EXPECT_EQ(rig.takeSent(), Sent{std::string(command->code) + "\r"});
    const auto intervals = panel::IntervalsOf(command->timing);
    EXPECT_EQ(rig.timer2.interval(), intervals ? intervals->reply : 111);
    EXPECT_EQ(rig.timer4.interval(), intervals ? intervals->monitor : 222);
  }
}

TEST(KeysThroughWidgets, SameCaptionDifferentCommand) {
  WidgetRig rig;
  rig.openFully();
  const std::pair<const char*, const char*> keys[] = {
      {"Command64", "C50\r"}, {"Command72", "C25\r"},  // the two "RGB"
      {"Command29", "C07\r"}, {"Command82", "C33\r"},  // the two "Video"
      {"Command17", "C00\r"}, {"Command19", "C0B\r"},  // two of the "ON"
  };
  for (auto [control, bytes] : keys) {
    QTest::mouseClick(rig.widget<QPushButton>(control), Qt::LeftButton);
    EXPECT_EQ(rig.takeSent(), Sent{bytes}) << control;
  }
}

class HoldKeys : public ::testing::TestWithParam<Qt::MouseButton> {};

TEST_P(HoldKeys, EveryHoldKeySendsAtThePressAndStopsAtTheRelease) {
  WidgetRig rig;
  for (const panel::RepeatBinding& key : panel::RepeatBindings()) {
    SCOPED_TRACE(std::string(key.control));
    auto* button = rig.widget<QPushButton>(key.control);
    QTest::mousePress(button, GetParam());
    EXPECT_EQ(rig.takeSent(), Sent{std::string(key.code) + "\r"});
    EXPECT_EQ(rig.form.state.repeatCode, key.repeatCode);
    EXPECT_TRUE(rig.timer1.isEnabled());
    // Released with the pointer well outside the key: the release still comes to it.
    QTest::mouseRelease(button, GetParam(), {}, QPoint(-40, -40));
    EXPECT_EQ(rig.form.state.repeatCode, 0);
    EXPECT_FALSE(rig.timer1.isEnabled());
    rig.clock.advance(2000);
    EXPECT_EQ(rig.takeSent(), Sent{});
  }
}

INSTANTIATE_TEST_SUITE_P(AnyMouseButton, HoldKeys,
                         ::testing::Values(Qt::LeftButton, Qt::RightButton, Qt::MiddleButton));

TEST(KeysThroughWidgets, HoldKeyRepeatsWhileHeld) {
  WidgetRig rig;
  auto* plus = rig.widget<QPushButton>("Command15");  // Brightness "+"
  QTest::mousePress(plus, Qt::LeftButton);
  rig.clock.advance(200);
  QTest::mouseRelease(plus, Qt::LeftButton);
  EXPECT_EQ(rig.takeSent().size(), 5u);  // at 0, 50, 100, 150, 200 ms
}

TEST(KeysThroughWidgets, KeyboardActivationOfAHoldKeySendsNothing) {
  WidgetRig rig;
  for (const panel::RepeatBinding& key : panel::RepeatBindings()) {
    auto* button = rig.widget<QPushButton>(key.control);
    button->setFocus();
    QTest::keyClick(button, Qt::Key_Space);
    QTest::keyClick(button, Qt::Key_Return);
    EXPECT_EQ(rig.takeSent(), Sent{}) << key.control;
    EXPECT_FALSE(rig.timer1.isEnabled());
  }
}

TEST(KeysThroughWidgets, LosingFocusDoesNotStopARepeat) {
  WidgetRig rig;
  auto* vol = rig.widget<QPushButton>("Command1");
  QTest::mousePress(vol, Qt::LeftButton);
  rig.window.control("Command17")->setFocus();
  rig.window.clearFocus();
  rig.clock.advance(500);
  EXPECT_EQ(rig.takeSent().size(), 3u);
  QTest::mouseRelease(vol, Qt::LeftButton);
}

TEST(CommandEntry, SendTakesTheBoxTextAndEnterSendsNothing) {
  WidgetRig rig;
  rig.openFully();
  auto* box = rig.widget<QLineEdit>("Text1");
  box->setFocus();
  QTest::keyClicks(box, "CR PRESSURE");
  QTest::keyClick(box, Qt::Key_Return);
  EXPECT_EQ(rig.takeSent(), Sent{});
  QTest::mouseClick(rig.widget<QPushButton>("Command95"), Qt::LeftButton);
  EXPECT_EQ(rig.takeSent(), Sent{"CR PRESSURE\r"});
  EXPECT_EQ(rig.timer2.interval(), 2000);
  EXPECT_EQ(rig.timer4.interval(), 2500);
  QTest::mouseClick(rig.widget<QPushButton>("Command96"), Qt::LeftButton);
  EXPECT_EQ(box->text(), QString());
  EXPECT_EQ(rig.takeSent(), Sent{});
}

TEST(CommandEntry, CharactersBeyondOneByteLeaveATrace) {
  WidgetRig rig;
  rig.openFully();
  auto* box = rig.widget<QLineEdit>("Text1");
  box->setText(QString::fromUtf8("CF é→X"));
  QTest::mouseClick(rig.widget<QPushButton>("Command95"), Qt::LeftButton);
  // é has a byte of its own; the arrow has none and goes out as "?".
  EXPECT_EQ(rig.takeSent(), Sent{"CF \xE9?X\r"});
  EXPECT_EQ(rig.widget<QLabel>("Label11")->text().toStdString(), " C F   ? ? X CR ");
}

TEST(ExtendedPanel, CtrlKActsOnceWhateverHasTheFocus) {
  for (const char* focus : {"Command17", "Text1", "Command1"}) {
    WidgetRig rig;
    QWidget* target = rig.window.control(focus);
    target->setFocus();
    QTest::keyClick(target, Qt::Key_K, Qt::ControlModifier);
    EXPECT_EQ(rig.kPresses, 1) << focus;
    EXPECT_EQ(rig.window.windowHeight(), panel::kExtendedHeight) << focus;
    EXPECT_FALSE(rig.window.control("Command34")->isHidden());
    EXPECT_EQ(rig.form.state.panelLevel, 1);
  }
}

TEST(ExtendedPanel, CtrlKIsNotConsumed) {
  // The focus control still gets the key after the window has seen it.
  struct KeyCounter : QObject {
    int presses = 0;
    bool eventFilter(QObject* /*watched*/, QEvent* event) override {
      if (event->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(event)->key() == Qt::Key_K) {
        ++presses;
      }
      return false;
    }
  } counter;
  WidgetRig rig;
  QWidget* box = rig.window.control("Text1");
  box->installEventFilter(&counter);
  box->setFocus();
  QTest::keyClick(box, Qt::Key_K, Qt::ControlModifier);
  EXPECT_EQ(counter.presses, 1);
  EXPECT_EQ(rig.form.state.panelLevel, 1);
}

TEST(ExtendedPanel, ShiftOrAltWithCtrlKAndAutoRepeatDoNothing) {
  WidgetRig rig;
  QWidget* target = rig.window.control("Command17");
  target->setFocus();
  QTest::keyClick(target, Qt::Key_K, Qt::ControlModifier | Qt::ShiftModifier);
  QTest::keyClick(target, Qt::Key_K, Qt::ControlModifier | Qt::AltModifier);
  QTest::keyClick(target, Qt::Key_K);
  EXPECT_EQ(rig.form.state.panelLevel, 0);
  EXPECT_TRUE(rig.window.control("Command34")->isHidden());
  QKeyEvent repeat(QEvent::KeyPress, Qt::Key_K, Qt::ControlModifier, QString(), true);
  QCoreApplication::sendEvent(target, &repeat);
  EXPECT_EQ(rig.form.state.panelLevel, 0);
}

TEST(ExtendedPanel, StatesThroughRealEvents) {
  WidgetRig rig;
  auto* logo = rig.window.control("Image1");
  auto* data = rig.widget<QPushButton>("Command34");
  QTest::mouseDClick(logo, Qt::LeftButton);
  EXPECT_EQ(rig.window.windowHeight(), panel::kStartHeight);  // before Ctrl+K: nothing

  QTest::keyClick(&rig.window, Qt::Key_K, Qt::ControlModifier);
  EXPECT_EQ(rig.window.windowHeight(), panel::kExtendedHeight);
  QTest::mouseDClick(logo, Qt::LeftButton);
  EXPECT_EQ(rig.window.windowHeight(), panel::kFullHeight);
  EXPECT_EQ(data->text().toStdString(), "CLOSE");
  QTest::keyClick(&rig.window, Qt::Key_K, Qt::ControlModifier);
  EXPECT_EQ(rig.window.windowHeight(), panel::kExtendedHeight);  // Full shrinks to Extended

  QTest::mouseClick(data, Qt::LeftButton);
  EXPECT_EQ(rig.window.windowHeight(), panel::kStartHeight);
  EXPECT_EQ(data->text().toStdString(), "データを表示する");
  QTest::mouseDClick(logo, Qt::LeftButton);
  EXPECT_EQ(rig.window.windowHeight(), panel::kStartHeight);

  // Below the window's edge now: reached through the keyboard.
  data->setFocus();
  QTest::keyClick(data, Qt::Key_Space);
  EXPECT_EQ(rig.window.windowHeight(), panel::kDataHeight);
  EXPECT_EQ(data->text().toStdString(), "データを表示しない");
  QTest::mouseClick(data, Qt::LeftButton);
  EXPECT_EQ(rig.window.windowHeight(), panel::kStartHeight);
}

// Resizes as the operator would, by dragging the border, to an outer height in twips.
void ResizeByHand(panel::QtWindow& window, int twips) {
  const int frame = window.frameGeometry().height() - window.height();
  const int allowance = frame > 0 ? frame : panel::kFrameAllowance / panel::kTwipsPerPixel;
  window.resize(window.width(), twips / panel::kTwipsPerPixel - allowance);
}

TEST(ExtendedPanel, HandResizedWindowDecidesTheToggle) {
  WidgetRig rig;
  QTest::keyClick(&rig.window, Qt::Key_K, Qt::ControlModifier);
  auto* data = rig.widget<QPushButton>("Command34");
  ResizeByHand(rig.window, 6090);
  data->click();
  EXPECT_EQ(rig.window.windowHeight(), panel::kStartHeight);
  ResizeByHand(rig.window, 5910);
  data->click();
  EXPECT_EQ(rig.window.windowHeight(), panel::kDataHeight);
}

TEST(PortChoice, SelectionFrameThroughWidgets) {
  WidgetRig rig;
  QTest::mouseClick(rig.widget<QPushButton>("Command33"), Qt::LeftButton);
  EXPECT_FALSE(rig.window.control("Frame8")->isHidden());
  rig.port.present = {1};
  QTest::mouseClick(rig.widget<QRadioButton>("Option2"), Qt::LeftButton);
  ASSERT_EQ(rig.boxes.size(), 1u);
  EXPECT_FALSE(rig.port.isOpen());
  EXPECT_FALSE(rig.window.control("Frame8")->isHidden());
  QTest::mouseClick(rig.widget<QRadioButton>("Option10"), Qt::LeftButton);
  EXPECT_EQ(rig.port.settings(), "9600,N,8,1");
  EXPECT_TRUE(rig.window.control("Frame8")->isHidden());
}

}  // namespace
}  // namespace mero::test

namespace mero::test {
namespace {

enum class PanelState { Compact, Extended, Full, CompactWithButton, Data };
enum class PanelEvent { CtrlK, LogoDoubleClick, DataButton };

void Apply(WidgetRig& rig, PanelEvent event) {
  switch (event) {
    case PanelEvent::CtrlK:
      QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : &rig.window,
                      Qt::Key_K, Qt::ControlModifier);
      break;
    case PanelEvent::LogoDoubleClick:
      QTest::mouseDClick(rig.window.control("Image1"), Qt::LeftButton);
      break;
    case PanelEvent::DataButton: {
      // Below the window's lower edge in the compact states: reached through the keyboard.
      QWidget* data = rig.window.control("Command34");
      data->setFocus();
      QTest::keyClick(data, Qt::Key_Space);
      break;
    }
  }
}

void Reach(WidgetRig& rig, PanelState state) {
  using enum PanelEvent;
  const std::map<PanelState, std::vector<PanelEvent>> paths = {
      {PanelState::Compact, {}},
      {PanelState::Extended, {CtrlK}},
      {PanelState::Full, {CtrlK, LogoDoubleClick}},
      {PanelState::CompactWithButton, {CtrlK, DataButton}},
      {PanelState::Data, {CtrlK, DataButton, DataButton}},
  };
  for (PanelEvent event : paths.at(state)) Apply(rig, event);
}

struct Look {
  int height;
  int panelLevel;
  bool buttonShown;
  const char* caption;
};

Look LookOf(PanelState state) {
  switch (state) {
    case PanelState::Compact:
      return {5350, 0, false, "データを表示する"};
    case PanelState::Extended:
      return {7200, 1, true, "CLOSE"};
    case PanelState::Full:
      return {9100, 1, true, "CLOSE"};
    case PanelState::CompactWithButton:
      return {5350, 0, true, "データを表示する"};
    case PanelState::Data:
      return {6645, 0, true, "データを表示しない"};
  }
  return {};
}

struct Transition {
  PanelState from;
  PanelEvent event;
  PanelState to;
};

TEST(ExtendedPanel, EveryTransitionThroughRealEvents) {
  using enum PanelState;
  using enum PanelEvent;
  const Transition transitions[] = {
      {Compact, CtrlK, Extended},
      {Extended, CtrlK, Extended},
      {Full, CtrlK, Extended},
      {CompactWithButton, CtrlK, Extended},
      {Data, CtrlK, Extended},
      {Extended, LogoDoubleClick, Full},
      {Full, LogoDoubleClick, Full},
      {Compact, LogoDoubleClick, Compact},
      {CompactWithButton, LogoDoubleClick, CompactWithButton},
      {Data, LogoDoubleClick, Data},
      {Extended, DataButton, CompactWithButton},
      {Full, DataButton, CompactWithButton},
      {CompactWithButton, DataButton, Data},
      {Data, DataButton, CompactWithButton},
  };
  for (const Transition& t : transitions) {
    SCOPED_TRACE(::testing::Message() << "from " << int(t.from) << " event " << int(t.event));
    WidgetRig rig;
    Reach(rig, t.from);
    Apply(rig, t.event);
    const Look look = LookOf(t.to);
    EXPECT_EQ(rig.window.windowHeight(), look.height);
    EXPECT_EQ(rig.form.state.panelLevel, look.panelLevel);
    EXPECT_EQ(!rig.window.control("Command34")->isHidden(), look.buttonShown);
    EXPECT_EQ(rig.window.caption("Command34"), look.caption);
  }
}

}  // namespace
}  // namespace mero::test
