#include "link/port/reopening_line.h"

#include <algorithm>
#include <utility>

namespace mero::link {
namespace {

// The first attempt after a loss comes on the next turn of the event loop, not inside the
// report of the loss.
constexpr int kNextTurnMs = 0;

}  // namespace

ReopeningLine::ReopeningLine(ComDevice device, LineSettings settings, LineHost& host,
                             ReopeningTimers timers)
    : device_(std::move(device)),
      settings_(settings),
      host_(host),
      timers_(timers),
      line_(host_.makeLine(device_)) {
  line_->onOpened = [this] {
    if (attempting_) becameUp();
  };
  line_->onArrival = [this] {
    if (!up_) return;
    const Bytes bytes = line_->takeAll();
    if (!bytes.empty() && onReceived) onReceived(bytes);
  };
  line_->onFailed = [this](const LineFailure& failure) { lineFailed(failure); };
  line_->onNotice = [this](const std::string& what) {
    if (onNotice) onNotice(what);
  };
}

ReopeningLine::~ReopeningLine() {
  onReceived = nullptr;
  onUp = nullptr;
  onDown = nullptr;
  onNotice = nullptr;
  line_->close();
  release();
  line_->onOpened = nullptr;
  line_->onArrival = nullptr;
  line_->onFailed = nullptr;
  line_->onNotice = nullptr;
}

void ReopeningLine::claim() {
  if (claimed_) return;
  claimed_ = true;
  timers_.retry.onTick = [this] {
    timers_.retry.setEnabled(false);
    attempt();
  };
  timers_.settle.setInterval(kSettledMs);
  // Up this long, the line has settled: the next loss is tried at once.
  timers_.settle.onTick = [this] { timers_.settle.setEnabled(false); };
  // A device that appears while a pause runs is tried when the pause is over.
  host_.onDeviceAppeared = [this] {
    if (waiting_ && !timers_.retry.isEnabled()) attempt();
  };
}

void ReopeningLine::release() {
  if (!claimed_) return;
  claimed_ = false;
  host_.onDeviceAppeared = nullptr;
  host_.stopWatching();
  timers_.retry.onTick = nullptr;
  timers_.settle.onTick = nullptr;
  timers_.retry.setEnabled(false);
  timers_.settle.setEnabled(false);
}

void ReopeningLine::start() {
  claim();
  keep_ = true;
  if (up_ || attempting_ || waiting_) return;
  waiting_ = true;
  host_.watch(line_->presencePaths());
  timers_.settle.setEnabled(false);
  nextWaitMs_ = kFirstRetryMs;
  lastReason_.reset();
  attempt();
}

void ReopeningLine::stop() {
  keep_ = false;
  waiting_ = false;
  attempting_ = false;
  writesWait_ = false;
  up_ = false;
  lastReason_.reset();
  line_->close();
  release();
}

Line::Opening ReopeningLine::openOnce() {
  claim();
  keep_ = false;
  if (up_) return Line::Opening::Open;
  if (attempting_ && !waiting_) return Line::Opening::Pending;
  stopWaiting();
  lastReason_.reset();
  const Line::Opening opening = line_->open(settings_);
  if (opening == Line::Opening::Open) {
    attempting_ = true;
    becameUp();
  } else if (opening == Line::Opening::Pending) {
    attempting_ = true;
    writesWait_ = true;
  }
  return opening;
}

void ReopeningLine::reopenWhenBack() {
  claim();
  if (up_ || (attempting_ && !waiting_)) return;
  stopWaiting();
  beginWait();
}

void ReopeningLine::beginWait() {
  waiting_ = true;
  host_.watch(line_->presencePaths());
  // Lost soon after it was opened: the device or server keeps failing, so it waits its turn.
  const bool lostSoon = timers_.settle.isEnabled();
  timers_.settle.setEnabled(false);
  if (lostSoon) {
    scheduleRetry();
    return;
  }
  nextWaitMs_ = kFirstRetryMs;
  timers_.retry.setInterval(kNextTurnMs);
  timers_.retry.setEnabled(true);
}

void ReopeningLine::stopWaiting() {
  if (waiting_) {
    line_->close();  // an attempt under way
    attempting_ = false;
  }
  waiting_ = false;
  if (!claimed_) return;
  host_.stopWatching();
  timers_.retry.setEnabled(false);
}

void ReopeningLine::attempt() {
  if (!waiting_ || up_ || attempting_ || line_->isOpen()) return;
  if (!line_->mayBePresent()) {
    attemptFailed({LineFailure::Kind::Absent});
    return;
  }
  switch (line_->open(settings_)) {
    case Line::Opening::Open:
      attempting_ = true;
      becameUp();
      return;
    case Line::Opening::Pending:
      attempting_ = true;
      writesWait_ = false;
      return;
    case Line::Opening::Failed:
      attemptFailed(line_->failure());
      return;
  }
}

void ReopeningLine::attemptFailed(const LineFailure& failure) {
  // An absent device is tried when it appears, not by the clock.
  if (failure.kind != LineFailure::Kind::Absent) scheduleRetry();
  down(failure);
}

void ReopeningLine::scheduleRetry() {
  timers_.retry.setInterval(nextWaitMs_);
  timers_.retry.setEnabled(true);
  nextWaitMs_ = std::min(nextWaitMs_ * 2, kLongestRetryMs);
}

void ReopeningLine::becameUp() {
  attempting_ = false;
  writesWait_ = false;
  waiting_ = false;
  up_ = true;
  lastReason_.reset();
  host_.stopWatching();
  timers_.retry.setEnabled(false);
  timers_.settle.setEnabled(false);
  timers_.settle.setEnabled(true);
  if (onUp) onUp();
}

void ReopeningLine::lineFailed(const LineFailure& failure) {
  if (attempting_) {
    attempting_ = false;
    writesWait_ = false;
    if (waiting_) {
      attemptFailed(failure);
    } else {
      down(failure);  // openOnce()'s attempt: reported as a loss
    }
    return;
  }
  if (!up_) return;
  up_ = false;
  // The settle timer keeps running: whoever reopens the line reads from it how soon this was.
  if (keep_) beginWait();
  down(failure);
}

void ReopeningLine::down(const LineFailure& failure) {
  if (lastReason_ == failure) return;
  lastReason_ = failure;
  if (onDown) onDown(failure);
}

bool ReopeningLine::write(const Bytes& bytes) {
  if (!up_ && !(attempting_ && writesWait_)) return false;
  return line_->write(bytes);
}

bool ReopeningLine::apply(const LineSettings& settings) {
  if (line_->isOpen() && !line_->apply(settings)) return false;
  settings_ = settings;
  return true;
}

}  // namespace mero::link
