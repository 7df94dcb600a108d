#pragma once

#include <QByteArray>
#include <QObject>
#include <QSerialPort>
#include <cstdint>
#include <string>
#include <vector>

#include "link/lines/qt_arrival_pacing.h"
#include "link/port/line.h"

namespace mero::link {

// The name of the lock file Qt takes for a device, without its folder: "LCK..ttyUSB0".
QByteArray LockFileName(const QByteArray& canonicalDevice);

// A local serial device over QSerialPort, for the Qt thread only. The device is opened through
// the path its links lead to (its stable name first, which finds an adapter that came back
// under another number), so that the lock file names the device itself; it is also locked with
// flock, as other serial programs lock it. No flow control; DTR and RTS raised.
class QtDeviceLine : public QObject, public Line {
  Q_OBJECT
 public:
  explicit QtDeviceLine(ComDevice device, QObject* parent = nullptr);
  ~QtDeviceLine() override;

  Opening open(const LineSettings& settings) override;
  LineFailure failure() const override { return failure_; }
  void close() override;
  bool isOpen() const override { return port_.isOpen(); }
  bool write(const Bytes& bytes) override;
  Bytes takeAll() override;
  bool apply(const LineSettings& settings) override;
  bool mayBePresent() const override;
  std::vector<std::string> presencePaths() const override;

 private:
  Opening refuse(LineFailure failure);
  bool set(const LineSettings& settings);
  void onQtError(QSerialPort::SerialPortError error);
  void noticeLoss();
  void finishLoss(std::uint64_t session);

  ComDevice device_;
  QSerialPort port_;
  ArrivalPacer pacer_;
  LineFailure failure_;
  // Counts opens and closes, so that a loss noticed in one session is never reported in a
  // later one.
  std::uint64_t session_ = 0;
  bool lossPending_ = false;
};

}  // namespace mero::link
