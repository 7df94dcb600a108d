#include "link/lines/qt_arrival_pacing.h"

#include <sys/ioctl.h>

#include <utility>

namespace mero::link {
namespace {

constexpr int kArrivalFrameMs = 16;
constexpr qint64 kPacedArrivalBytes = 1024;

}  // namespace

ArrivalPacer::ArrivalPacer(Reader reader, std::function<void()> handOn, QObject* parent)
    : QObject(parent), reader_(std::move(reader)), handOn_(std::move(handOn)) {
  frame_.setSingleShot(true);
  connect(&frame_, &QTimer::timeout, this, [this] { release(); });
}

void ArrivalPacer::arrived() {
  if (holding_) return;
  const qint64 buffered = reader_.buffered();
  if (sinceHandOn_.isValid() && buffered > 0 && buffered < kPacedArrivalBytes &&
      sinceHandOn_.elapsed() < kArrivalFrameMs) {
    holding_ = true;
    reader_.limitBuffer(buffered);
    frame_.start(static_cast<int>(kArrivalFrameMs - sinceHandOn_.elapsed()));
    return;
  }
  handOn();
}

void ArrivalPacer::handOn() {
  sinceHandOn_.start();
  handOn_();
}

void ArrivalPacer::release() {
  if (!holding_) return;
  holding_ = false;
  reader_.limitBuffer(reader_.usualLimit);
  // What waited in the kernel is read on the next turn of the event loop and goes on at once,
  // with what is held; otherwise what is held goes on now.
  int waiting = 0;
  if (::ioctl(reader_.descriptor(), FIONREAD, &waiting) == 0 && waiting > 0) {
    sinceHandOn_.invalidate();
    return;
  }
  if (reader_.buffered() > 0) handOn();
}

void ArrivalPacer::reset() {
  frame_.stop();
  holding_ = false;
  sinceHandOn_.invalidate();
  reader_.limitBuffer(reader_.usualLimit);
}

}  // namespace mero::link
