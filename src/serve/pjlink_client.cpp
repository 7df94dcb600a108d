#include "serve/pjlink_client.h"

#include <utility>

namespace mero::serve {

PjlinkClient::PjlinkClient(std::uint64_t id, std::string address, ClientStream& stream,
                           link::Timer& deadline, PjlinkBridge& bridge, PjlinkSession session,
                           const PjlinkLimits& limits, PjlinkClientOwner& owner)
    : id_(id),
      address_(std::move(address)),
      stream_(stream),
      deadline_(deadline),
      bridge_(bridge),
      session_(std::move(session)),
      limits_(limits),
      owner_(owner) {}

PjlinkClient::~PjlinkClient() {
  *alive_ = false;
  deadline_.onTick = nullptr;
  stream_.onReadable = nullptr;
  stream_.onGone = nullptr;
}

void PjlinkClient::start() {
  stream_.onReadable = [this] { pump(); };
  stream_.onGone = [this] { gone(); };
  deadline_.onTick = [this] { expired(); };
  write(session_.greeting());
  wait(limits_.firstRequestMs);
  pump();
}

void PjlinkClient::evict() {
  if (state_ == State::Gone) return;
  owner_.refused(PjlinkRefusal::CrowdedOut);
  stream_.abort();
}

void PjlinkClient::wait(int ms) {
  deadline_.setInterval(ms);
  deadline_.setEnabled(true);
}

void PjlinkClient::pump() {
  if (pumping_) return;
  pumping_ = true;
  while ((state_ == State::Greeted || state_ == State::Serving) && !busy_) {
    if (std::optional<SessionStep> step = session_.next()) {
      take(*step);
      continue;
    }
    const std::string bytes = stream_.read(static_cast<std::size_t>(limits_.readChunk));
    if (bytes.empty()) {
      // Every complete request has been answered: what is left of a line never will be.
      if (stream_.ended()) close();
      break;
    }
    if (!session_.receive(bytes)) refuse(PjlinkRefusal::TooMuch, {});
  }
  if (state_ == State::Greeted || state_ == State::Serving) stream_.setReading(!busy_);
  pumping_ = false;
}

void PjlinkClient::take(const SessionStep& step) {
  switch (step.kind) {
    case SessionStep::Kind::Close:
      refuse(step.text.empty() ? PjlinkRefusal::NotPjlink : PjlinkRefusal::NoDigest, step.text);
      return;
    case SessionStep::Kind::Denied:
      // Guessing costs the guesser time, not the loop: a deadline, not a wait.
      state_ = State::Denying;
      stream_.setReading(false);
      owner_.refused(PjlinkRefusal::WrongDigest);
      wait(owner_.failed(address_));
      return;
    case SessionStep::Kind::Answer:
    case SessionStep::Kind::Request:
      break;
  }
  if (state_ == State::Greeted && session_.authenticated()) {
    state_ = State::Serving;
    owner_.authenticated(id_);
  }
  wait(limits_.idleMs);
  if (step.kind == SessionStep::Kind::Answer) {
    write(step.text);
    return;
  }
  busy_ = true;
  bridge_.answer(step.command, step.parameter,
                 [this, alive = alive_, command = step.command](const std::string& result) {
                   if (!*alive) return;
                   owner_.answered();
                   write(PjlinkSession::AnswerLine(command, result));
                   busy_ = false;
                   pump();
                 });
}

void PjlinkClient::write(std::string_view text) {
  if (state_ == State::Closing || state_ == State::Gone || text.empty()) return;
  stream_.write(text);
  if (stream_.unsent() > limits_.mostUnsentBytes) {
    owner_.refused(PjlinkRefusal::Unsent);
    stream_.abort();
  }
}

void PjlinkClient::refuse(PjlinkRefusal why, std::string_view text) {
  owner_.refused(why);
  write(text);
  close();
}

void PjlinkClient::close() {
  if (state_ == State::Closing || state_ == State::Gone) return;
  state_ = State::Closing;
  wait(limits_.closingMs);
  stream_.closeWhenSent();
}

void PjlinkClient::expired() {
  deadline_.setEnabled(false);
  switch (state_) {
    case State::Greeted:
      refuse(PjlinkRefusal::NoRequest, {});
      break;
    case State::Serving:
      close();
      break;
    case State::Denying:
      write("PJLINK ERRA\r");
      close();
      break;
    case State::Closing:
      stream_.abort();
      break;
    case State::Gone:
      break;
  }
}

void PjlinkClient::gone() {
  if (state_ == State::Gone) return;
  state_ = State::Gone;
  deadline_.setEnabled(false);
  owner_.finished(id_);
}

}  // namespace mero::serve
