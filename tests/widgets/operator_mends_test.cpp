// What an operator trips over first, each through the real widgets: Ctrl+K in
// the entry box, long entries, key captions, accessible names, box texts, window placement.

#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QFontInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QScreen>
#include <QStandardPaths>
#include <QStyleOptionButton>
#include <QTextLayout>
#include <iostream>

#include "panel/controls.h"
#include "panel/qt_widgets.h"
#include "widget_rig.h"

namespace mero::test {
namespace {

using Sent = std::vector<link::Bytes>;

// Runs the current test once more in a child on a virtual X server, where the platform's
// own key bindings are X11's. The test command installs xvfb, so its absence is a failure.
void RunAgainOnX11() {
  if (QGuiApplication::platformName() == u"xcb") return;  // this is that run
  const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("xvfb-run"));
  ASSERT_FALSE(xvfb.isEmpty()) << "xvfb-run not found: cannot run with X11's key bindings";
  const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
  QProcess child;
  child.setProcessEnvironment(environment);
  child.setProcessChannelMode(QProcess::MergedChannels);
  child.start(xvfb, {QStringLiteral("-a"), QCoreApplication::applicationFilePath(),
                     QStringLiteral("--gtest_filter=%1.%2")
                         .arg(QString::fromUtf8(test->test_suite_name()),
                              QString::fromUtf8(test->name()))});
  ASSERT_TRUE(child.waitForFinished(60000));
  const std::string output = child.readAll().toStdString();
  ASSERT_NE(output.find("[ RUN      ]"), std::string::npos)
      << "no virtual X server came up: not run with X11's key bindings\n"
      << output;
  EXPECT_EQ(child.exitCode(), 0) << output;
}

// On X11 a line edit binds Ctrl+K to "delete to the end of the line"; the offscreen
// platform binds nothing to it, so the case runs here and again on a virtual X server.
TEST(OperatorMends, CtrlKInTheEntryBoxGrowsTheWindowAndKeepsTheText) {
  if (QGuiApplication::platformName() == u"xcb") {
    ASSERT_TRUE(QKeySequence::keyBindings(QKeySequence::DeleteEndOfLine)
                    .contains(QKeySequence(Qt::CTRL | Qt::Key_K)));
  }
  WidgetRig rig;
  auto* box = rig.widget<QLineEdit>("Text1");
  box->setFocus();
  QTest::keyClicks(box, "CR0 ABC");
  for (int i = 0; i < 3; ++i) QTest::keyClick(box, Qt::Key_Left);
  QTest::keyClick(box, Qt::Key_K, Qt::ControlModifier);
  EXPECT_EQ(rig.window.windowHeight(), panel::kExtendedHeight);
  EXPECT_EQ(rig.kPresses, 1);
  EXPECT_EQ(box->text().toStdString(), "CR0 ABC");
  // Other keys are the box's as before: typing goes in where the cursor stayed.
  QTest::keyClicks(box, "X");
  EXPECT_EQ(box->text().toStdString(), "CR0 XABC");
  RunAgainOnX11();
}

TEST(OperatorMends, APastedTextOfAHundredThousandCharactersGoesOutWholeInOneSend) {
  WidgetRig rig;
  rig.openFully();
  std::string text;
  for (int i = 0; text.size() < 100000; ++i) text += "CF " + std::to_string(i) + " ";
  text.resize(100000);
  QApplication::clipboard()->setText(QString::fromStdString(text));
  auto* box = rig.widget<QLineEdit>("Text1");
  box->setFocus();
  QTest::keyClick(box, Qt::Key_V, Qt::ControlModifier);
  EXPECT_EQ(box->text().size(), 100000);
  QTest::mouseClick(rig.widget<QPushButton>("Command95"), Qt::LeftButton);
  const Sent sent = rig.takeSent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].size(), text.size() + 1);
  EXPECT_TRUE(sent[0] == text + "\r");
}

