#pragma once

#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <string>
#include <utility>

namespace mero::test {

// Debian's ser2net in front of a device, on two free loopback ports: one that carries the
// bytes as they are and one with telnet and RFC 2217. Started by the constructor (check
// started()), stopped by the destructor.
class Ser2net {
 public:
  explicit Ser2net(std::string device) : device_(std::move(device)) {
    rawPort_ = FreePort();
    rfc2217Port_ = FreePort();
    start();
  }
  ~Ser2net() { stop(); }
  Ser2net(const Ser2net&) = delete;
  Ser2net& operator=(const Ser2net&) = delete;

  bool started() const { return started_; }
  QString rawAddress() const { return QStringLiteral("tcp://127.0.0.1:%1").arg(rawPort_); }
  QString rfc2217Address() const {
    return QStringLiteral("rfc2217://127.0.0.1:%1").arg(rfc2217Port_);
  }

  // Starts the server (again, on the same ports); started() tells whether it listens.
  void start() {
    const QString config = folder_.filePath(QStringLiteral("ser2net.yaml"));
    QFile file(config);
    if (!file.open(QIODevice::WriteOnly)) return;
    const QString device = QString::fromStdString(device_);
    file.write(QStringLiteral("connection: &raw\n"
                              "  accepter: tcp,127.0.0.1,%1\n"
                              "  connector: serialdev,%3,19200n81,local\n"
                              "connection: &rfc2217\n"
                              "  accepter: telnet(rfc2217),tcp,127.0.0.1,%2\n"
                              "  connector: serialdev,%3,19200n81,local\n")
                   .arg(rawPort_)
                   .arg(rfc2217Port_)
                   .arg(device)
                   .toUtf8());
    file.close();
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process_.start(QStringLiteral("ser2net"),
                   {QStringLiteral("-n"), QStringLiteral("-u"), QStringLiteral("-c"), config,
                    QStringLiteral("-P"), folder_.filePath(QStringLiteral("ser2net.pid"))});
    started_ = process_.waitForStarted() &&
               QTest::qWaitFor([&] { return Listens(rawPort_) && Listens(rfc2217Port_); }, 5000);
  }

  void stop() {
    if (process_.state() == QProcess::NotRunning) return;
    process_.terminate();
    if (!process_.waitForFinished(5000)) process_.kill();
    process_.waitForFinished(1000);
    started_ = false;
  }

  // A loopback port that nothing listens on now.
  static quint16 FreePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
  }

 private:
  // Whether something listens on the port, read from the kernel's socket table: connecting
  // would make the server open the device (and keep it from the panel for a while), and
  // binding the port to find out could take it from the server as it starts.
  static bool Listens(quint16 port) {
    constexpr const char* kListenState = "0A";
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
      QFile file(QString::fromLatin1(table));
      if (!file.open(QIODevice::ReadOnly)) continue;
      const QList<QByteArray> lines = file.readAll().split('\n');
      for (const QByteArray& line : lines) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        // "sl local_address rem_address st ...", the address as HEX:PORT.
        if (fields.size() < 4 || fields[3] != kListenState) continue;
        const qsizetype colon = fields[1].lastIndexOf(':');
        bool ok = false;
        if (colon > 0 && fields[1].mid(colon + 1).toUShort(&ok, 16) == port && ok) return true;
      }
    }
    return false;
  }

  std::string device_;
  QTemporaryDir folder_;
  quint16 rawPort_ = 0;
  quint16 rfc2217Port_ = 0;
  QProcess process_;
  bool started_ = false;
};

}  // namespace mero::test
