#include "link/lines/qt_device_line.h"

#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <QFile>
#include <array>
#include <cerrno>
#include <utility>

#include "link/lines/device_holder.h"
#include "link/lines/device_lock.h"
#include "link/lines/qt_device_watch.h"
#include "link/port/port_discovery.h"

namespace mero::link {
namespace {

constexpr std::string_view kDevFolder = "/dev/";
constexpr std::string_view kLockPrefix = "LCK..";
constexpr gid_t kSuperuserGroup = 0;
// Large enough for any group entry a system keeps.
constexpr std::size_t kGroupBufferSize = 16384;

// Whether the current user may read and write the device. Only a refusal counts as "no": a
// device that vanished in the meantime is not a permission problem.
bool MayReadWrite(const QByteArray& path) {
  if (faccessat(AT_FDCWD, path.constData(), R_OK | W_OK, AT_EACCESS) == 0) return true;
  return errno != EACCES && errno != EPERM;
}

// The group whose members may use the device; "" when unknown, and for the superuser's own
// group, which is no group to add an operator to.
std::string OwningGroup(const QByteArray& path) {
  struct stat info {};
  if (stat(path.constData(), &info) != 0 || info.st_gid == kSuperuserGroup) return {};
  struct group entry {};
  struct group* found = nullptr;
  std::vector<char> buffer(kGroupBufferSize);
  if (getgrgid_r(info.st_gid, &entry, buffer.data(), buffer.size(), &found) != 0 ||
      found == nullptr) {
    return {};
  }
  return found->gr_name;
}

// The path the links of `path` lead to; empty when nothing is there.
QByteArray RealPath(const std::string& path) {
  if (path.empty()) return {};
  char* real = realpath(path.c_str(), nullptr);
  if (real == nullptr) return {};
  QByteArray resolved(real);
  free(real);
  return resolved;
}

// Indexed by the settings' own enumerations, in their order.
constexpr std::array kQtParities = {QSerialPort::NoParity, QSerialPort::OddParity,
                                    QSerialPort::EvenParity, QSerialPort::MarkParity,
                                    QSerialPort::SpaceParity};
constexpr std::array kQtStopBits = {QSerialPort::OneStop, QSerialPort::OneAndHalfStop,
                                    QSerialPort::TwoStop};

QSerialPort::Parity ToQt(Parity parity) { return kQtParities.at(static_cast<std::size_t>(parity)); }

QSerialPort::StopBits ToQt(StopBits stopBits) {
  return kQtStopBits.at(static_cast<std::size_t>(stopBits));
}

bool IsLoss(QSerialPort::SerialPortError error) {
  return error == QSerialPort::ReadError || error == QSerialPort::WriteError ||
         error == QSerialPort::ResourceError;
}

}  // namespace

QByteArray LockFileName(const QByteArray& canonicalDevice) {
  QByteArray name = canonicalDevice;
  if (name.startsWith(QByteArray::fromStdString(std::string(kDevFolder)))) {
    name.remove(0, static_cast<qsizetype>(kDevFolder.size()));
  }
  name.replace('/', '_');
  return QByteArray::fromStdString(std::string(kLockPrefix)) + name;
}

QtDeviceLine::QtDeviceLine(ComDevice device, QObject* parent)
    : QObject(parent),
      device_(std::move(device)),
      pacer_({.buffered = [this] { return port_.bytesAvailable(); },
              .limitBuffer = [this](qint64 size) { port_.setReadBufferSize(size); },
              .descriptor = [this] { return static_cast<int>(port_.handle()); },
              .usualLimit = static_cast<qint64>(kReadChunkLimit)},
             [this] {
               if (onArrival) onArrival();
             }) {
  port_.setFlowControl(QSerialPort::NoFlowControl);
  port_.setReadBufferSize(static_cast<qint64>(kReadChunkLimit));
  connect(&port_, &QSerialPort::readyRead, &pacer_, &ArrivalPacer::arrived);
  connect(&port_, &QSerialPort::errorOccurred, this, &QtDeviceLine::onQtError);
}

QtDeviceLine::~QtDeviceLine() {
  port_.disconnect(this);
  port_.disconnect(&pacer_);
  if (port_.isOpen()) port_.close();
}

Line::Opening QtDeviceLine::refuse(LineFailure failure) {
  failure_ = std::move(failure);
  return Opening::Failed;
}

Line::Opening QtDeviceLine::open(const LineSettings& settings) {
  if (port_.isOpen()) return refuse({LineFailure::Kind::Other, "it is already open"});
  const QByteArray real =
      RealPath(PathExists(QByteArray::fromStdString(device_.stableName)) ? device_.stableName
                                                                         : device_.path);
  if (real.isEmpty()) return refuse({LineFailure::Kind::Absent});
  const std::string shownReal = ShowPath(real.toStdString());
  if (LockFileName(real).size() > NAME_MAX) {
    return refuse({LineFailure::Kind::Invalid,
                   "cannot be used: the name of its device, " + shownReal +
                       ", is too long for the lock file that keeps other programs off the "
                       "port. Name the device by a shorter path or link."});
  }
  const QString qtPath = QFile::decodeName(real);
  if (QFile::encodeName(qtPath) != real) {
    return refuse({LineFailure::Kind::Invalid,
                   "cannot be used: its device, " + shownReal + ", has a name that is not UTF-8."});
  }
  port_.setPortName(qtPath);
  set(settings);
  if (!port_.open(QIODevice::ReadWrite)) {
    const QSerialPort::SerialPortError error = port_.error();
    const std::string reason = port_.errorString().toStdString();
    port_.clearError();
    if (error == QSerialPort::DeviceNotFoundError) return refuse({LineFailure::Kind::Absent});
    if (error == QSerialPort::PermissionError) {
      // Qt says the same of a device without permission and of one locked by another program.
      if (MayReadWrite(real)) {
        return refuse({LineFailure::Kind::Busy, reason, DeviceHolder(real.toStdString())});
      }
      return refuse({LineFailure::Kind::NoPermission, reason, {}, OwningGroup(real)});
    }
    return refuse({LineFailure::Kind::Other, reason});
  }
  if (!LockExclusively(static_cast<int>(port_.handle()))) {
    port_.close();
    port_.clearError();
    return refuse({LineFailure::Kind::Busy, {}, DeviceHolder(real.toStdString())});
  }
  ++session_;
  lossPending_ = false;
  failure_ = {};
  pacer_.reset();
  // The line is driven as a terminal that is present. Pseudo-terminals and some adapters
  // have no modem lines; the port works without them, so a refusal is not a failure.
  port_.setDataTerminalReady(true);
  port_.setRequestToSend(true);
  // Qt keeps what waited in the driver before the open; it belongs to no command of ours.
  port_.clear(QSerialPort::Input);
  port_.clearError();
  return Opening::Open;
}

void QtDeviceLine::close() {
  ++session_;
  lossPending_ = false;
  pacer_.reset();
  if (port_.isOpen()) {
    // What a device that stopped reading never took is dropped rather than drained: the
    // kernel would otherwise hold the close of a real UART until it went out.
    ::tcflush(static_cast<int>(port_.handle()), TCOFLUSH);
    port_.close();
  }
  port_.clearError();
}

bool QtDeviceLine::set(const LineSettings& settings) {
  return port_.setBaudRate(settings.baudRate) && port_.setParity(ToQt(settings.parity)) &&
         port_.setDataBits(static_cast<QSerialPort::DataBits>(settings.dataBits)) &&
         port_.setStopBits(ToQt(settings.stopBits));
}

bool QtDeviceLine::apply(const LineSettings& settings) {
  if (set(settings)) return true;
  failure_ = {LineFailure::Kind::Other, port_.errorString().toStdString()};
  port_.clearError();
  return false;
}

bool QtDeviceLine::write(const Bytes& bytes) {
  if (!port_.isOpen() || lossPending_) return false;
  // A device that takes nothing (flow held off, a stuck driver) would have Qt keep all of it.
  if (static_cast<std::size_t>(port_.bytesToWrite()) + bytes.size() > kWriteBacklogLimit) {
    noticeLoss();
    return false;
  }
  const auto size = static_cast<qint64>(bytes.size());
  if (port_.write(bytes.data(), size) != size) return false;
  // The descriptor is non-blocking, so this only hands the driver what it takes now.
  port_.flush();
  return !lossPending_;
}

Bytes QtDeviceLine::takeAll() {
  if (!port_.isOpen()) return {};
  return port_.readAll().toStdString();
}

bool QtDeviceLine::mayBePresent() const {
  return PathExists(QByteArray::fromStdString(device_.path)) ||
         PathExists(QByteArray::fromStdString(device_.stableName));
}

std::vector<std::string> QtDeviceLine::presencePaths() const {
  std::vector<std::string> paths{device_.path};
  if (!device_.stableName.empty()) paths.push_back(device_.stableName);
  return paths;
}

void QtDeviceLine::onQtError(QSerialPort::SerialPortError error) {
  // A vanished device makes Qt repeat the error on every turn of the event loop; the first
  // one ends the session.
  if (IsLoss(error) && port_.isOpen()) noticeLoss();
}

void QtDeviceLine::noticeLoss() {
  if (lossPending_) return;
  lossPending_ = true;
  failure_ = {LineFailure::Kind::Lost};
  // Closing here would delete the notifier that may be reporting it: from the event loop.
  QMetaObject::invokeMethod(
      this, [this, session = session_] { finishLoss(session); }, Qt::QueuedConnection);
}

void QtDeviceLine::finishLoss(std::uint64_t session) {
  // Closed (and maybe reopened) meanwhile: that session's loss is moot.
  if (session != session_) return;
  close();
  if (onFailed) onFailed({LineFailure::Kind::Lost});
}

}  // namespace mero::link
