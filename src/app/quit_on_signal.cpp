#include "app/quit_on_signal.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace mero::app {
namespace {

sigset_t EndingSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  return set;
}

}  // namespace

bool QuitOnSignal::Block() {
  const sigset_t set = EndingSignals();
  return pthread_sigmask(SIG_BLOCK, &set, nullptr) == 0;
}

QuitOnSignal::QuitOnSignal(std::function<void()> onSignal, std::function<void()> onHangUp,
                           QObject* parent)
    : QObject(parent), onSignal_(std::move(onSignal)), onHangUp_(std::move(onHangUp)) {
  const sigset_t set = EndingSignals();
  fd_ = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  if (fd_ < 0) return;
  notifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
  connect(notifier_.get(), &QSocketNotifier::activated, this, &QuitOnSignal::read);
}

QuitOnSignal::~QuitOnSignal() {
  notifier_.reset();
  if (fd_ >= 0) ::close(fd_);
}

void QuitOnSignal::read() {
  signalfd_siginfo info{};
  bool ending = false;
  bool hangUp = false;
  while (::read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    if (info.ssi_signo == SIGHUP && onHangUp_) {
      hangUp = true;
    } else {
      ending = true;
    }
  }
  if (ending) {
    if (onSignal_) onSignal_();
  } else if (hangUp) {
    onHangUp_();
  }
}

}  // namespace mero::app
