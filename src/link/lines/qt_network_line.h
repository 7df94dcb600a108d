#pragma once

#include <QHostAddress>
#include <QObject>
#include <QTcpSocket>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "link/lines/qt_arrival_pacing.h"
#include "link/lines/telnet_com_port.h"
#include "link/port/line.h"
#include "link/port/network_address.h"

namespace mero::link {

class HostLookup;

// A serial line reached through a device server: raw TCP, or telnet with the COM-PORT option
// (RFC 2217), which also sets the server's line. The name is looked up on a thread of its own
// that nothing waits for, so neither the event loop nor the program's exit waits for a name
// server; connecting runs on the event loop, and an attempt that has not connected within the
// time limit fails as unreachable. Bytes kept for a server that does not read are bounded.
// For the Qt thread only.
class QtNetworkLine : public QObject, public Line {
  Q_OBJECT
 public:
  static constexpr int kConnectLimitMs = 5000;

  // `address` is the device's text; one that does not parse fails at open.
  explicit QtNetworkLine(const std::string& address, QObject* parent = nullptr);
  ~QtNetworkLine() override;

  Opening open(const LineSettings& settings) override;
  LineFailure failure() const override { return failure_; }
  void close() override;
  bool isOpen() const override { return live_; }
  bool write(const Bytes& bytes) override;
  Bytes takeAll() override;
  bool apply(const LineSettings& settings) override;
  bool mayBePresent() const override { return true; }
  std::vector<std::string> presencePaths() const override { return {}; }

 private:
  bool connected() const { return socket_.state() == QAbstractSocket::ConnectedState; }
  bool setsLine() const { return address_ && address_->kind == NetworkAddress::Kind::Rfc2217; }
  void looked(const std::vector<QHostAddress>& addresses, const std::string& error);
  void connectNext();
  void onConnected();
  void onSocketError();
  bool send(const std::string& wire);
  void read();
  void checkLine();
  void fail(LineFailure failure);
  // Runs `step` from the event loop unless the line has been closed or opened again by then.
  void later(std::function<void()> step);

  std::optional<NetworkAddress> address_;
  QTcpSocket socket_;
  ArrivalPacer pacer_;
  QTimer deadline_;
  std::shared_ptr<HostLookup> lookup_;
  std::vector<QHostAddress> addresses_;
  std::size_t nextAddress_ = 0;
  bool live_ = false;     // from open() until close() or a failure
  bool opening_ = false;  // not connected yet
  // Counts closes (every open starts with one), so that an answer, a connection's next step
  // or a report meant for an earlier attempt is dropped.
  std::uint64_t attempts_ = 0;
  TelnetComPort telnet_;
  LineSettings requested_;
  bool lineChecked_ = true;
  int requests_ = 0;
  bool refusalReported_ = false;
  LineFailure failure_;
  Bytes received_;
  Bytes pending_;  // written before the connection was made, as it goes on the wire
};

}  // namespace mero::link
