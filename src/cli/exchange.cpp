#include "cli/exchange.h"

#include <QMetaObject>
#include <utility>

#include "link/port/port_discovery.h"

namespace mero::cli {
namespace {

constexpr char kReplyEnd = '\r';

}  // namespace

Exchange::Exchange(const link::ComDevice& device, std::string settings, link::Bytes text,
                   int replyWindowMs, link::TrafficLog* log, std::function<void()> done)
    : port_(device, link::ComDevice{}),
      logged_(port_, [shown = link::ShowPath(device.path)] { return shown; }),
      settings_(std::move(settings)),
      text_(std::move(text)),
      replyWindowMs_(replyWindowMs),
      done_(std::move(done)) {
  logged_.setLog(log);
  logged_.onEvent = [this](int kind) {
    if (kind == link::kEventReceive) received();
  };
  logged_.onLost = [this](const link::PortFailure& failure) {
    outcome_.failure = failure.description;
    finish();
  };
  window_.onTick = [this] { finish(); };
}

void Exchange::start() {
  if (!logged_.setSettings(settings_) || !logged_.open()) {
    outcome_.failure = logged_.lastFailure().description;
    finish();
    return;
  }
  outcome_.portOpened = true;
  sentAt_ = std::chrono::steady_clock::now();
  if (!logged_.write(text_)) {
    outcome_.failure = logged_.lastFailure().description;
    finish();
    return;
  }
  window_.setInterval(replyWindowMs_);
  window_.setEnabled(true);
}

void Exchange::received() {
  if (finished_) return;
  outcome_.received += logged_.takeAll();
  outcome_.replyMs =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - sentAt_).count();
  if (!outcome_.received.empty() && outcome_.received.back() == kReplyEnd) finish();
}

void Exchange::finish() {
  if (finished_) return;
  finished_ = true;
  window_.setEnabled(false);
  // Not from inside the port's own signal: the port is closed once that has returned.
  QMetaObject::invokeMethod(
      &window_,
      [this] {
        logged_.close();
        done_();
      },
      Qt::QueuedConnection);
}

}  // namespace mero::cli
