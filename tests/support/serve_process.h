#pragma once

#include <signal.h>

#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace mero::test {

// Distinct loopback ports that nothing listens on now: each is held until all are found, so
// that no two are the same.
inline std::vector<quint16> FreePorts(int count) {
  std::vector<std::unique_ptr<QTcpServer>> held;
  std::vector<quint16> ports;
  for (int i = 0; i < count; ++i) {
    held.push_back(std::make_unique<QTcpServer>());
    held.back()->listen(QHostAddress::LocalHost, 0);
    ports.push_back(held.back()->serverPort());
  }
  return ports;
}

// `mero-control serve` on a configuration file of the caller's, started by the constructor
// (check started()), sent SIGTERM by stop() or the destructor.
class ServeProcess {
 public:
  ServeProcess(QString program, const std::string& config) : program_(std::move(program)) {
    write(config);
    process_.start(program_, {QStringLiteral("serve"), QStringLiteral("--config"), path()});
    started_ = process_.waitForStarted() &&
               QTest::qWaitFor(
                   [&] {
                     return log().find("serving ") != std::string::npos ||
                            process_.state() == QProcess::NotRunning;
                   },
                   10000) &&
               process_.state() == QProcess::Running;
  }
  ~ServeProcess() { stop(); }
  ServeProcess(const ServeProcess&) = delete;
  ServeProcess& operator=(const ServeProcess&) = delete;

  bool started() const { return started_; }
  QString path() const { return folder_.filePath(QStringLiteral("serve.conf")); }
  void write(const std::string& config) {
    QFile file(path());
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) file.write(config.c_str());
  }
  void signal(int number) { ::kill(static_cast<pid_t>(process_.processId()), number); }
  // Everything logged so far.
  const std::string& log() {
    log_ += process_.readAllStandardError().toStdString();
    return log_;
  }
  bool logs(const std::string& text, int withinMs = 5000) {
    return QTest::qWaitFor([&] { return log().find(text) != std::string::npos; }, withinMs);
  }
  // Ends the service with SIGTERM; its exit code, or -1 when it had to be killed.
  int stop() {
    if (process_.state() == QProcess::NotRunning) return exitCode_;
    signal(SIGTERM);
    if (!process_.waitForFinished(10000)) {
      process_.kill();
      process_.waitForFinished(1000);
      return exitCode_ = -1;
    }
    (void)log();
    return exitCode_ = process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
  }
  qint64 pid() const { return process_.processId(); }

 private:
  QString program_;
  QTemporaryDir folder_;
  QProcess process_;
  std::string log_;
  bool started_ = false;
  int exitCode_ = -1;
};

// A line-at-a-time PJLink client on a blocking socket, for tests that play a client.
class PjlinkProbe {
 public:
  explicit PjlinkProbe(quint16 port) {
    socket_.connectToHost(QStringLiteral("127.0.0.1"), port);
    socket_.waitForConnected(5000);
  }
  // The next line up to its CR, or "" when none comes within the time (or the peer closed).
  std::string line(int withinMs = 5000) {
    (void)QTest::qWaitFor(
        [&] {
          return buffered().find('\r') != std::string::npos ||
                 socket_.state() != QAbstractSocket::ConnectedState;
        },
        withinMs);
    const auto end = pending_.find('\r');
    if (end == std::string::npos) return {};
    std::string text = pending_.substr(0, end + 1);
    pending_.erase(0, end + 1);
    return text;
  }
  std::string ask(const std::string& request) {
    send(request);
    return line();
  }
  void send(const std::string& bytes) {
    socket_.write(bytes.data(), static_cast<qint64>(bytes.size()));
    socket_.flush();
  }
  // Whether the service closed the connection within the time.
  bool closed(int withinMs = 5000) {
    return QTest::qWaitFor(
        [&] {
          buffered();
          return socket_.state() == QAbstractSocket::UnconnectedState;
        },
        withinMs);
  }

 private:
  const std::string& buffered() {
    pending_ += socket_.readAll().toStdString();
    return pending_;
  }
  QTcpSocket socket_;
  std::string pending_;
};

}  // namespace mero::test
