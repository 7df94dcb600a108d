#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "link/port/timer.h"
#include "serve/metrics.h"
#include "serve/pjlink_bridge.h"
#include "serve/pjlink_session.h"

namespace mero::serve {

// What a client connection needs of its socket. Nothing is written with a blocking call:
// what the client does not take at once waits in the stream.
class ClientStream {
 public:
  virtual ~ClientStream() = default;
  // Up to `most` bytes the client sent; empty when none are waiting or its input has ended.
  virtual std::string read(std::size_t most) = 0;
  // Whether the client has shut its sending side and everything before has been read.
  virtual bool ended() const = 0;
  // Whether bytes are wanted: those not wanted wait in the kernel, which slows the client down.
  virtual void setReading(bool reading) = 0;
  virtual void write(std::string_view bytes) = 0;
  virtual std::int64_t unsent() const = 0;
  // Closes once everything written has gone.
  virtual void closeWhenSent() = 0;
  // Closes now, dropping what was not sent.
  virtual void abort() = 0;

  std::function<void()> onReadable;  // bytes wait, or the input ended
  std::function<void()> onGone;      // the connection is closed, once, by either side
};

// What a client tells the server that holds it.
class PjlinkClientOwner {
 public:
  virtual void authenticated(std::uint64_t id) = 0;
  // A wrong digest from the client's address: the delay of its answer, in milliseconds.
  virtual int failed(const std::string& address) = 0;
  virtual void refused(PjlinkRefusal why) = 0;
  virtual void answered() = 0;
  // The client's connection is closed; it may be deleted once the caller has returned.
  virtual void finished(std::uint64_t id) = 0;

 protected:
  ~PjlinkClientOwner() = default;
};

// One PJLink client connection: the greeting, each complete request answered through the
// bridge in turn, and the deadlines: the first request, then idleness, the delay of a wrong
// digest's answer, and the last answers of a closing connection. A client that ends its input
// is closed once every complete request it sent has been answered.
class PjlinkClient {
 public:
  PjlinkClient(std::uint64_t id, std::string address, ClientStream& stream, link::Timer& deadline,
               PjlinkBridge& bridge, PjlinkSession session, const PjlinkLimits& limits,
               PjlinkClientOwner& owner);
  ~PjlinkClient();
  PjlinkClient(const PjlinkClient&) = delete;
  PjlinkClient& operator=(const PjlinkClient&) = delete;

  void start();
  // Closed to make room for a newcomer.
  void evict();

  std::uint64_t id() const { return id_; }
  const std::string& address() const { return address_; }

 private:
  enum class State { Greeted, Serving, Denying, Closing, Gone };

  void pump();
  void take(const SessionStep& step);
  void write(std::string_view text);
  void refuse(PjlinkRefusal why, std::string_view text);
  void close();
  void expired();
  void gone();
  void wait(int ms);

  std::uint64_t id_;
  std::string address_;
  ClientStream& stream_;
  link::Timer& deadline_;
  PjlinkBridge& bridge_;
  PjlinkSession session_;
  const PjlinkLimits& limits_;
  PjlinkClientOwner& owner_;
  State state_ = State::Greeted;
  bool busy_ = false;
  bool pumping_ = false;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace mero::serve
