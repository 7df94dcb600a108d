// The service's log as an operations team filters it: each event at its priority and in the
// service's words, the journal's prefix only on the journal's stream, a stream that takes
// nothing never holding the service up, and a projector that stops answering told once.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QTemporaryFile>
#include <cmath>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "serve/answer_watch.h"
#include "serve/line_words.h"
#include "serve/log_sink.h"
#include "virtual_clock.h"

namespace mero::serve {
namespace {

using Failure = link::LineFailure;
using Result = link::ExchangeResult;

constexpr const char* kAddress = "/dev/ttyUSB0";

TEST(ServeLog, EachEventAtItsPriorityInTheServicesWords) {
  AnswerWatch::Change stopped{false, 3, 1796780051.4, 0};
  AnswerWatch::Change answers{true, 13, 1796780051.4, 25300};
  struct Row {
    const char* event;
    Message message;
    Priority priority;
    std::string says;
  };
  const Row rows[] = {
      {"absent", DescribeLineDown(kAddress, Failure::Kind::Absent), Priority::Warning,
       "line /dev/ttyUSB0 is not there; it is opened when the device appears"},
      {"busy", DescribeLineDown(kAddress, {Failure::Kind::Busy, "", "picocom, process 12"}),
       Priority::Warning,
       "line /dev/ttyUSB0 is in use by picocom, process 12; it is tried again until that "
       "program lets it go"},
      {"no permission",
       DescribeLineDown(kAddress, {Failure::Kind::NoPermission, "Permission denied", "", "uucp"}),
       Priority::Error,
       "line /dev/ttyUSB0: the service's user may not open it; the device belongs to the group "
       "\"uucp\", which the unit must name in SupplementaryGroups= (see NOTES in "
       "mero-control-serve(1))"},
      {"no permission, group unknown", DescribeLineDown(kAddress, Failure::Kind::NoPermission),
       Priority::Error,
       "line /dev/ttyUSB0: the service's user may not open it; it needs read and write access "
       "(see NOTES in mero-control-serve(1))"},
      {"unreachable",
       DescribeLineDown("tcp://av-gw:4001", {Failure::Kind::Unreachable, "Connection refused"}),
       Priority::Warning,
       "line tcp://av-gw:4001 cannot be reached: Connection refused; it is "
       "tried again"},
      {"invalid",
       DescribeLineDown(kAddress, {Failure::Kind::Invalid, "cannot be used: its name is long"}),
       Priority::Error, "line /dev/ttyUSB0 cannot be used: its name is long"},
      {"lost", DescribeLineDown(kAddress, Failure::Kind::Lost), Priority::Warning,
       "line /dev/ttyUSB0 was lost; it is reopened when it is back"},
      {"other", DescribeLineDown(kAddress, {Failure::Kind::Other, "Input/output error"}),
       Priority::Warning,
       "line /dev/ttyUSB0 could not be opened: Input/output error; it is tried again"},
      {"first open", DescribeLineUp(kAddress, false), Priority::Info, "line /dev/ttyUSB0 is open"},
      {"open again", DescribeLineUp(kAddress, true), Priority::Notice,
       "line /dev/ttyUSB0 is open again"},
      {"line notice", DescribeLineNotice("rfc2217://gw:4001", "the server set the line to 9600"),
       Priority::Notice, "line rfc2217://gw:4001: the server set the line to 9600"},
      {"stops answering", DescribeAnswering(kAddress, stopped), Priority::Warning,
       "the projector on /dev/ttyUSB0 does not answer: no reply to 3 exchanges since "
       "2026-12-09 01:34:11 UTC; PJLink clients get ERR4 meanwhile"},
      {"answers again", DescribeAnswering(kAddress, answers), Priority::Notice,
       "the projector on /dev/ttyUSB0 answers again, after 25 s and 13 exchanges without a "
       "reply"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(row.message.priority, row.priority) << row.event;
    EXPECT_EQ(row.message.text, row.says) << row.event;
    // The panel's words mean nothing to whoever reads a service's journal.
    for (const char* panel : {"COM", "--com", "choose the port", "log in again", "your user"}) {
      EXPECT_EQ(row.message.text.find(panel), std::string::npos) << row.event << ": " << panel;
    }
  }
}

TEST(ServeLog, TimesAndLengthsAsAnOperatorReadsThem) {
  EXPECT_EQ(UtcTime(0), "1970-01-01 00:00:00 UTC");
  EXPECT_EQ(UtcTime(1796780051.999), "2026-12-09 01:34:11 UTC");
  const std::pair<double, const char*> lengths[] = {
      {-5, "0 s"},
      {400, "0 s"},
      {25300, "25 s"},
      {59499, "59 s"},
      {59500, "1 min 0 s"},
      {190000, "3 min 10 s"},
      {3599000, "59 min 59 s"},
      {3600000, "1 h 0 min"},
      {7530000, "2 h 5 min"},
  };
  for (const auto& [ms, text] : lengths) EXPECT_EQ(Duration(ms), text) << ms;
}

TEST(ServeLog, TheJournalsPrefixOnlyWhenJournalStreamNamesTheStream) {
  QTemporaryFile stream;
  ASSERT_TRUE(stream.open());
  const int fd = stream.handle();
  struct stat info {};
  ASSERT_EQ(::fstat(fd, &info), 0);
  const std::string device = std::to_string(info.st_dev);
  const std::string inode = std::to_string(info.st_ino);
  struct Row {
    std::string journalStream;
    bool names;
  };
  const Row rows[] = {
      {device + ":" + inode, true},
      {device + ":" + std::to_string(info.st_ino + 1), false},  // a stream the parent had
      {std::to_string(info.st_dev + 1) + ":" + inode, false},
      {device + ":" + inode + ":0", false},
      {device + ":", false},
      {"", false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(NamesStream(row.journalStream.c_str(), fd), row.names) << row.journalStream;
  }
  EXPECT_FALSE(NamesStream(nullptr, fd));
  EXPECT_FALSE(NamesStream((device + ":" + inode).c_str(), -1)) << "a closed stream";

  EXPECT_EQ(LogLineText(Priority::Warning, "[a] b", true), "<4>[a] b\n");
  EXPECT_EQ(LogLineText(Priority::Error, "x", true), "<3>x\n");
  EXPECT_EQ(LogLineText(Priority::Warning, "[a] b", false), "mero-control serve: [a] b\n");
}

TEST(ServeLog, NoTextOfAPeerStartsALineOfItsOwnOrRunsOnUnbounded) {
  EXPECT_EQ(LogLineText(Priority::Info, "busy by evil\n<0>forged\x1b[2J\x7f", true),
            "<6>busy by evil\\x0A<0>forged\\x1B[2J\\x7F\n");
  EXPECT_EQ(LogLineText(Priority::Info, "caf\xc3\xa9", false), "mero-control serve: caf\xc3\xa9\n");

  const std::string exact(kLongestLine, 'a');
  EXPECT_EQ(LogLineText(Priority::Info, exact, true), "<6>" + exact + "\n");
  EXPECT_EQ(LogLineText(Priority::Info, exact + "b", true), "<6>" + exact + "...\n");
  // "é" across the bound is left out whole rather than cut in two.
  const std::string split = std::string(kLongestLine - 1, 'a') + "\xc3\xa9";
  EXPECT_EQ(LogLineText(Priority::Info, split, true),
            "<6>" + std::string(kLongestLine - 1, 'a') + "...\n");
}

// A stream that takes what `room` allows at each write, and remembers what it took.
struct Stream {
  std::size_t room = SIZE_MAX;
  std::string taken;
  LogSink::Output output() {
    return [this](std::string_view bytes) {
      const std::size_t n = std::min(room, bytes.size());
      taken.append(bytes.substr(0, n));
      room -= n;
      return n;
    };
  }
};

TEST(ServeLog, AStreamThatTakesNothingHoldsLinesUpToTheBoundThenDropsAndSaysSo) {
  Stream stream;
  LogSink sink(stream.output(), true);
  std::vector<bool> waiting;
  sink.onWaiting = [&](bool now) { waiting.push_back(now); };

  sink.log(Priority::Info, "one");
  EXPECT_EQ(stream.taken, "<6>one\n");
  EXPECT_FALSE(sink.hasWaiting());

  stream.room = 4;  // "<6>t" of the next line, then nothing
  sink.log(Priority::Info, "two");
  EXPECT_EQ(waiting, std::vector<bool>{true});
  const std::string line(100, 'x');
  const std::size_t fits = (LogSink::kWaitingBound - std::string("<6>two\n").size()) /
                           LogLineText(Priority::Info, line, true).size();
  for (std::size_t i = 0; i < fits + 5; ++i) sink.log(Priority::Info, line);
  EXPECT_EQ(sink.dropped(), 5U);
  EXPECT_EQ(stream.taken, "<6>one\n<6>t");

  stream.room = SIZE_MAX;
  sink.flush();
  EXPECT_EQ(waiting, (std::vector<bool>{true, false}));
  EXPECT_FALSE(sink.hasWaiting());
  const std::string expected_tail =
      "<4>5 lines of this log were dropped: its stream took nothing while 64 KiB of lines "
      "waited\n";
  ASSERT_GE(stream.taken.size(), expected_tail.size());
  EXPECT_EQ(stream.taken.substr(0, 14), "<6>one\n<6>two\n") << "the line begun is finished";
  EXPECT_EQ(stream.taken.substr(stream.taken.size() - expected_tail.size()), expected_tail);
  EXPECT_EQ(stream.taken.size(), std::string("<6>one\n<6>two\n").size() +
                                     fits * LogLineText(Priority::Info, line, true).size() +
                                     expected_tail.size());

  sink.log(Priority::Notice, "after");
  EXPECT_TRUE(stream.taken.ends_with("waited\n<5>after\n")) << "the drop is told once";
}

// What the watch tells of exchanges 1.5 s apart on the virtual clock, each ended 1 s after its
// send: 'y' a reply, 'n' none, 'c' one cut at its bound, 'd' the line down, 'b' the queue
// full; '-' is 30 s without an exchange. Times in ms from the start.
std::string Watch(std::string_view exchanges) {
  constexpr double kEpochMs = 1796780000000;
  const std::map<char, Result::Kind> kinds{{'y', Result::Kind::Reply},
                                           {'n', Result::Kind::NoReply},
                                           {'c', Result::Kind::Cut},
                                           {'d', Result::Kind::LineDown},
                                           {'b', Result::Kind::Busy}};
  test::VirtualClock clock;
  AnswerWatch watch;
  std::string told;
  for (const char c : exchanges) {
    clock.advance(c == '-' ? 30000 : 1500);
    if (c == '-') continue;
    const auto now = static_cast<double>(clock.now());
    const auto change = watch.exchanged({kinds.at(c), {}, 1000}, now, (kEpochMs + now) / 1000);
    if (!change) continue;
    const auto since = std::lround(change->sinceWallSeconds * 1000 - kEpochMs);
    told += (change->answers ? "answers after " + std::to_string(std::lround(change->silentMs))
                             : "stops since " + std::to_string(since)) +
            " (" + std::to_string(change->unanswered) + ") at " + std::to_string(clock.now()) +
            "; ";
  }
  return told;
}

TEST(ServeLog, AProjectorThatStopsAnsweringIsToldOnceAndAgainWhenItAnswers) {
  const std::pair<std::string_view, std::string_view> rows[] = {
      {"yyy", ""},
      {"nnynn", ""},  // lost replies, not a silence
      {"ynnnnnnnnnnnnnyy", "stops since 2000 (3) at 6000; answers after 20500 (13) at 22500; "},
      {"cncy", "stops since 500 (3) at 4500; answers after 5500 (3) at 6000; "},
      {"n-ny", "stops since 500 (2) at 33000; answers after 34000 (2) at 34500; "},
      {"ndbndy", ""},  // a line down or a full queue says nothing of the projector
      {"nnnd-ny", "stops since 500 (3) at 4500; answers after 38500 (4) at 39000; "},
      {"nnnynnny",
       "stops since 500 (3) at 4500; answers after 5500 (3) at 6000; stops since 6500 (3) at "
       "10500; answers after 5500 (3) at 12000; "},
  };
  for (const auto& [exchanges, told] : rows) EXPECT_EQ(Watch(exchanges), told) << exchanges;
  EXPECT_FALSE(AnswerWatch().silent());
}

}  // namespace
}  // namespace mero::serve
