#pragma once

#include <QByteArray>
#include <QObject>
#include <QSerialPort>
#include <QString>
#include <QElapsedTimer>
#include <QTimer>
#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "link/qt_device_watch.h"
#include "link/qt_network_line.h"
#include "link/serial_port.h"

namespace mero::link {

// Failure numbers. Failures that Qt reports carry their QSerialPort::SerialPortError value
// (0 to 13); the adapter's own checks use the numbers the original serial component used for
// the same situations, so the two ranges never meet.
inline constexpr int kFailureInvalidSettings = 380;
inline constexpr int kFailureInvalidPortNumber = 8002;
inline constexpr int kFailurePortAlreadyOpen = 8005;
inline constexpr int kFailurePortNotOpen = 8018;
inline constexpr int kFailureInvalidAddress = 8020;
inline constexpr int kFailureUnreachable = 8021;

inline constexpr int kFirstPortNumber = 1;
inline constexpr int kLastPortNumber = 2;

inline constexpr std::string_view kDefaultCom1 = "/dev/ttyS0";
inline constexpr std::string_view kDefaultCom2 = "/dev/ttyS1";

// The line as a settings text describes it, e.g. "19200,N,8,1".
struct LineSettings {
  std::int32_t baudRate = 0;
  QSerialPort::Parity parity = QSerialPort::NoParity;
  QSerialPort::DataBits dataBits = QSerialPort::Data8;
  QSerialPort::StopBits stopBits = QSerialPort::OneStop;

  friend bool operator==(const LineSettings&, const LineSettings&) = default;
};

// Reads "baud,parity,data bits,stop bits": a positive decimal baud rate, one parity letter
// (N, E, O, M or S, either case), 5 to 8 data bits and 1, 1.5 or 2 stop bits. Nothing else is
// allowed, not even blanks.
std::optional<LineSettings> ParseSettings(std::string_view text);

// What the operator is told when COM<portNumber>, the device at devicePath, cannot be opened.
// `accessible` says whether the current user may read and write the device; `group` is the
// name of the group that owns it ("" when unknown); `qtReason` is Qt's own error text.
// Qt reports both a device without permission and a device locked by another program as a
// PermissionError: `accessible` tells them apart. `holder` names the program that has the
// device ("picocom, process 1234"; "" when unknown).
std::string DescribeOpenFailure(QSerialPort::SerialPortError error, int portNumber,
                                const std::string& devicePath, bool accessible,
                                const std::string& group, const std::string& qtReason,
                                const std::string& holder = {});

// What the operator is told when no port was found for COM<portNumber>, so that it falls back
// to devicePath, and that device is not there either.
std::string DescribeNoPortFound(int portNumber, const std::string& devicePath);

// What the operator is told when the open COM<portNumber> vanishes under the program, however
// it was noticed (a hang-up, a failed read or write).
std::string DescribeLostPort(int portNumber, const std::string& devicePath);

// What the operator is told when a lost COM<portNumber> has been opened again.
std::string DescribeRestoredPort(int portNumber, const std::string& devicePath,
                                 const std::string& settings);

// The name of the lock file Qt takes for a device, without its folder: "LCK..ttyUSB0".
QByteArray LockFileName(const QByteArray& canonicalDevice);

// The device behind one COM: a path (the system's bytes), the stable name that leads to the
// same device where there is one, and whether the path is only the traditional default
// because no port was found.
struct ComDevice {
  QByteArray path;
  QByteArray stableName;
  bool fallback = false;
};

// The serial port over QSerialPort, for the Qt thread only; a COM whose device is a network
// address (tcp://, rfc2217://) is a NetworkLine instead, behind the same interface. COM1 and
// COM2 are devices given at construction; a device is opened through the path its links lead to, so
// that the lock file names the device itself. Settings are kept while the port is closed and
// applied on open; on an open port they are applied at once, without reopening. No flow control. A
// port that fails while open (device unplugged, line hung up) is closed and reported once through
// onLost. Nothing here throws.
class QtSerialPort : public QObject, public SerialPort {
  Q_OBJECT

 public:
  explicit QtSerialPort(const QString& com1Path = QString::fromUtf8(kDefaultCom1),
                        const QString& com2Path = QString::fromUtf8(kDefaultCom2),
                        QObject* parent = nullptr);
  QtSerialPort(ComDevice com1, ComDevice com2, QObject* parent = nullptr);
  ~QtSerialPort() override;

  // 1 or 2; fails while the port is open.
  bool setPortNumber(int number) override;
  int portNumber() const override;
  bool setSettings(const std::string& settings) override;
  bool open() override;
  // Closing a closed port succeeds and does nothing.
  bool close() override;
  bool isOpen() const override;
  // Queues the text and puts as much of it on the line as the driver takes now; the rest
  // goes out from the event loop.
  bool write(const Bytes& text) override;
  Bytes takeAll() override;
  PortFailure lastFailure() const override;
  void reopenWhenBack(int number) override;
  bool isWatching() const override { return watchedNumber_ != 0; }

  // The device path of COM<number>; empty for other numbers.
  QString devicePath(int number) const;
  const ComDevice& device(int number) const;

 private:
  void onQtError(QSerialPort::SerialPortError error);
  void finishLoss(std::uint64_t session);
  bool fail(int number, std::string description, bool absent = false);
  std::string portLabel() const;
  // A COM that only has the traditional default takes a port that has appeared since.
  void adoptFoundPort(int number);
  void stopWatch();
  void tryReopen();
  bool openDevice();
  void onArrival();
  void handOnArrival();
  void releaseArrivals();
  void stopPacing();
  void onNetworkConnected();
  void onNetworkFailed(const std::string& reason, bool wasConnected);

  QSerialPort port_;
  // The line when the device is a network address; open from the operator's open until it
  // fails, or from the watch's reconnection on.
  NetworkLine net_;
  bool netOpen_ = false;
  // Closed by the panel; the connection ends once the event loop turns, unless reopened.
  bool closingNet_ = false;
  QByteArray netPath_;
  int networkRetryMs_ = 0;
  std::array<ComDevice, kLastPortNumber> devices_;
  std::string settings_;
  DeviceWatch watch_;
  QTimer retry_;
  // Pacing of small arrivals (see onArrival).
  QTimer pace_;
  QElapsedTimer sinceArrival_;
  bool holding_ = false;
  int watchedNumber_ = 0;  // 0: no watch
  int watchRetries_ = 0;
  std::optional<std::chrono::steady_clock::time_point> restoredAt_;
  int number_ = kFirstPortNumber;
  PortFailure failure_;
  // Counts open and close calls, so a loss noticed in one open session is never reported
  // into a later one.
  std::uint64_t session_ = 0;
  bool lossPending_ = false;
  PortFailure loss_;
};

}  // namespace mero::link
