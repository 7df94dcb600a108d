// The one non-modal notice box: how notices arriving one after another show in it.

#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <string>

#include "widget_rig.h"

namespace mero::test {
namespace {

using panel::Notice;

// Counts what would bring a box back to the operator's eye: showing, raising, activating.
struct Stirs : QObject {
  int count = 0;
  bool eventFilter(QObject* /*watched*/, QEvent* event) override {
    const QEvent::Type type = event->type();
    count += type == QEvent::Show || type == QEvent::ZOrderChange || type == QEvent::WindowActivate;
    return false;
  }
};

struct NoticeRig : WidgetRig {
  NoticeRig() { window.recordBoxes(nullptr); }
  // The offscreen platform activates every window it shows, a notice box too: that is let
  // happen first, then the panel is made the active window again.
  bool activatePanel() {
    QCoreApplication::processEvents();
    window.activateWindow();
    return QTest::qWaitForWindowActive(&window);
  }
  // The one notice box shown anywhere in the application, or none if there are none or more.
  static QMessageBox* box() {
    QMessageBox* found = nullptr;
    for (QWidget* top : QApplication::topLevelWidgets()) {
      auto* box = qobject_cast<QMessageBox*>(top);
      if (box == nullptr || !box->isVisible()) continue;
      if (found != nullptr) return nullptr;
      found = box;
    }
    return found;
  }
};

TEST(Notices, ManyLeaveOneBoxShowingTheLast) {
  NoticeRig rig;
  std::string last;
  for (int i = 0; i < 50; ++i) {
    last = "COM" + std::to_string(1 + i % 2) + " refused (" + std::to_string(i) + ")";
    rig.window.notify(last);
  }
  QMessageBox* box = rig.box();
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(rig.window.findChildren<QMessageBox*>().size(), 1);
  EXPECT_EQ(box->text(), panel::BoxText(last));
  EXPECT_EQ(box->windowModality(), Qt::NonModal);
  EXPECT_TRUE(box->testAttribute(Qt::WA_ShowWithoutActivating));
  EXPECT_EQ(box->windowTitle(), QApplication::applicationName());
  EXPECT_EQ(box->standardButtons(), QMessageBox::Ok);
}

TEST(Notices, AShownBoxIsUpdatedWhereItStandsAndTheKindSetsTheIcon) {
  NoticeRig rig;
  rig.window.notify("server refused");
  QMessageBox* box = rig.box();
  ASSERT_NE(box, nullptr);
  ASSERT_TRUE(rig.activatePanel());
  Stirs stirs;
  box->installEventFilter(&stirs);
  const struct {
    const char* text;
    Notice kind;
    QMessageBox::Icon icon;
  } steps[] = {
      {"server refused", Notice::Warning, QMessageBox::Warning},  // a repeat
      {"server refused", Notice::Information, QMessageBox::Information},
      {"COM1 is back", Notice::Information, QMessageBox::Information},
      {"COM1 was disconnected", Notice::Warning, QMessageBox::Warning},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.text);
    rig.window.notify(step.text, step.kind);
    QCoreApplication::processEvents();
    EXPECT_EQ(rig.box(), box);
    EXPECT_EQ(box->text(), panel::BoxText(step.text));
    EXPECT_EQ(box->icon(), step.icon);
    EXPECT_EQ(stirs.count, 0);
    EXPECT_EQ(QApplication::activeWindow(), &rig.window);
  }
}

TEST(Notices, AClosedBoxOpensAgainWithTheNextNotice) {
  const struct {
    const char* how;
    void (*close)(QMessageBox*);
  } closings[] = {
      {"OK", [](QMessageBox* b) { QTest::mouseClick(b->button(QMessageBox::Ok), Qt::LeftButton); }},
      {"window close", [](QMessageBox* b) { b->close(); }},
  };
  for (const auto& closing : closings) {
    SCOPED_TRACE(closing.how);
    NoticeRig rig;
    rig.window.notify("server refused");
    QMessageBox* box = rig.box();
    ASSERT_NE(box, nullptr);
    closing.close(box);
    EXPECT_EQ(rig.box(), nullptr);
    rig.window.notify("server refused");  // the same text: once closed, it is news again
    EXPECT_EQ(rig.box(), box);
  }
}

TEST(Notices, ANoticeLeavesAKeyHeldWithTheMouseDownAndTheFocusWhereItWas) {
  for (const bool openBefore : {false, true}) {
    SCOPED_TRACE(openBefore ? "box open before the press" : "box closed before the press");
    NoticeRig rig;
    if (openBefore) rig.window.notify("COM1 refused");
    ASSERT_TRUE(rig.activatePanel());
    auto* volume = rig.widget<QPushButton>("Command1");
    QTest::mousePress(volume, Qt::LeftButton);
    QCoreApplication::processEvents();
    QWidget* focus = QApplication::focusWidget();
    ASSERT_TRUE(focus != nullptr && focus->window() == &rig.window);

    for (const Notice kind : {Notice::Warning, Notice::Information}) {
      rig.window.notify(kind == Notice::Warning ? "COM2 refused" : "COM1 is back", kind);
      QCoreApplication::processEvents();
      EXPECT_EQ(QApplication::activeWindow(), &rig.window);
      EXPECT_EQ(QApplication::focusWidget(), focus);
      EXPECT_TRUE(volume->isDown());
    }
    rig.clock.advance(500);
    EXPECT_EQ(rig.takeSent().size(), 3u);  // the press and its repeats, not cut short
    // An open box showed each notice as it came; a closed one opens once the key is let go.
    EXPECT_EQ(rig.box() != nullptr, openBefore);
    QTest::mouseRelease(volume, Qt::LeftButton);
    QMessageBox* box = rig.box();
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->text(), panel::BoxText("COM1 is back"));
    EXPECT_EQ(box->icon(), QMessageBox::Information);
  }
}

}  // namespace
}  // namespace mero::test
