#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "projector/projector.h"

namespace mero::vp {

using Clock = std::chrono::steady_clock;

// The panel's own default, so that a device served without --baud answers it out of the box.
inline constexpr int kDefaultDeviceBaud = 19200;

// Whether a serial line can be set to `baud` (9600, 19200, ...).
bool IsLineSpeed(int baud);

// A device or link the server will not take, being someone else's or not a terminal or a link,
// in words for the user.
class Refused : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct ServerOptions {
  ProjectorSettings projector;
  // When set, this existing terminal device (a serial port, one end of a pseudo-terminal pair)
  // is served instead of a pseudo-terminal of the server's own.
  std::string devicePath;
  // When set, a symbolic link to the device is kept there, with a lock file beside it
  // (PATH.lock) that tells a link in use from one a killed server left behind.
  std::string linkPath;
  std::chrono::milliseconds replyDelay{0};
  // > 0: replies leave at this line speed, 10 bits a byte. A served device is set to it
  // (kDefaultDeviceBaud when 0) and must then be a speed IsLineSpeed() knows.
  int baud = 0;
  // When >= 0, each complete command is appended to this descriptor as one line (see
  // CommandLogLine), numbered `deviceIndex`. Several servers may share it: each line goes in
  // one write() on a descriptor opened O_APPEND, so their lines never mix.
  int commandLogFd = -1;
  int deviceIndex = 1;
  std::size_t maxRecords = 1000;  // chunks and commands kept, each, the oldest dropped first
  std::uint32_t noiseSeed = 1;
};

// Bytes as one read() on the line returned them.
struct ReceivedChunk {
  Clock::time_point at;
  std::string bytes;
};

// A complete command (without its CR), timed at the arrival of its CR, with the answer the
// projector gave; `replyDropped` when a fault kept that answer off the line.
struct ReceivedCommand {
  Clock::time_point at;
  std::string command;
  std::string reply;
  bool replyDropped = false;
};

// "<unix time in ms>\t<device>\t<command>\n", the command's control bytes and backslashes as
// \xHH so that a line stays one line whatever arrived.
std::string CommandLogLine(std::int64_t unixMs, int device, std::string_view command);

// A projector at the slave end of a pseudo-terminal, served by a background thread from the
// master end. The server keeps a slave descriptor of its own open, so that clients may open
// and close the device at will without the master seeing a hang-up; HangUp() is the only way
// the line goes dead. All public members are thread-safe.
//
// With a devicePath, the projector is at that device instead, which the server opens raw and
// holds under flock as serial programs do. A device that goes away (an adapter pulled out, the
// other end of a pair closed) is opened again once a second until it is back.
class PtyServer {
 public:
  // Opens the line and starts serving. Throws Refused when the device or the link is not the
  // server's to take, and std::system_error on other failures.
  explicit PtyServer(ServerOptions options = {});
  // Stops the thread and closes the line; removes the link if it still points where this
  // server pointed it.
  ~PtyServer();
  PtyServer(const PtyServer&) = delete;
  PtyServer& operator=(const PtyServer&) = delete;

  std::string DevicePath() const;  // empty while hung up
  const std::string& LinkPath() const { return options_.linkPath; }

  std::vector<ReceivedChunk> Chunks() const;
  std::vector<ReceivedCommand> Commands() const;
  std::uint64_t CommandCount() const;  // since start, not limited by maxRecords
  void ClearRecords();
  // Waits until CommandCount() reaches `count`; false on time-out.
  bool WaitForCommands(std::uint64_t count, std::chrono::milliseconds timeout) const;

  // The projector, at the server's time (ms since start), under the server's lock: the
  // action must not call back into the server.
  void WithProjector(const std::function<void(Projector&, Ms now)>& action);

  void SetReplyDelay(std::chrono::milliseconds delay);
  void SetBaud(int baud);  // 0: no line-speed emulation

  // Faults.
  void DropNextReply();
  void DropAllReplies(bool drop);
  // Replies go out in pieces of `pieceBytes` bytes, `gap` apart; 0 bytes sends them whole.
  void SplitReplies(std::size_t pieceBytes, std::chrono::milliseconds gap);
  // Random bytes on the line. Output waiting to leave is capped (64 KiB); beyond it, dropped.
  void SendNoise(std::size_t count);
  // `count` random bytes every `period` until StopNoise().
  void StartNoise(std::size_t count, std::chrono::milliseconds period);
  void StopNoise();
  // Arbitrary bytes on the line at once, queued and capped like noise.
  void SendRaw(std::string bytes);
  // Closes the line: clients see a hang-up, the device goes away, queued output is lost.
  void HangUp();
  // A new device after a hang-up (its path may differ); the link, if any, is moved to it. A
  // served device stays closed after HangUp() until this opens it again.
  // True when the line is open afterwards.
  bool ComeBack();

 private:
  void Run();
  void RunInLoop(std::function<void()> task);
  void Wake() const;
  Ms NowMs() const;
  void ClaimLink();
  void ReleaseLink();
  void OpenLine();
  void OpenPseudoTerminal();
  void OpenDevice();
  void CloseLine();
  void OnHangUp(Clock::time_point at);
  bool AwaitsDevice() const;
  void ReopenDeviceWhenDue(Clock::time_point now);
  void OnBytes(const char* data, std::size_t size, Clock::time_point at);
  void OnCommand(Clock::time_point at);
  void QueueOutput(Clock::time_point due, std::string bytes);
  void QueueNoise(std::size_t count, Clock::time_point due);
  void WriteDue(Clock::time_point now);
  Clock::time_point NextWake(Clock::time_point now) const;

  ServerOptions options_;
  const Clock::time_point start_ = Clock::now();
  Projector projector_;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  int line_ = -1;   // what the server reads and writes: the master, or the served device
  int slave_ = -1;  // held open so that the master never sees a hang-up from the clients
  std::string devicePath_;
  int linkLock_ = -1;
  std::string linkedTo_;   // where this server last pointed the link
  bool heldDown_ = false;  // a served device is not reopened after HangUp()
  Clock::time_point reopenAt_{};
  int wakeRead_ = -1;
  int wakeWrite_ = -1;
  bool stopping_ = false;
  std::vector<std::function<void()>> tasks_;
  std::uint64_t tasksPosted_ = 0;
  std::uint64_t tasksDone_ = 0;

  std::string partial_;
  std::deque<ReceivedChunk> chunks_;
  std::deque<ReceivedCommand> commands_;
  std::uint64_t commandCount_ = 0;

  std::multimap<Clock::time_point, std::string> output_;  // by due time, FIFO among equals
  std::size_t queuedBytes_ = 0;
  Clock::time_point lineFreeAt_{};
  Clock::time_point repliesFreeAt_{};  // replies never overlap, whatever their pieces
  int dropNext_ = 0;
  bool dropAll_ = false;
  std::size_t pieceBytes_ = 0;
  std::chrono::milliseconds pieceGap_{0};
  std::size_t noiseCount_ = 0;
  std::chrono::milliseconds noisePeriod_{0};
  Clock::time_point nextNoise_{};
  std::mt19937 random_;
  Clock::time_point hupUntil_{};

  std::thread thread_;
};

}  // namespace mero::vp
