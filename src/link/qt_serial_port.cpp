#include "link/qt_serial_port.h"

#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QFile>
#include <cerrno>
#include <charconv>
#include <memory>
#include <utility>
#include <vector>

#include "link/device_holder.h"
#include "link/network_address.h"
#include "link/port_discovery.h"
#include "link/qt_port_discovery.h"

namespace mero::link {
namespace {

constexpr char kFieldSeparator = ',';
constexpr std::size_t kSettingsFields = 4;
constexpr int kMinDataBits = 5;
constexpr int kMaxDataBits = 8;
// Before start-up chooses a speed the port has the settings of its original definition.
constexpr std::string_view kInitialSettings = "9600,N,8,1";
// A device that came back but refuses to open is often still being set up (permissions
// applied by udev, a modem manager probing it): it is tried again this often, this many times.
constexpr int kReopenRetryMs = 1000;
constexpr int kReopenRetries = 5;
// A port lost again this soon after coming back is not tried at once: only a change of its
// device opens it again, so a device that keeps failing costs no loop.
constexpr std::chrono::milliseconds kQuickLoss{2000};
constexpr std::string_view kDevFolder = "/dev/";
// An unreachable device server is tried again after this long, twice as long after each
// failure, up to the longest wait; so it costs nothing while it is away.
constexpr int kFirstNetworkRetryMs = 1000;
constexpr int kLongestNetworkRetryMs = 30000;
constexpr std::string_view kLockPrefix = "LCK..";
constexpr gid_t kSuperuserGroup = 0;
// Large enough for any group entry a system keeps.
constexpr std::size_t kGroupBufferSize = 16384;
// Arrivals smaller than this that follow the last one handed on within a display frame are
// held and handed on together when the frame is over.
constexpr int kArrivalFrameMs = 16;
constexpr qint64 kPacedArrivalBytes = 1024;

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

// The path the links of `path` lead to; empty when nothing is there.
QByteArray RealPath(const QByteArray& path) {
  if (path.isEmpty()) return {};
  char* real = realpath(path.constData(), nullptr);
  if (real == nullptr) return {};
  QByteArray resolved(real);
  free(real);
  return resolved;
}

std::string Shown(const QByteArray& path) { return ShowPath(path.toStdString()); }

TelnetComPort::Line ToTelnetLine(const LineSettings& line) {
  TelnetComPort::Line out;
  out.baud = static_cast<std::uint32_t>(line.baudRate);
  out.dataBits = static_cast<std::uint8_t>(line.dataBits);
  switch (line.parity) {
    case QSerialPort::OddParity:
      out.parity = 'O';
      break;
    case QSerialPort::EvenParity:
      out.parity = 'E';
      break;
    case QSerialPort::MarkParity:
      out.parity = 'M';
      break;
    case QSerialPort::SpaceParity:
      out.parity = 'S';
      break;
    default:
      out.parity = 'N';
      break;
  }
  out.stopBits = line.stopBits == QSerialPort::TwoStop          ? 2
                 : line.stopBits == QSerialPort::OneAndHalfStop ? 3
                                                                : 1;
  return out;
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
                                const std::string& group, const std::string& qtReason,
                                const std::string& holder) {
  const std::string label = PortLabel(portNumber, devicePath);
  switch (error) {
    case QSerialPort::DeviceNotFoundError:
      return label + " does not exist. Check that the cable or USB serial adapter is plugged " +
             "in, or name the device with --com" + std::to_string(portNumber) +
             " when starting the program.";
    case QSerialPort::PermissionError:
      if (accessible) {
        const std::string who =
            holder.empty() ? "another program" : "another program (" + holder + ")";
        return label + " is in use by " + who + ". Close that program, then choose " +
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

std::string DescribeNoPortFound(int portNumber, const std::string& devicePath) {
  const std::string com = "COM" + std::to_string(portNumber);
  return "No serial port was found on this machine, and " + devicePath + ", which " + com +
         " uses when there is none, does not exist. Plug in the USB serial " +
         "adapter: it is opened as soon as it appears. Or name the device when starting the " +
         "program: mero-control --com" + std::to_string(portNumber) +
         " DEVICE (for example /dev/ttyUSB0); mero-control --list-ports shows the ports found.";
}

std::string DescribeLostPort(int portNumber, const std::string& devicePath) {
  return PortLabel(portNumber, devicePath) +
         " was disconnected. It will be reopened when it comes back.";
}

std::string DescribeRestoredPort(int portNumber, const std::string& devicePath,
                                 const std::string& settings) {
  return PortLabel(portNumber, devicePath) + " is back and open again at " + settings + ".";
}

QByteArray LockFileName(const QByteArray& canonicalDevice) {
  QByteArray name = canonicalDevice;
  if (name.startsWith(QByteArray::fromStdString(std::string(kDevFolder)))) {
    name.remove(0, static_cast<qsizetype>(kDevFolder.size()));
  }
  name.replace('/', '_');
  return QByteArray::fromStdString(std::string(kLockPrefix)) + name;
}

QtSerialPort::QtSerialPort(const QString& com1Path, const QString& com2Path, QObject* parent)
    : QtSerialPort(ComDevice{QFile::encodeName(com1Path), {}, false},
                   ComDevice{QFile::encodeName(com2Path), {}, false}, parent) {}

QtSerialPort::QtSerialPort(ComDevice com1, ComDevice com2, QObject* parent)
    : QObject(parent), devices_{std::move(com1), std::move(com2)} {
  port_.setFlowControl(QSerialPort::NoFlowControl);
  setSettings(std::string(kInitialSettings));
  retry_.setSingleShot(true);
  retry_.setInterval(kReopenRetryMs);
  connect(&retry_, &QTimer::timeout, this, [this] { tryReopen(); });
  watch_.onChange = [this] { tryReopen(); };
  net_.onData = [this] {
    if (onEvent) onEvent(kEventReceive);
  };
  net_.onConnected = [this] { onNetworkConnected(); };
  net_.onFailed = [this](const std::string& reason, bool wasConnected) {
    onNetworkFailed(reason, wasConnected);
  };
  net_.onLineRefused = [this](const std::string& what) {
    if (onNotice) onNotice(portLabel() + ": " + what + ".");
  };
  pace_.setSingleShot(true);
  connect(&pace_, &QTimer::timeout, this, [this] { releaseArrivals(); });
  connect(&port_, &QSerialPort::readyRead, this, [this] { onArrival(); });
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
  stopWatch();
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
  settings_ = settings;
  if (netOpen_) {
    if (net_.setsLine()) {
      net_.setLine(ToTelnetLine(*line));
    } else if (onNotice) {
      onNotice(portLabel() + " is a raw TCP connection: the speed is set on the device " +
               "server, so " + settings + " applies to nothing there. Use an rfc2217:// " +
               "address to set it from here.");
    }
  }
  return true;
}

bool QtSerialPort::open() {
  stopWatch();
  return openDevice();
}

bool QtSerialPort::openDevice() {
  if (port_.isOpen()) return fail(kFailurePortAlreadyOpen, portLabel() + " is already open.");
  if (netOpen_) return fail(kFailurePortAlreadyOpen, portLabel() + " is already open.");
  adoptFoundPort(number_);
  const ComDevice& com = device(number_);
  const std::string shown = Shown(com.path);
  if (LooksLikeNetworkAddress(com.path.toStdString())) {
    const std::optional<NetworkAddress> address = ParseNetworkAddress(com.path.toStdString());
    if (!address) {
      return fail(kFailureInvalidAddress,
                  portLabel() + " is not a valid address: name a device server as " +
                      "tcp://HOST:PORT or rfc2217://HOST:PORT (an IPv6 HOST in brackets).");
    }
    ++session_;
    if (closingNet_ && netPath_ == com.path && net_.isOpen()) {
      // Closed and opened again in one go (as at start): the connection is kept, so that a
      // device server that takes one client at a time does not see two.
      closingNet_ = false;
      net_.takeAll();
      net_.setLine(ToTelnetLine(*ParseSettings(settings_)));
      netOpen_ = true;
      return true;
    }
    closingNet_ = false;
    netPath_ = com.path;
    net_.open(*address, ToTelnetLine(*ParseSettings(settings_)));
    netOpen_ = watchedNumber_ == 0;  // the watch's attempts are not open until connected
    return true;
  }
  if (com.fallback) {
    return fail(QSerialPort::DeviceNotFoundError, DescribeNoPortFound(number_, shown), true);
  }
  // The stable name finds an adapter that came back under another number.
  const QByteArray real = RealPath(PathExists(com.stableName) ? com.stableName : com.path);
  if (real.isEmpty()) {
    return fail(QSerialPort::DeviceNotFoundError,
                DescribeOpenFailure(QSerialPort::DeviceNotFoundError, number_, shown, true, {}, {}),
                true);
  }
  if (LockFileName(real).size() > NAME_MAX) {
    return fail(QSerialPort::OpenError,
                portLabel() + " cannot be used: the name of its device, " + Shown(real) +
                    ", is too long for the lock file that keeps other programs off the port. " +
                    "Name the device by a shorter path or link.");
  }
  const QString qtPath = QFile::decodeName(real);
  if (QFile::encodeName(qtPath) != real) {
    return fail(QSerialPort::OpenError, portLabel() + " cannot be used: its device, " +
                                            Shown(real) + ", has a name that is not UTF-8.");
  }
  port_.setPortName(qtPath);
  if (!port_.open(QIODevice::ReadWrite)) {
    const QSerialPort::SerialPortError error = port_.error();
    return fail(
        error,
        DescribeOpenFailure(error, number_, shown, MayReadWrite(real), OwningGroup(real),
                            port_.errorString().toStdString(),
                            error == QSerialPort::PermissionError ? DeviceHolder(real.toStdString())
                                                                  : std::string()),
        error == QSerialPort::DeviceNotFoundError);
  }
  ++session_;
  lossPending_ = false;
  stopPacing();
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
  stopWatch();
  ++session_;
  if (netOpen_) {
    netOpen_ = false;
    closingNet_ = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
          if (closingNet_) net_.close();
          closingNet_ = false;
        },
        Qt::QueuedConnection);
  }
  lossPending_ = false;
  stopPacing();
  if (port_.isOpen()) port_.close();
  port_.clearError();
  return true;
}

// A device that trickles bytes one by one would otherwise wake the panel, and have the monitor
// transcribed and repainted, for every byte. Small arrivals that come within a display frame of
// the last one handed on are therefore held, and handed on together once the frame is over;
// the first arrival after a quiet frame, and any large one, goes on at once. While held,
// QSerialPort's read buffer is limited to what it holds, so it stops reading the device
// (the driver keeps what comes) and nothing wakes the event loop until the frame is over.
void QtSerialPort::onArrival() {
  if (holding_) return;
  const qint64 buffered = port_.bytesAvailable();
  if (sinceArrival_.isValid() && buffered > 0 && buffered < kPacedArrivalBytes &&
      sinceArrival_.elapsed() < kArrivalFrameMs) {
    holding_ = true;
    port_.setReadBufferSize(buffered);
    pace_.start(static_cast<int>(kArrivalFrameMs - sinceArrival_.elapsed()));
    return;
  }
  handOnArrival();
}

void QtSerialPort::handOnArrival() {
  sinceArrival_.start();
  if (onEvent) onEvent(kEventReceive);
}

void QtSerialPort::releaseArrivals() {
  if (!holding_) return;
  holding_ = false;
  port_.setReadBufferSize(0);
  // What waited in the driver is read on the next turn of the event loop and goes on at once,
  // with what is held; otherwise what is held goes on now.
  int waiting = 0;
  if (::ioctl(port_.handle(), FIONREAD, &waiting) == 0 && waiting > 0) {
    sinceArrival_.invalidate();
    return;
  }
  if (port_.bytesAvailable() > 0) handOnArrival();
}

void QtSerialPort::stopPacing() {
  pace_.stop();
  holding_ = false;
  sinceArrival_.invalidate();
  port_.setReadBufferSize(0);
}

bool QtSerialPort::isOpen() const { return port_.isOpen() || netOpen_; }

bool QtSerialPort::write(const Bytes& text) {
  if (netOpen_) {
    if (net_.write(text)) return true;
    return fail(kFailurePortNotOpen, "Could not send to " + portLabel() + ".");
  }
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

Bytes QtSerialPort::takeAll() {
  if (netOpen_) return net_.takeAll();
  return port_.readAll().toStdString();
}

PortFailure QtSerialPort::lastFailure() const { return failure_; }

QString QtSerialPort::devicePath(int number) const {
  if (number < kFirstPortNumber || number > kLastPortNumber) return {};
  return QFile::decodeName(device(number).path);
}

const ComDevice& QtSerialPort::device(int number) const {
  static const ComDevice kNone;
  if (number < kFirstPortNumber || number > kLastPortNumber) return kNone;
  return devices_[static_cast<std::size_t>(number - kFirstPortNumber)];
}

void QtSerialPort::adoptFoundPort(int number) {
  if (!device(number).fallback) return;
  const ComDevice& other = device(number == kFirstPortNumber ? kLastPortNumber : kFirstPortNumber);
  const std::optional<std::string> otherPath =
      other.fallback ? std::nullopt : std::optional(other.path.toStdString());
  const ComDevices found = number == kFirstPortNumber
                               ? MapPorts(OrderPorts(ListSystemPorts()), std::nullopt, otherPath)
                               : MapPorts(OrderPorts(ListSystemPorts()), otherPath, std::nullopt);
  const ComDevices::Device& mine = number == kFirstPortNumber ? found.com1 : found.com2;
  if (mine.fallback) return;
  devices_[static_cast<std::size_t>(number - kFirstPortNumber)] = {
      QByteArray::fromStdString(mine.path), QByteArray::fromStdString(mine.stableName), false};
}

void QtSerialPort::reopenWhenBack(int number) {
  if (number < kFirstPortNumber || number > kLastPortNumber || isOpen()) return;
  stopWatch();
  watchedNumber_ = number;
  const ComDevice& com = device(number);
  if (LooksLikeNetworkAddress(com.path.toStdString())) {
    networkRetryMs_ = kFirstNetworkRetryMs;
    retry_.start(networkRetryMs_);
    return;
  }
  watch_.watch({com.path, com.stableName});
  const bool lostRightAfterReturn =
      restoredAt_ && std::chrono::steady_clock::now() - *restoredAt_ < kQuickLoss;
  // It may be back already: a quick re-plug, or a link that was made again meanwhile.
  if (!lostRightAfterReturn) {
    QMetaObject::invokeMethod(
        this,
        [this, number] {
          if (watchedNumber_ == number) tryReopen();
        },
        Qt::QueuedConnection);
  }
}

void QtSerialPort::stopWatch() {
  if (watchedNumber_ != 0 && !netOpen_) net_.close();  // a reconnection under way
  watchedNumber_ = 0;
  watchRetries_ = 0;
  watch_.stop();
  retry_.stop();
  retry_.setInterval(kReopenRetryMs);
}

void QtSerialPort::onNetworkConnected() {
  if (watchedNumber_ == 0) return;  // opened by the operator: already reported as open
  const int number = watchedNumber_;
  watchedNumber_ = 0;
  stopWatch();
  netOpen_ = true;
  restoredAt_ = std::chrono::steady_clock::now();
  if (onRestored) onRestored(DescribeRestoredPort(number, Shown(device(number).path), settings_));
}

void QtSerialPort::onNetworkFailed(const std::string& reason, bool wasConnected) {
  if (watchedNumber_ != 0 && !netOpen_) {
    networkRetryMs_ = std::min(networkRetryMs_ * 2, kLongestNetworkRetryMs);
    retry_.start(networkRetryMs_);
    return;
  }
  if (!netOpen_) return;
  netOpen_ = false;
  ++session_;
  const std::string shown = Shown(device(number_).path);
  failure_ = {kFailureUnreachable,
              wasConnected ? DescribeLostPort(number_, shown)
                           : PortLabel(number_, shown) + " could not be reached: " + reason +
                                 ". It will be tried again until it answers.",
              true};
  if (onLost) onLost(failure_);
}

void QtSerialPort::tryReopen() {
  const int number = watchedNumber_;
  if (number == 0 || port_.isOpen()) return;
  const ComDevice& com = device(number);
  if (LooksLikeNetworkAddress(com.path.toStdString())) {
    number_ = number;
    if (!openDevice()) stopWatch();  // not an address at all: nothing to wait for
    return;
  }
  if (!com.fallback && !PathExists(com.path) && !PathExists(com.stableName)) return;
  number_ = number;
  if (openDevice()) {
    stopWatch();
    restoredAt_ = std::chrono::steady_clock::now();
    if (onRestored) onRestored(DescribeRestoredPort(number, Shown(com.path), settings_));
    return;
  }
  if (failure_.absent) return;  // not there yet (or gone again): wait for the next change
  if (watchRetries_ < kReopenRetries) {
    ++watchRetries_;
    retry_.start();
    return;
  }
  stopWatch();
  if (onReopenFailed) onReopenFailed(failure_);
}

void QtSerialPort::onQtError(QSerialPort::SerialPortError error) {
  // A vanished device makes Qt repeat the error on every turn of the event loop; the first
  // one ends the session. Closing here would delete the notifier that is reporting it, so
  // the close comes from the event loop.
  if (!IsLoss(error) || !port_.isOpen() || lossPending_) return;
  lossPending_ = true;
  // Whichever call noticed it first, for the operator it is the same event.
  loss_ = {error, DescribeLostPort(number_, Shown(device(number_).path)), true};
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

bool QtSerialPort::fail(int number, std::string description, bool absent) {
  failure_ = {number, std::move(description), absent};
  return false;
}

std::string QtSerialPort::portLabel() const {
  return PortLabel(number_, Shown(device(number_).path));
}

}  // namespace mero::link
