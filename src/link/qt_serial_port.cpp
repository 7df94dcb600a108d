#include "link/qt_serial_port.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <cerrno>
#include <charconv>
#include <utility>
#include <vector>

namespace mero::link {
namespace {

constexpr char kFieldSeparator = ',';
constexpr std::size_t kSettingsFields = 4;
constexpr int kMinDataBits = 5;
constexpr int kMaxDataBits = 8;
// Before start-up chooses a speed the port has the settings of its original definition.
constexpr std::string_view kInitialSettings = "9600,N,8,1";
constexpr std::string_view kReadFailedReason = "reading from it failed";
constexpr gid_t kSuperuserGroup = 0;
// Large enough for any group entry a system keeps.
constexpr std::size_t kGroupBufferSize = 16384;

std::vector<std::string_view> SplitFields(std::string_view text) {
  std::vector<std::string_view> fields;
  std::size_t start = 0;
  while (true) {
    const std::size_t comma = text.find(kFieldSeparator, start);
    if (comma == std::string_view::npos) {
      fields.push_back(text.substr(start));
      return fields;
    }
    fields.push_back(text.substr(start, comma - start));
    start = comma + 1;
  }
}

std::optional<int> ParseNumber(std::string_view field) {
  if (field.empty()) return std::nullopt;
  int value = 0;
  const char* end = field.data() + field.size();
  const auto [ptr, ec] = std::from_chars(field.data(), end, value);
  if (ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

std::optional<QSerialPort::Parity> ParseParity(std::string_view field) {
  if (field.size() != 1) return std::nullopt;
  switch (field.front()) {
    case 'N':
    case 'n':
      return QSerialPort::NoParity;
    case 'E':
    case 'e':
      return QSerialPort::EvenParity;
    case 'O':
    case 'o':
      return QSerialPort::OddParity;
    case 'M':
    case 'm':
      return QSerialPort::MarkParity;
    case 'S':
    case 's':
      return QSerialPort::SpaceParity;
    default:
      return std::nullopt;
  }
}

std::optional<QSerialPort::StopBits> ParseStopBits(std::string_view field) {
  if (field == "1") return QSerialPort::OneStop;
  if (field == "1.5") return QSerialPort::OneAndHalfStop;
  if (field == "2") return QSerialPort::TwoStop;
  return std::nullopt;
}

std::string PortLabel(int portNumber, const std::string& devicePath) {
  return "COM" + std::to_string(portNumber) + " (" + devicePath + ")";
}

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

bool IsLoss(QSerialPort::SerialPortError error) {
  return error == QSerialPort::ReadError || error == QSerialPort::WriteError ||
         error == QSerialPort::ResourceError;
}

}  // namespace

std::optional<LineSettings> ParseSettings(std::string_view text) {
  const std::vector<std::string_view> fields = SplitFields(text);
  if (fields.size() != kSettingsFields) return std::nullopt;
  const std::optional<int> baud = ParseNumber(fields[0]);
  const std::optional<QSerialPort::Parity> parity = ParseParity(fields[1]);
  const std::optional<int> dataBits = ParseNumber(fields[2]);
  const std::optional<QSerialPort::StopBits> stopBits = ParseStopBits(fields[3]);
  if (!baud || *baud <= 0 || !parity || !dataBits || *dataBits < kMinDataBits ||
      *dataBits > kMaxDataBits || !stopBits) {
    return std::nullopt;
  }
  return LineSettings{*baud, *parity, static_cast<QSerialPort::DataBits>(*dataBits), *stopBits};
}

std::string DescribeOpenFailure(QSerialPort::SerialPortError error, int portNumber,
                                const std::string& devicePath, bool accessible,
                                const std::string& group, const std::string& qtReason) {
  const std::string label = PortLabel(portNumber, devicePath);
  switch (error) {
    case QSerialPort::DeviceNotFoundError:
      return label + " does not exist. Check that the cable or USB serial adapter is plugged " +
             "in, or name the device with --com" + std::to_string(portNumber) +
             " when starting the program.";
    case QSerialPort::PermissionError:
      if (accessible) {
        return label + " is in use by another program. Close that program, then choose " +
               "the port again.";
      }
      if (group.empty()) {
        return "No permission to use " + label +
               ". Ask the administrator for read and write access to the device.";
      }
      return "No permission to use " + label + ". The device belongs to the group \"" + group +
             "\": add your user to that group (then log in again) to get access.";
    default:
      return label + " could not be opened: " + (qtReason.empty() ? "unknown error" : qtReason) +
             ".";
  }
}

std::string DescribeLostPort(int portNumber, const std::string& devicePath,
                             const std::string& qtReason) {
  std::string text = PortLabel(portNumber, devicePath) + " was disconnected or stopped answering";
  if (!qtReason.empty()) text += " (" + qtReason + ")";
  return text + ". Choose the port again under COM once it is back.";
}

QtSerialPort::QtSerialPort(const QString& com1Path, const QString& com2Path, QObject* parent)
    : QObject(parent), paths_{com1Path, com2Path} {
  port_.setFlowControl(QSerialPort::NoFlowControl);
  setSettings(std::string(kInitialSettings));
  connect(&port_, &QSerialPort::readyRead, this, [this] {
    if (onEvent) onEvent(kEventReceive);
  });
  connect(&port_, &QSerialPort::errorOccurred, this, &QtSerialPort::onQtError);
}

QtSerialPort::~QtSerialPort() {
  // No callbacks while the owner is going away.
  onEvent = nullptr;
  onLost = nullptr;
  port_.disconnect(this);
  if (port_.isOpen()) port_.close();
}

bool QtSerialPort::setPortNumber(int number) {
  if (port_.isOpen()) {
    return fail(kFailurePortAlreadyOpen,
                portLabel() + " is open; close it before choosing another port.");
  }
  if (number < kFirstPortNumber || number > kLastPortNumber) {
    return fail(kFailureInvalidPortNumber, "There is no port COM" + std::to_string(number) +
                                               "; only COM1 and COM2 can be chosen.");
  }
  number_ = number;
  return true;
}

int QtSerialPort::portNumber() const { return number_; }

bool QtSerialPort::setSettings(const std::string& settings) {
  const std::optional<LineSettings> line = ParseSettings(settings);
  if (!line) {
    return fail(kFailureInvalidSettings,
                "\"" + settings +
                    "\" are not valid port settings; expected baud rate, parity, data bits "
                    "and stop bits such as \"19200,N,8,1\".");
  }
  // On an open port each setter changes the line at once; on a closed one it is kept for
  // the next open.
  const bool applied = port_.setBaudRate(line->baudRate) && port_.setParity(line->parity) &&
                       port_.setDataBits(line->dataBits) && port_.setStopBits(line->stopBits);
  if (!applied) {
    return fail(port_.error(), portLabel() + " refused the settings \"" + settings +
                                   "\": " + port_.errorString().toStdString() + ".");
  }
  return true;
}

bool QtSerialPort::open() {
  if (port_.isOpen()) return fail(kFailurePortAlreadyOpen, portLabel() + " is already open.");
  const QString path = devicePath(number_);
  port_.setPortName(path);
  if (!port_.open(QIODevice::ReadWrite)) {
    const QByteArray local = path.toLocal8Bit();
    const QSerialPort::SerialPortError error = port_.error();
    return fail(error, DescribeOpenFailure(error, number_, path.toStdString(), MayReadWrite(local),
                                           OwningGroup(local), port_.errorString().toStdString()));
  }
  ++session_;
  lossPending_ = false;
  // The line is driven as a terminal that is present. Pseudo-terminals and some adapters
  // have no modem lines; the port works without them, so a refusal is not a failure.
  port_.setDataTerminalReady(true);
  port_.setRequestToSend(true);
  // Qt keeps what waited in the driver before the open; it belongs to no command of ours.
  port_.clear(QSerialPort::Input);
  port_.clearError();
  return true;
}

bool QtSerialPort::close() {
  ++session_;
  lossPending_ = false;
  if (port_.isOpen()) port_.close();
  port_.clearError();
  return true;
}

bool QtSerialPort::isOpen() const { return port_.isOpen(); }

bool QtSerialPort::write(const Bytes& text) {
  if (!port_.isOpen()) {
    return fail(kFailurePortNotOpen, portLabel() + " is not open; choose the port under COM.");
  }
  const auto size = static_cast<qint64>(text.size());
  if (port_.write(text.data(), size) != size) {
    return fail(port_.error(), "Could not send to " + portLabel() + ": " +
                                   port_.errorString().toStdString() + ".");
  }
  // The descriptor is non-blocking, so this only hands the driver what it takes now.
  port_.flush();
  if (lossPending_) return fail(loss_.number, loss_.description);
  return true;
}

Bytes QtSerialPort::takeAll() { return port_.readAll().toStdString(); }

PortFailure QtSerialPort::lastFailure() const { return failure_; }

QString QtSerialPort::devicePath(int number) const {
  if (number < kFirstPortNumber || number > kLastPortNumber) return {};
  return paths_[static_cast<std::size_t>(number - kFirstPortNumber)];
}

void QtSerialPort::onQtError(QSerialPort::SerialPortError error) {
  // A vanished device makes Qt repeat the error on every turn of the event loop; the first
  // one ends the session. Closing here would delete the notifier that is reporting it, so
  // the close comes from the event loop.
  if (!IsLoss(error) || !port_.isOpen() || lossPending_) return;
  lossPending_ = true;
  // A hung-up line reads as end of file, which leaves Qt's error text with a stale errno.
  const std::string reason = error == QSerialPort::ReadError ? std::string(kReadFailedReason)
                                                             : port_.errorString().toStdString();
  loss_ = {error, DescribeLostPort(number_, devicePath(number_).toStdString(), reason)};
  QMetaObject::invokeMethod(
      this, [this, session = session_] { finishLoss(session); }, Qt::QueuedConnection);
}

void QtSerialPort::finishLoss(std::uint64_t session) {
  // Closed (and maybe reopened) by the panel meanwhile: that session's loss is moot.
  if (session != session_) return;
  ++session_;
  lossPending_ = false;
  port_.close();
  port_.clearError();
  failure_ = loss_;
  if (onLost) onLost(loss_);
}

bool QtSerialPort::fail(int number, std::string description) {
  failure_ = {number, std::move(description)};
  return false;
}

std::string QtSerialPort::portLabel() const {
  return PortLabel(number_, devicePath(number_).toStdString());
}

}  // namespace mero::link