// Where the style draws a key's caption.
QRect CaptionArea(QPushButton& key) {
  QStyleOptionButton option;
  option.initFrom(&key);
  return key.style()->subElementRect(QStyle::SE_PushButtonContents, &option, &key);
}

::testing::AssertionResult CaptionFits(panel::KeyButton& key) {
  const QRect area = CaptionArea(key);
  const QSize size = QFontMetrics(key.captionFont()).size(Qt::TextShowMnemonic, key.text());
  if (size.width() <= area.width() && size.height() <= area.height()) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure()
         << key.text().toStdString() << " takes " << size.width() << "x" << size.height() << " in "
         << area.width() << "x" << area.height();
}

// The first and last columns of the caption area in which the key as drawn has dark (text)
// pixels.
std::pair<int, int> InkColumns(panel::KeyButton& key) {
  QImage image(key.size(), QImage::Format_RGB32);
  key.render(&image);
  const QRect area = CaptionArea(key);
  int first = area.right() + 1;
  int last = area.left() - 1;
  for (int y = area.top(); y <= area.bottom(); ++y) {
    for (int x = area.left(); x <= area.right(); ++x) {
      if (qGray(image.pixel(x, y)) < 64) {
        first = std::min(first, x);
        last = std::max(last, x);
      }
    }
  }
  return {first, last};
}

TEST(OperatorMends, KeyCaptionsAreWhollyReadableTheJapaneseOnesIncluded) {
  WidgetRig rig;
  for (const panel::ControlRow& row : panel::Controls()) {
    if (row.kind != panel::Kind::Button) continue;
    auto* key = rig.widget<panel::KeyButton>(row.name);
    ASSERT_NE(key, nullptr) << row.name;
    EXPECT_TRUE(CaptionFits(*key)) << row.name;
  }
  auto* data = rig.widget<panel::KeyButton>("Command34");
  data->show();
  for (const char* caption : {"データを表示する", "データを表示しない", "CLOSE"}) {
    SCOPED_TRACE(caption);
    rig.window.setCaption("Command34", caption);
    EXPECT_EQ(rig.window.caption("Command34"), caption);
    EXPECT_TRUE(CaptionFits(*data));
    // A smaller size of the same face, if any.
    EXPECT_EQ(QFontInfo(data->captionFont()).family(), QFontInfo(data->font()).family());
    EXPECT_LE(data->captionFont().pointSizeF(), data->font().pointSizeF());
    // As drawn: the text stands clear of both ends of the caption area.
    const QRect area = CaptionArea(*data);
    const auto [first, last] = InkColumns(*data);
    EXPECT_LE(first, last);
    EXPECT_GT(first, area.left());
    EXPECT_LT(last, area.right());
  }
  // A key tall enough for two lines breaks a caption without blanks between characters.
  panel::KeyButton tall(QStringLiteral("データを表示しない"));
  tall.setFont(data->font());
  tall.resize(80, 40);
  tall.setCaption(tall.caption());
  EXPECT_EQ(tall.text().count(u'\n'), 1);
  EXPECT_EQ(QString(tall.text()).remove(u'\n'), tall.caption());
  EXPECT_EQ(tall.captionFont(), tall.font());
  EXPECT_TRUE(CaptionFits(tall));
}

TEST(OperatorMends, AccessibleNamesAreTheCaptionsAsWritten) {
  WidgetRig rig;
  const auto nameOf = [&](std::string_view control) {
    QAccessibleInterface* face = QAccessible::queryAccessibleInterface(rig.window.control(control));
    return face == nullptr ? std::string("(none)") : face->text(QAccessible::Name).toStdString();
  };
  for (const panel::ControlRow& row : panel::Controls()) {
    EXPECT_EQ(nameOf(row.name), row.caption) << row.name;
  }
  QTest::keyClick(&rig.window, Qt::Key_K, Qt::ControlModifier);
  EXPECT_EQ(nameOf("Command34"), "CLOSE");
}

