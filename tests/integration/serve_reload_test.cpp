// A reload as a room controller meets it: its connection to a renamed projector stays, and
// the projector answers with its new name; the password comes from a file of its own.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <string>

#include "projector/pty_server.h"
#include "serve_process.h"

namespace mero::test {
namespace {

// The npm package `pjlink` holding one connection (tests/pjlink-client/hold.js).
class HeldClient {
 public:
  HeldClient(quint16 port, const QString& password) {
    node_.start(QStringLiteral("node"), {QStringLiteral(MERO_PJLINK_CLIENT_DIR "/hold.js"),
                                         QString::number(port), password});
  }
  ~HeldClient() {
    node_.closeWriteChannel();
    if (!node_.waitForFinished(5000)) node_.kill();
  }
  HeldClient(const HeldClient&) = delete;
  HeldClient& operator=(const HeldClient&) = delete;

  // Its next answer to NAME ?, asked again unless it is the first.
  QJsonObject next(bool ask) {
    if (ask) node_.write("again\n");
    if (!QTest::qWaitFor([&] { return node_.canReadLine(); }, 10000)) {
      ADD_FAILURE() << "the client did not answer: " << node_.readAllStandardError().toStdString();
      return {};
    }
    return QJsonDocument::fromJson(node_.readLine()).object();
  }

 private:
  QProcess node_;
};

int Count(const std::string& text, const std::string& part) {
  int count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

TEST(ServeReload, AControllersConnectionSurvivesARenameAndHearsTheNewName) {
  vp::PtyServer projector;
  const QTemporaryDir folder;
  const std::string secret = folder.filePath(QStringLiteral("hall.password")).toStdString();
  {
    QFile file(QString::fromStdString(secret));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("JBMIAProjectorLink\n");
  }
  ASSERT_EQ(::chmod(secret.c_str(), 0600), 0);
  const quint16 port = FreePorts(1)[0];
  const auto config = [&](const std::string& name, int pollSeconds) {
    return "[service]\nmetrics = off\npoll-interval = " + std::to_string(pollSeconds) +
           "\n[hall]\naddress = " + projector.DevicePath() +
           "\npjlink = 127.0.0.1:" + std::to_string(port) + "\npassword-file = " + secret +
           "\nname = " + name + "\n";
  };
  ServeProcess serve(QStringLiteral(MERO_CONTROL_BINARY), config("Hall-A", 30));
  ASSERT_TRUE(serve.started()) << serve.log();
  HeldClient client(port, QStringLiteral("JBMIAProjectorLink"));
  const QJsonObject before = client.next(false);
  EXPECT_EQ(before[QStringLiteral("name")].toString().toStdString(), "Hall-A") << serve.log();

  serve.write(config("Hall-B", 10));
  serve.signal(SIGHUP);
  ASSERT_TRUE(QTest::qWaitFor([&] { return Count(serve.log(), "serve: reloaded ") == 1; }, 5000))
      << serve.log();
  const QJsonObject after = client.next(true);
  EXPECT_EQ(after[QStringLiteral("name")].toString().toStdString(), "Hall-B") << serve.log();
  EXPECT_TRUE(after[QStringLiteral("sameConnection")].toBool())
      << "a new name and poll interval keep the controller's connection";

  // A new password is what the controller's connection holds on to: it goes.
  {
    QFile file(QString::fromStdString(secret));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("another\n");
  }
  serve.signal(SIGHUP);
  ASSERT_TRUE(QTest::qWaitFor([&] { return Count(serve.log(), "serve: reloaded ") == 2; }, 5000))
      << serve.log();
  const QJsonObject refused = client.next(true);
  EXPECT_FALSE(refused[QStringLiteral("sameConnection")].toBool());
  EXPECT_EQ(refused[QStringLiteral("error")].toString().toStdString(), "Authorization failed");
  EXPECT_EQ(serve.stop(), 0) << serve.log();
}

}  // namespace
}  // namespace mero::test
