#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <functional>

namespace mero::link {

// A device that trickles bytes one by one would otherwise wake the panel, and have the monitor
// transcribed and repainted, for every byte. Small arrivals that come within a display frame of
// the last one handed on are therefore held, and handed on together once the frame is over;
// the first arrival after a quiet frame, and any large one, goes on at once. While held, the
// reader's buffer is limited to what it holds, so it stops reading its descriptor (the kernel
// keeps what comes) and nothing wakes the event loop until the frame is over. One pacer for
// every kind of line: it sees the reader only through these calls.
class ArrivalPacer : public QObject {
  Q_OBJECT
 public:
  struct Reader {
    std::function<qint64()> buffered;  // bytes read and not yet taken
    std::function<void(qint64)> limitBuffer;
    std::function<int()> descriptor;  // for what the kernel still holds
    qint64 usualLimit = 0;            // the limit between held frames; 0: none
  };

  ArrivalPacer(Reader reader, std::function<void()> handOn, QObject* parent = nullptr);

  // The reader has something new.
  void arrived();
  // Forgets the pace: at an open and a close.
  void reset();

 private:
  void handOn();
  void release();

  Reader reader_;
  std::function<void()> handOn_;
  QTimer frame_;
  QElapsedTimer sinceHandOn_;
  bool holding_ = false;
};

}  // namespace mero::link