TEST(OperatorMends, WarningsWrapOnlyAtBlanks) {
  WidgetRig rig;
  const std::string message =
      "COM2 (/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0) does not "
      "exist. Check that the cable or USB serial adapter is plugged in, or name the device "
      "with --com2 when starting the program.";
  rig.window.warn(message);
  EXPECT_EQ(rig.boxes, std::vector<std::string>{message});  // recorded as given

  rig.window.recordBoxes(nullptr);
  rig.window.notify(message);
  auto* box = rig.window.findChild<QMessageBox*>();
  ASSERT_NE(box, nullptr);
  auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
  ASSERT_NE(label, nullptr);
  const QString shown = label->text();
  EXPECT_EQ(shown, panel::BoxText(message));
  EXPECT_EQ(QString(shown).remove(QChar(0x2060)).toStdString(), message);
  // Laid out as the label lays it out, at every width up to the box's: each line that is
  // not the last ends with a blank.
  std::vector<std::string> brokenInsideAWord;
  for (int width = 40; width <= std::max(label->width(), 600); width += 7) {
    QTextLayout layout(shown, label->font());
    QTextOption option;
    option.setWrapMode(QTextOption::WordWrap);
    layout.setTextOption(option);
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
      line.setLineWidth(width);
      const qsizetype end = line.textStart() + line.textLength();
      if (end < shown.size() && shown.at(end - 1) != u' ') {
        brokenInsideAWord.push_back(std::to_string(width) + ": " +
                                    QString(shown.mid(line.textStart(), line.textLength()))
                                        .remove(QChar(0x2060))
                                        .toStdString());
      }
    }
    layout.endLayout();
  }
  EXPECT_EQ(brokenInsideAWord, std::vector<std::string>{});
  box->close();
}

std::string Text(QPoint point) {
  return std::to_string(point.x()) + "," + std::to_string(point.y());
}

TEST(OperatorMends, WindowStaysWhereStartUpPutsItUnlessThatLeavesTheScreen) {
  // The window's outer size when Form_Load places it: 9495 x 8730 twips of client area,
  // with borders and title bar.
  const QSize outer(637, 607);
  const struct {
    const char* what;
    QRect available;
    QPoint requested;
    QPoint placed;
  } cases[] = {
      {"centred on a large screen", {0, 0, 1920, 1040}, {641, 236}, {641, 236}},
      {"on a second screen", {1920, 0, 1280, 1024}, {2241, 208}, {2241, 208}},
      {"shorter than the window (1366 x 768, 200 %)", {0, 0, 683, 360}, {23, -123}, {23, 0}},
      {"top under a panel", {0, 120, 1280, 680}, {321, 96}, {321, 120}},
      {"bottom under a panel", {0, 0, 1366, 720}, {364, 150}, {364, 113}},
      {"past the right edge", {0, 0, 1024, 768}, {900, 80}, {387, 80}},
      {"left of the screen", {0, 0, 1024, 768}, {-40, 80}, {0, 80}},
      {"larger than the screen both ways: top-left first", {0, 0, 600, 400}, {-18, -103}, {0, 0}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Text(panel::PlaceOnScreen(c.available, outer, c.requested)), Text(c.placed))
        << c.what;
  }

  WidgetRig rig;
  const QRect available = rig.window.screen()->availableGeometry();
  rig.window.setWindowPosition(100 * panel::kTwipsPerPixel, 40 * panel::kTwipsPerPixel);
  EXPECT_EQ(Text(rig.window.pos()), Text(available.topLeft() + QPoint(100, 40)));
  // The top that Form_Load gives on a screen 384 pixels high.
  rig.window.setWindowPosition(100 * panel::kTwipsPerPixel, -112 * panel::kTwipsPerPixel);
  EXPECT_EQ(Text(rig.window.pos()), Text(QPoint(available.left() + 100, available.top())));
}

}  // namespace
}  // namespace mero::test
