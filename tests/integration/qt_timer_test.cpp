#include "link/lines/qt_timer.h"

#include <gtest/gtest.h>

#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <vector>

namespace mero::link {
namespace {

using Clock = std::chrono::steady_clock;

void RunFor(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
  loop.exec();
}

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

TEST(QtTimer, TicksOncePerIntervalWhileEnabledAndNotAfter) {
  QtTimer timer;
  int ticks = 0;
  timer.onTick = [&] { ++ticks; };
  timer.setInterval(20);
  EXPECT_FALSE(timer.isEnabled());  // setting an interval does not start it
  RunFor(50);
  EXPECT_EQ(ticks, 0);
  timer.setEnabled(true);
  RunFor(110);  // ticks at 20, 40, 60, 80, 100
  timer.setEnabled(false);
  EXPECT_GE(ticks, 4);
  EXPECT_LE(ticks, 5);
  const int stopped = ticks;
  RunFor(60);
  EXPECT_EQ(ticks, stopped);
}

// Enabled again 30 ms in, a 40 ms timer first ticks 40 ms after that, at 70 ms, not at 40.
TEST(QtTimer, EnablingARunningTimerStartsItsCountOver) {
  QtTimer timer;
  std::vector<double> at;
  const auto start = Clock::now();
  timer.onTick = [&] { at.push_back(MsSince(start)); };
  timer.setInterval(40);
  timer.setEnabled(true);
  RunFor(30);
  const double again = MsSince(start);
  timer.setEnabled(true);
  RunFor(100);
  timer.setEnabled(false);
  // A loop slowed down enough may have seen the first count end before it was started over.
  const auto after = std::find_if(at.begin(), at.end(), [&](double ms) { return ms >= again; });
  ASSERT_NE(after, at.end());
  EXPECT_GE(*after, again + 39.0);
}

TEST(QtTimer, ANewIntervalStartsANewPeriodFromNow) {
  QtTimer timer;
  std::vector<double> at;
  const auto start = Clock::now();
  timer.onTick = [&] { at.push_back(MsSince(start)); };
  timer.setInterval(200);
  timer.setEnabled(true);
  RunFor(50);
  timer.setInterval(100);  // due at 150 ms, not at 100 or 200
  RunFor(175);
  timer.setEnabled(false);
  ASSERT_EQ(at.size(), 1u);
  EXPECT_GE(at[0], 145.0);
}

}  // namespace
}  // namespace mero::link
