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
#include <string>
#include <thread>
#include <vector>

#include "projector/projector.h"

namespace mero::vp {

using Clock = std::chrono::steady_clock;

struct ServerOptions {
  ProjectorSettings projector;
  std::string linkPath;  // when set, a symbolic link to the device is kept there
  std::chrono::milliseconds replyDelay{0};
  int baud = 0;                   // > 0: replies leave at this line speed, 10 bits a byte
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

// A projector at the slave end of a pseudo-terminal, served by a background thread from the
// master end. The server keeps a slave descriptor of its own open, so that clients may open
// and close the device at will without the master seeing a hang-up; HangUp() is the only way
// the line goes dead. All public members are thread-safe.
class PtyServer {
 public:
  // Opens the pseudo-terminal and starts serving; throws std::system_error on failure.
  explicit PtyServer(ServerOptions options = {});
  ~PtyServer();  // stops the thread, closes the line and removes the link
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
  // A new device after a hang-up (its path may differ); the link, if any, is moved to it.
  // True when the line is open afterwards.
  bool ComeBack();

 private:
  void Run();
  void RunInLoop(std::function<void()> task);
  void Wake() const;
  Ms NowMs() const;
  void OpenLine();
  void CloseLine();
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
  int master_ = -1;
  int slave_ = -1;  // held open so that the master never sees a hang-up from the clients
  std::string devicePath_;
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
