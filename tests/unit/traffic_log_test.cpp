// A traffic log on a pipe whose reader is missing, stops reading, then goes away.
#include "link/port/traffic_log.h"

#include <gtest/gtest.h>

#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "stalled_pipe.h"

namespace mero::link {
namespace {

using test::StalledPipe;

// The hexadecimal field of each whole line, in order, after the pipe's filler.
std::vector<std::string> HexFields(const std::string& written) {
  std::vector<std::string> fields;
  std::istringstream in(written.substr(std::min(written.find_first_not_of('x'), written.size())));
  for (std::string line; std::getline(in, line);) {
    std::istringstream cells(line);
    std::vector<std::string> cell(5);
    for (std::string& each : cell) std::getline(cells, each, '\t');
    if (!cell[4].empty() && cells.eof()) fields.push_back(cell[3]);
  }
  return fields;
}

TEST(TrafficLog, APipeWithNoReaderIsRefusedWithoutWaiting) {
  const StalledPipe pipe(false);
  // Should the open wait for a reader, one comes: the test fails rather than hangs.
  std::promise<void> returned;
  std::thread rescue([&pipe, done = returned.get_future()] {
    if (done.wait_for(std::chrono::seconds(2)) != std::future_status::ready) {
      ::close(::open(pipe.path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    }
  });
  std::string error;
  EXPECT_EQ(TrafficLog::Open(pipe.path, &error), nullptr);
  returned.set_value();
  rescue.join();
  EXPECT_NE(error.find("pipe"), std::string::npos) << error;
}

TEST(TrafficLog, LinesWaitInOrderUpToTheBoundAndTheRestIsLostWithOneNotice) {
  StalledPipe pipe;
  const auto log = TrafficLog::Open(pipe.path, nullptr);
  ASSERT_NE(log, nullptr);
  std::vector<bool> waiting;
  log->onWaiting = [&waiting](bool now) { waiting.push_back(now); };
  int notices = 0;
  log->onLoss = [&notices](const std::string&) { ++notices; };
  pipe.fill();
  std::vector<std::string> recorded;  // about 4 KB a line, 2.4 MB in all
  for (int i = 0; i < 600; ++i) {
    const std::string bytes = std::to_string(i) + std::string(1000, 'A');
    log->record("COM1", Direction::Received, bytes);
    recorded.push_back(Hex(bytes));
  }
  EXPECT_EQ(notices, 1);
  (void)pipe.readAll();
  std::string written;
  while (log->hasWaiting()) {
    log->flush();
    written += pipe.readAll();
  }
  EXPECT_LE(written.size(), TrafficLog::kWaitingBound);
  recorded.resize(recorded.size() - log->linesLost());
  EXPECT_EQ(HexFields(written), recorded);
  EXPECT_EQ(waiting, (std::vector<bool>{true, false}));
  // With the reader gone a write raises SIGPIPE, which would end this test program.
  const std::size_t lost = log->linesLost();
  ::close(std::exchange(pipe.reader, -1));
  log->record("COM1", Direction::Sent, "A");
  EXPECT_EQ(log->linesLost(), lost + 1);
}

}  // namespace
}  // namespace mero::link
