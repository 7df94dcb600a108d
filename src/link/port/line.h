#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "link/port/line_settings.h"
#include "link/port/port_discovery.h"
#include "link/protocol/bytes.h"

namespace mero::link {

// Why a line could not be opened, or went away.
struct LineFailure {
  enum class Kind {
    Absent,        // the device is not there (yet)
    Busy,          // another program holds it
    NoPermission,  // this user may not use it
    Unreachable,   // a device server that could not be reached or did not answer in time
    Invalid,       // the name cannot be used at all; `detail` says why, after the port's name
    Other,         // the system's own reason, in `detail`
    Lost,          // the open line went away
  };
  LineFailure() = default;
  explicit(false) LineFailure(Kind kind, std::string detail = {}, std::string holder = {},
                              std::string group = {})
      : kind(kind), detail(std::move(detail)), holder(std::move(holder)), group(std::move(group)) {}

  Kind kind = Kind::Other;
  std::string detail;
  std::string holder;  // Busy: the program that has it ("picocom, process 12"); "" if unknown
  std::string group;   // NoPermission: the group whose members may use it; "" if unknown

  friend bool operator==(const LineFailure&, const LineFailure&) = default;
};

// Bytes a line keeps for a peer that does not take them. Commands are a few bytes and a held
// key sends one every 50 ms or more, so a line that falls this far behind has a peer that
// stopped reading: it counts as lost.
inline constexpr std::size_t kWriteBacklogLimit = std::size_t{64} * 1024;

// The most a line reads from the system in one go. A device server that floods would
// otherwise hand over whatever the kernel queued for it, megabytes at a time; the panel keeps
// only the newest 32767 bytes of what it receives anyway.
inline constexpr std::size_t kReadChunkLimit = std::size_t{64} * 1024;

// The narrowest thing that moves bytes to a projector: a local device, or a device server on
// the network. Every report comes from the event loop, never from inside a call of the line,
// and none comes after close().
class Line {
 public:
  enum class Opening { Open, Pending, Failed };

  virtual ~Line() = default;

  // Opens with `settings`. A line that needs time (a connection) says Pending and reports the
  // outcome through onOpened or onFailed; writes made meanwhile go out once it is open.
  virtual Opening open(const LineSettings& settings) = 0;
  // Why the last open failed.
  virtual LineFailure failure() const = 0;
  virtual void close() = 0;
  // Open, or being opened.
  virtual bool isOpen() const = 0;
  // Hands the bytes on without waiting; false when the line is not open or is lost.
  virtual bool write(const Bytes& bytes) = 0;
  virtual Bytes takeAll() = 0;
  // Takes effect at once on an open line, otherwise at the next open; false with failure()
  // when the device refuses them.
  virtual bool apply(const LineSettings& settings) = 0;
  // Whether the device may be there now; a device server always may.
  virtual bool mayBePresent() const = 0;
  // The paths whose appearance may mean the device is back; none for a device server.
  virtual std::vector<std::string> presencePaths() const = 0;

  std::function<void()> onOpened;
  std::function<void()> onArrival;
  // A pending open failed, or the open line went away; the line is closed by then.
  std::function<void(const LineFailure&)> onFailed;
  // Something the operator should know that changes nothing (a server that set the line
  // otherwise than asked); a phrase without the port's name.
  std::function<void(const std::string&)> onNotice;
};

// Where the port gets its lines, and news of devices, from.
class LineHost {
 public:
  virtual ~LineHost() = default;

  virtual std::unique_ptr<Line> makeLine(const ComDevice& device) = 0;
  // The machine's serial ports now, for a COM that had none.
  virtual std::vector<PortInfo> systemPorts() = 0;
  // Raises onDeviceAppeared when something may have appeared at one of the paths.
  virtual void watch(const std::vector<std::string>& paths) = 0;
  virtual void stopWatching() = 0;

  std::function<void()> onDeviceAppeared;
};

}  // namespace mero::link
