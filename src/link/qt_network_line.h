#pragma once

#include <QObject>
#include <QTcpSocket>
#include <QTimer>
#include <functional>
#include <optional>
#include <string>

#include "link/network_address.h"
#include "link/serial_port.h"
#include "link/telnet_com_port.h"

namespace mero::link {

// A serial line reached through a device server: raw TCP, or telnet with the COM-PORT option.
// Name lookup and connecting run on the event loop and never block it; a connection that
// is not made within the time limit fails like a refused one. For the Qt thread only.
class NetworkLine : public QObject {
  Q_OBJECT
 public:
  static constexpr int kConnectLimitMs = 5000;

  explicit NetworkLine(QObject* parent = nullptr);
  ~NetworkLine() override;

  // Starts connecting with the line set to `line`; the outcome comes through onConnected or
  // onFailed. Writes made meanwhile go out once connected.
  void open(const NetworkAddress& address, const TelnetComPort::Line& line);
  // Ends the connection (or the attempt) without a report.
  void close();
  bool isOpen() const { return socket_.state() != QAbstractSocket::UnconnectedState; }
  bool isConnected() const { return socket_.state() == QAbstractSocket::ConnectedState; }
  bool write(const Bytes& text);
  Bytes takeAll();
  // Over RFC 2217, sets the server's line and checks its answer; raw TCP has no way to.
  void setLine(const TelnetComPort::Line& line);
  bool setsLine() const { return address_ && address_->kind == NetworkAddress::Kind::Rfc2217; }

  std::function<void()> onConnected;
  std::function<void()> onData;
  // The attempt failed, or the connection dropped; `wasConnected` tells which.
  std::function<void(const std::string& reason, bool wasConnected)> onFailed;
  // The server set the line otherwise than asked, or does not take line settings.
  std::function<void(const std::string& what)> onLineRefused;

 private:
  void fail(const std::string& reason);
  void read();
  void checkLine();

  QTcpSocket socket_;
  QTimer deadline_;
  std::optional<NetworkAddress> address_;
  TelnetComPort telnet_;
  TelnetComPort::Line requested_;
  bool lineChecked_ = true;
  int requests_ = 0;
  bool refusalReported_ = false;
  bool wasConnected_ = false;
  Bytes received_;
  Bytes pending_;  // written before the connection was made
};

}  // namespace mero::link
