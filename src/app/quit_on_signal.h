#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <functional>
#include <memory>

namespace mero::app {

// Turns SIGTERM, SIGINT and SIGHUP (a logout, Ctrl+C in the terminal) into a call on the event
// loop, so that the program ends as its own END key ends it: the port closed and its lock
// removed. Block() must run before any thread starts, so that every thread leaves these
// signals to the one descriptor that reads them.
class QuitOnSignal : public QObject {
  Q_OBJECT
 public:
  static bool Block();

  // With `onHangUp`, SIGHUP calls it instead: a service reads its configuration again.
  explicit QuitOnSignal(std::function<void()> onSignal, std::function<void()> onHangUp = {},
                        QObject* parent = nullptr);
  ~QuitOnSignal() override;

 private:
  void read();

  std::function<void()> onSignal_;
  std::function<void()> onHangUp_;
  int fd_ = -1;
  std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace mero::app
