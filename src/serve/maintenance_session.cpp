#include "serve/maintenance_session.h"

#include <utility>

namespace mero::serve {

MaintenanceSession::MaintenanceSession(ClientStream& stream, link::Timer& deadline,
                                       link::ExchangeEngine& engine,
                                       const MaintenanceLimits& limits)
    : stream_(stream), deadline_(deadline), engine_(engine), limits_(limits) {}

MaintenanceSession::~MaintenanceSession() {
  *alive_ = false;
  deadline_.setEnabled(false);
  deadline_.onTick = nullptr;
  stream_.onReadable = nullptr;
  stream_.onGone = nullptr;
}

void MaintenanceSession::start() {
  stream_.onReadable = [this] { pump(); };
  stream_.onGone = [this] { gone(); };
  deadline_.onTick = [this] {
    close("no CR within " + std::to_string(limits_.unfinishedMs / 1000) + " s of a command's start",
          true);
  };
  deadline_.setInterval(limits_.unfinishedMs);
  pump();
}

// Every step is taken here, in a loop, so that exchanges that end at once (a line that is
// down) do not nest one call in the next for each command of a flood.
void MaintenanceSession::pump() {
  if (pumping_) {
    again_ = true;
    return;
  }
  pumping_ = true;
  do {
    again_ = false;
    readAndCut();
    send();
  } while (again_ && !closing_);
  pumping_ = false;
  if (!closing_ && inputEnded_ && waiting_.empty()) close({}, false);
}

void MaintenanceSession::readAndCut() {
  while (!closing_ && waiting_.size() < limits_.mostWaiting) {
    if (in_.empty()) {
      in_ = stream_.read(limits_.readAtOnce);
      if (in_.empty()) {
        inputEnded_ = stream_.ended();
        break;
      }
    }
    std::size_t used = 0;
    while (used < in_.size() && waiting_.size() < limits_.mostWaiting) {
      if (!cut(in_[used++])) return;
    }
    in_.erase(0, used);
  }
  if (closing_) return;
  stream_.setReading(waiting_.size() < limits_.mostWaiting);
  if (!partial_.empty() && !deadline_.isEnabled()) deadline_.setEnabled(true);
}

bool MaintenanceSession::cut(char byte) {
  const bool afterCr = std::exchange(afterCr_, byte == '\r');
  if (byte == '\r') {
    deadline_.setEnabled(false);
    if (!partial_.empty()) waiting_.push_back(std::exchange(partial_, {}));
    return true;
  }
  if (byte == '\n' && afterCr) return true;
  partial_ += byte;
  if (partial_.size() <= limits_.longestCommand) return true;
  close("a command of over " + std::to_string(limits_.longestCommand) + " bytes without CR", true);
  return false;
}

void MaintenanceSession::send() {
  while (!closing_ && !inFlight_ && !waiting_.empty()) {
    inFlight_ = true;
    link::ExchangeRequest request = link::RequestForCode(waiting_.front());
    request.shared = false;  // the client asked the projector, not a recent answer
    engine_.exchange(std::move(request), [this, alive = std::weak_ptr<bool>(alive_)](
                                             const link::ExchangeResult& result) {
      if (alive.lock()) answered(result);
    });
  }
}

void MaintenanceSession::answered(const link::ExchangeResult& result) {
  if (closing_) return;
  inFlight_ = false;
  waiting_.pop_front();
  if (onCommand) onCommand(result);
  if (result.kind == link::ExchangeResult::Kind::Reply) {
    stream_.write(result.reply);
    if (stream_.unsent() > limits_.mostUnsent) {
      close("over " + std::to_string(limits_.mostUnsent) + " bytes of replies not taken", false);
      stream_.abort();
      return;
    }
  }
  pump();
}

void MaintenanceSession::close(const std::string& why, bool tell) {
  if (closing_) return;
  closing_ = true;
  why_ = why;
  waiting_.clear();
  in_.clear();
  stream_.setReading(false);
  // A peer that never closes its side must not keep the port.
  deadline_.onTick = [this] { stream_.abort(); };
  deadline_.setInterval(limits_.closingMs);
  deadline_.setEnabled(true);
  if (tell) stream_.write("maintenance: " + why + "; closing\r\n");
  stream_.closeWhenSent();
}

void MaintenanceSession::gone() {
  if (closed_) return;
  closed_ = true;
  closing_ = true;
  waiting_.clear();
  deadline_.setEnabled(false);
  if (onClosed) onClosed(why_);
}

}  // namespace mero::serve
