// The headless program mero-ctl, and the panel handing it query, send and serve.

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <string>
#include <vector>

#include "cli_support.h"
#include "version.h"

namespace mero::test {
namespace {

using Ended = ProgramRun;

Ended Start(const QString& program, const QStringList& args,
            const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment()) {
  return RunProgramAs(program, args, environment);
}

const QString kCtl = QStringLiteral(MERO_CTL_BINARY);
const QString kPanel = QStringLiteral(MERO_CONTROL_BINARY);

TEST(HeadlessProgram, LinksNoDisplayFontOrWidgetLibrary) {
  const std::string ctl = Start(QStringLiteral("ldd"), {kCtl}).out;
  for (const char* needed : {"libQt6Core", "libQt6SerialPort", "libmicrohttpd"}) {
    EXPECT_NE(ctl.find(needed), std::string::npos) << needed << " missing from:\n" << ctl;
  }
  for (const char* display :
       {"libQt6Gui", "libQt6Widgets", "libfontconfig", "libX11", "libxcb", "libwayland", "libGL"}) {
    EXPECT_EQ(ctl.find(display), std::string::npos) << display << " in:\n" << ctl;
  }
  // The panel carries neither the service nor its HTTP server.
  const std::string panel = Start(QStringLiteral("ldd"), {kPanel}).out;
  EXPECT_NE(panel.find("libQt6Widgets"), std::string::npos) << panel;
  EXPECT_EQ(panel.find("libmicrohttpd"), std::string::npos) << panel;
}

TEST(HeadlessProgram, ThePanelHandsOnItsHeadlessCommandsUnchanged) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString empty = dir.filePath(QStringLiteral("serve.conf"));
  QFile file(empty);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write("[service]\n") > 0);
  file.close();
  const std::vector<std::pair<QStringList, int>> cases = {
      {{"query", "--list"}, 0},
      {{"send", "--list", "--json"}, 0},
      {{"serve", "--check", "--config", empty}, 1},
      {{"serve", "--bogus"}, 2},
      {{"quer", "status"}, 2},
  };
  for (const auto& [args, code] : cases) {
    const Ended ctl = Start(kCtl, args);
    const Ended panel = Start(kPanel, args);
    const std::string shown = args.join(u' ').toStdString();
    EXPECT_EQ(ctl.exitCode, code) << shown << "\n" << ctl.err;
    EXPECT_EQ(panel.exitCode, ctl.exitCode) << shown;
    EXPECT_EQ(panel.out, ctl.out) << shown;
    EXPECT_EQ(panel.err, ctl.err) << shown;
    EXPECT_FALSE(ctl.out.empty() && ctl.err.empty()) << shown << " said nothing";
  }
}

TEST(HeadlessProgram, ThePanelWithoutItNamesThePackageToInstall) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString alone = dir.filePath(QStringLiteral("mero-control"));
  ASSERT_TRUE(QFile::copy(kPanel, alone));
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert(QStringLiteral("PATH"), dir.path());
  const Ended run = Start(alone, {"send", "on"}, environment);
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_EQ(run.err,
            "mero-control: query, send and serve are run by mero-ctl, which is not installed: "
            "install the package mero-ctl\n");
}

TEST(HeadlessProgram, ItsOwnOptionsAndMistakes) {
  struct Case {
    QStringList args;
    int code;
    std::string out;  // the start of standard output
    std::string err;  // the start of standard error
  };
  const std::vector<Case> cases = {
      {{"--version"}, 0, "mero-ctl " + std::string(kVersion) + "\n", ""},
      {{"-h"}, 0, "Usage: mero-ctl query", ""},
      {{}, 2, "", "Usage: mero-ctl query"},
      {{"serv"}, 2, "", "mero-ctl: unknown command \"serv\" (did you mean serve?); see"},
      {{"/dev/ttyS0"}, 2, "", "mero-ctl: unknown command \"/dev/ttyS0\"; see"},
  };
  for (const Case& c : cases) {
    const Ended run = Start(kCtl, c.args);
    const std::string shown = c.args.join(u' ').toStdString();
    EXPECT_EQ(run.exitCode, c.code) << shown;
    EXPECT_EQ(run.out.substr(0, c.out.size()), c.out) << shown;
    EXPECT_EQ(run.err.substr(0, c.err.size()), c.err) << shown;
    EXPECT_EQ(run.out.empty(), c.out.empty()) << shown;
    EXPECT_EQ(run.err.empty(), c.err.empty()) << shown;
  }
}

}  // namespace
}  // namespace mero::test
