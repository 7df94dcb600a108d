// The service's log as journald receives it: the program run with its standard error on a
// file that $JOURNAL_STREAM names, over a virtual projector that freezes and thaws.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <string>

#include "projector/pty_server.h"
#include "serve_process.h"

namespace mero::test {
namespace {

std::string ReadAll(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string();
}

TEST(ServeJournal, AFrozenProjectorIsAWarningInTheJournalAndItsReturnANotice) {
  vp::PtyServer projector;
  QTemporaryDir folder;
  const QString config = folder.filePath(QStringLiteral("serve.conf"));
  const QString journal = folder.filePath(QStringLiteral("journal"));
  const auto pjlink = FreePorts(2);
  {
    QFile file(config);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(("[service]\nmetrics = 127.0.0.1:" + std::to_string(pjlink[1]) +
                "\n[hall]\naddress = " + projector.DevicePath() +
                "\npjlink = 127.0.0.1:" + std::to_string(pjlink[0]) + "\n")
                   .c_str());
    QFile stream(journal);
    ASSERT_TRUE(stream.open(QIODevice::WriteOnly));
  }
  struct stat info {};
  ASSERT_EQ(::stat(QFile::encodeName(journal).constData(), &info), 0);

  QProcess serve;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert(QStringLiteral("JOURNAL_STREAM"),
                     QStringLiteral("%1:%2").arg(info.st_dev).arg(info.st_ino));
  serve.setProcessEnvironment(environment);
  serve.setStandardErrorFile(journal, QIODevice::Append);
  serve.start(QStringLiteral(MERO_CONTROL_BINARY),
              {QStringLiteral("serve"), QStringLiteral("--config"), config});
  ASSERT_TRUE(serve.waitForStarted());
  const auto logs = [&](const std::string& text, int withinMs = 15000) {
    return QTest::qWaitFor([&] { return ReadAll(journal).find(text) != std::string::npos; },
                           withinMs);
  };
  const std::string line = "[hall] line " + projector.DevicePath();
  ASSERT_TRUE(logs("<6>serving 1 projectors")) << ReadAll(journal);
  ASSERT_TRUE(logs("<6>" + line + " is open")) << ReadAll(journal);

  projector.DropAllReplies(true);
  PjlinkProbe client(pjlink[0]);
  EXPECT_EQ(client.line(), "PJLINK 0\r");
  // A client's requests make the exchanges sooner than the poll would. The first may still be
  // answered by the poll's reply of a moment ago, which the engine shares for one window.
  int unanswered = 0;
  EXPECT_TRUE(QTest::qWaitFor(
      [&] {
        if (client.ask("%1POWR ?\r") == "%1POWR=ERR4\r") ++unanswered;
        return unanswered == 3;
      },
      20000));
  const std::string silent =
      "<4>[hall] the projector on " + projector.DevicePath() + " does not answer: no reply to ";
  EXPECT_TRUE(logs(silent)) << ReadAll(journal);

  projector.DropAllReplies(false);
  EXPECT_EQ(client.ask("%1POWR ?\r"), "%1POWR=0\r");
  const std::string again =
      "<5>[hall] the projector on " + projector.DevicePath() + " answers again, after ";
  EXPECT_TRUE(logs(again)) << ReadAll(journal);

  ::kill(static_cast<pid_t>(serve.processId()), SIGTERM);
  ASSERT_TRUE(serve.waitForFinished(10000));
  const std::string all = ReadAll(journal);
  EXPECT_TRUE(all.ends_with("<6>stopped\n")) << all;
  std::size_t told = 0;
  for (auto at = all.find(silent); at != std::string::npos; at = all.find(silent, at + 1)) ++told;
  EXPECT_EQ(told, 1U) << "once, however many exchanges had no reply:\n" << all;
  EXPECT_EQ(all.find("mero-control serve:"), std::string::npos) << all;
}

}  // namespace
}  // namespace mero::test
